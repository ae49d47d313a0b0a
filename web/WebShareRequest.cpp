#include "web/WebShareRequest.h"

#include "platform/Text.h"

const TMimeDecode BasicAuthDecoder;

std::string TMimeDecode::Decode(std::string_view text) const { return Base64Decode(text); }

bool StartsWithText(std::string_view text, std::string_view prefix, bool caseSensitive) {
  return caseSensitive ? text.starts_with(prefix) : StartsWithNoCase(text, prefix);
}

std::string DecodeRequestPath(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int hi = HexDigitValue(text[i + 1]), lo = HexDigitValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::optional<std::string> LocalPathOfRequest(std::string_view path) {
  if (path.size() <= 3 || path[0] != '/' || path[2] != '/') return std::nullopt;
  std::string local;
  local += path[1];
  local += ':';
  local += path.substr(2);
  return SlashesToBackslashes(local);
}

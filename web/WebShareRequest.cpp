#include "web/WebShareRequest.h"

#include "platform/Text.h"

const TMimeDecode BasicAuthDecoder;

namespace {

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string TMimeDecode::Decode(std::string_view text) const {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    int v = Base64Value(c);
    if (v < 0) continue;
    bits = (bits << 6) | unsigned(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

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
  for (char& c : local)
    if (c == '/') c = '\\';
  return local;
}

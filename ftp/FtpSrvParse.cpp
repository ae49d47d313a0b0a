#include "ftp/FtpSrvParse.h"

#include <cstdarg>
#include <cstdio>

#include "platform/Text.h"

namespace {

constexpr unsigned char kIac = 255;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

TFtpCommandLine ParseCommandLine(std::string_view line) {
  // Kept whole: a path cut short names another file, and an upload or a delete
  // would act on that one. The control buffer bounds a line already.
  std::string text;
  text.reserve(line.size());
  for (std::size_t i = 0; i < line.size(); ++i) {
    auto c = static_cast<unsigned char>(line[i]);
    if (c != kIac) {
      text.push_back(static_cast<char>(c));
    } else if (i + 1 < line.size() && static_cast<unsigned char>(line[i + 1]) == kIac) {
      text.push_back(static_cast<char>(kIac));
      ++i;
    } else {
      ++i;  // IAC plus its command byte (IP, DM, ...) carry no text
    }
  }

  TFtpCommandLine cmd;
  std::size_t pos = 0;
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  while (pos < text.size() && IsAsciiAlnum(text[pos])) cmd.Keyword.push_back(AsciiUpper(text[pos++]));
  cmd.Name = text.substr(pos < text.size() && IsBlank(text[pos]) ? pos + 1 : pos);
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  cmd.Params = text.substr(pos);
  return cmd;
}

bool TakesOnePath(std::string_view keyword) {
  static constexpr std::string_view kPathCommands[] = {
      "RETR", "STOR", "APPE", "RNFR", "RNTO", "DELE", "RMD", "XRMD", "MKD",
      "XMKD", "CWD",  "XCWD", "SIZE", "MDTM", "MLST", "MLSD"};
  for (std::string_view k : kPathCommands)
    if (k == keyword) return true;
  return false;
}

std::string FtpTrim(std::string_view s) { return std::string(TrimControls(s)); }

std::string FtpUpper(std::string_view s) { return AsciiUpper(s); }

std::optional<TPortArgument> ParsePortArgument(std::string_view params) {
  std::int64_t n[6] = {};
  std::size_t pos = 0;
  for (auto& value : n) {
    while (pos < params.size() && IsBlank(params[pos])) ++pos;
    while (pos < params.size() && params[pos] >= '0' && params[pos] <= '9') {
      // Saturate rather than overflow: such a number is refused later anyway.
      if (value < 1'000'000'000) value = value * 10 + (params[pos] - '0');
      ++pos;
    }
    while (pos < params.size() && IsBlank(params[pos])) ++pos;
    if (pos >= params.size()) continue;
    if (params[pos] != ',') return std::nullopt;
    ++pos;
  }
  TPortArgument arg;
  arg.Addr = std::to_string(n[0]) + "." + std::to_string(n[1]) + "." + std::to_string(n[2]) +
             "." + std::to_string(n[3]);
  arg.Port = n[4] * 256 + n[5];
  return arg;
}

std::optional<std::uint32_t> ParseDottedAddress(std::string_view text) {
  std::uint32_t addr = 0;
  std::size_t pos = 0;
  for (int group = 0; group < 4; ++group) {
    if (group > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    int value = 0, digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      value = value * 10 + (text[pos++] - '0');
      ++digits;
    }
    if (digits == 0 || value > 255) return std::nullopt;
    addr = (addr << 8) | static_cast<std::uint32_t>(value);
  }
  if (pos != text.size() || addr == 0xFFFFFFFFu) return std::nullopt;
  return addr;
}

std::string PasvReplyText(std::uint32_t addr, int port) {
  return FtpFormat("227 Entering Passive Mode (%u,%u,%u,%u,%d,%d).", (addr >> 24) & 0xFF,
                   (addr >> 16) & 0xFF, (addr >> 8) & 0xFF, addr & 0xFF, port / 256, port % 256);
}

std::string FtpFormat(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  va_end(args);
  return FtpSingleLine(std::move(out));
}

std::string FtpSingleLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

// Fuzz target: a control connection's command lines, one per LF, through the
// command-line parser and the path model, with the current directory carried from
// line to line as a session carries it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/FtpSrvList.h"
#include "ftp/FtpSrvParse.h"
#include "ftp/FtpSrvT.h"
#include "fuzz/FuzzCheck.h"
#include "platform/HostFs.h"
#include "tests/support/TempFolder.h"

namespace {

// The session starts in a throwaway share, so the few look-ups a listing pattern
// makes on disk find a folder, a subfolder and a file of their own.
const TTempFolder& Share() {
  static TTempFolder folder;
  static const bool shaped = [] {
    folder.MakeFolder("sub");
    folder.MakeFolder("sub/deeper");
    folder.WriteFile("a.txt", "x");
    return true;
  }();
  (void)shaped;
  return folder;
}

bool IsUpperAlnum(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void CheckCommandLine(const TFtpCommandLine& cmd, std::size_t lineSize) {
  FUZZ_CHECK(std::all_of(cmd.Keyword.begin(), cmd.Keyword.end(), IsUpperAlnum));
  FUZZ_CHECK(cmd.Keyword.size() + cmd.Params.size() <= lineSize);
  FUZZ_CHECK(cmd.Params.empty() || !IsBlank(cmd.Params.front()));
}

void CheckTrim(std::string_view text) {
  const std::string trimmed = FtpTrim(text);
  if (trimmed.empty()) return;
  FUZZ_CHECK(static_cast<unsigned char>(trimmed.front()) > ' ');
  FUZZ_CHECK(static_cast<unsigned char>(trimmed.back()) > ' ');
}

void CheckPortArgument(std::string_view params) {
  const auto arg = ParsePortArgument(params);
  if (!arg) return;
  FUZZ_CHECK(arg->Port >= 0);
  FUZZ_CHECK(std::count(arg->Addr.begin(), arg->Addr.end(), '.') == 3);
}

// An address read from text must come back the same when written out again.
void CheckDottedAddress(std::string_view text) {
  const auto addr = ParseDottedAddress(text);
  if (!addr) return;
  const unsigned a = (*addr >> 24) & 0xFF, b = (*addr >> 16) & 0xFF, c = (*addr >> 8) & 0xFF,
                 d = *addr & 0xFF;
  FUZZ_CHECK(ParseDottedAddress(FtpFormat("%u.%u.%u.%u", a, b, c, d)) == addr);
}

// A refused directory leaves the session where it was; an accepted one is a
// drive-form folder ending in its separator, as every later path join assumes.
void ChangeDirectory(std::string& current, std::string_view params) {
  const std::string before = current;
  try {
    ResolveDirectory(current, FtpTrim(SlashesToBackslashes(params)));
    FUZZ_CHECK(current.size() >= 3 && current[1] == ':' && current.back() == '\\');
  } catch (const FtpServerException&) {
    FUZZ_CHECK(current == before);
  }
}

void BuildPath(const std::string& current, std::string_view params) {
  try {
    FUZZ_CHECK(!BuildFilePath(current, params).empty());
  } catch (const FtpServerException&) {
  }
}

void ListPattern(const std::string& current, std::string_view params) {
  try {
    const std::string pattern = ListingPattern(current, SlashesToBackslashes(params));
    FUZZ_CHECK(!pattern.empty());
  } catch (const FtpServerException&) {
  }
}

// The last name of a listing argument as the folder search matches it. However
// odd the pattern, a name without wildcards finds itself, and "*" finds anything.
void MatchNames(std::string_view params) {
  const std::string argument = SlashesToBackslashes(params);
  const std::size_t cut = argument.rfind('\\');
  const std::string_view last =
      std::string_view(argument).substr(cut == std::string::npos ? 0 : cut + 1);
  if (last.find_first_of("*?") == std::string_view::npos)
    FUZZ_CHECK(HostFs::MatchesPattern(last, last));
  FUZZ_CHECK(HostFs::MatchesPattern("*", last));
  for (std::string_view name : {"a.txt", "sub", ".hidden", "archive.tar.gz", "x.", ""})
    HostFs::MatchesPattern(last, name);
}

// A time MFMT accepts names a real second, which reads back as the same digits.
void CheckFtpTime(const std::string& stamp) {
  std::int64_t utc = 0;
  if (!ParseFtpTime(stamp, utc)) return;
  const THostTime t = HostFs::UtcTime(utc);
  char back[32];
  std::snprintf(back, sizeof back, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  FUZZ_CHECK(stamp.compare(0, 12, back, 12) == 0);
}

void RunLine(std::string& current, std::string_view line) {
  const TFtpCommandLine cmd = ParseCommandLine(line);
  CheckCommandLine(cmd, line.size());
  CheckTrim(cmd.Params);
  CheckPortArgument(cmd.Params);
  CheckDottedAddress(cmd.Params);
  BuildPath(current, cmd.Params);
  const std::string& keyword = cmd.Keyword;
  if (keyword == "CWD" || keyword == "XCWD") ChangeDirectory(current, cmd.Params);
  if (keyword == "CDUP" || keyword == "XCUP") ChangeDirectory(current, "..");
  if (keyword == "MFMT") CheckFtpTime(cmd.Params.substr(0, cmd.Params.find(' ')));
  if (keyword == "LIST" || keyword == "NLST") {
    ListPattern(current, cmd.Params);
    MatchNames(cmd.Params);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string current = Share().Drive();
  while (!input.empty()) {
    const std::size_t end = input.find('\n');
    std::string_view line = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    RunLine(current, line);
  }
  return 0;
}

// Fuzz target: a definition file as a user may have edited it. The input is the
// file text, optionally followed by a NUL and then "section NUL key NUL value" for
// one write into it. The text goes through the profile reader in memory and
// through ReadServerFile from disk; the write must read back as written, before
// and after a save.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "catalogue/uFileFormat.h"
#include "fuzz/FuzzCheck.h"
#include "platform/Profile.h"
#include "tests/support/TempFolder.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Cuts the text up to the next NUL (or the end) off the front of input.
std::string_view TakeField(std::string_view& input) {
  const std::size_t end = input.find('\0');
  const std::string_view field = input.substr(0, end);
  input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
  return field;
}

// The text a saved profile holds: every line byte for byte, each ended by LF, and no
// leading byte order marks, which the reader drops so a save does not keep them.
std::string SavedForm(std::string_view text) {
  constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
  while (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  std::string out;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.append(line);
    out += '\n';
  }
  return out;
}

// What a read returns for a value written as given (the header's rules).
std::string ReadForm(std::string_view value) {
  value = Trim(value);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return std::string(value.substr(0, TProfile::kMaxValueLength));
}

// A write whose names the file syntax can hold: anything else is still written and
// read back in memory, but cannot survive a save as the same section and key.
bool SurvivesSave(std::string_view section, std::string_view key, std::string_view value) {
  key = Trim(key);
  return section.find_first_of("]\n") == std::string_view::npos &&
         key.find_first_of("=\n") == std::string_view::npos && key.front() != '[' &&
         key.front() != ';' && value.find('\n') == std::string_view::npos;
}

void CheckWrite(TProfile& profile, std::string_view section, std::string_view key,
                std::string_view value) {
  profile.WriteString(section, key, value);
  // A key of blanks alone is written but, like a blank line, never read.
  if (Trim(key).empty()) return;
  const std::string expected = ReadForm(value);
  FUZZ_CHECK(profile.ReadString(section, key, "") == expected);
  if (!SurvivesSave(section, key, value)) return;
  const TProfile reloaded(profile.Text());
  FUZZ_CHECK(reloaded.ReadString(section, key, "") == expected);
}

// ReadServerFile reads from disk, so each input is written to one file first.
void CheckServerFile(std::string_view text) {
  static TTempFolder folder;
  const std::string path = folder.Native("fuzz.server");
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(text.data(), text.size());
  TServerFile server;
  FUZZ_CHECK(ReadServerFile(path, server));
  FUZZ_CHECK(server.DirectoryCount <= 65536 && server.FileCount <= 65536);
  FUZZ_CHECK(server.Directories.size() ==
             static_cast<std::size_t>(server.DirectoryCount < 0 ? 0 : server.DirectoryCount));
  FUZZ_CHECK(server.Files.size() ==
             static_cast<std::size_t>(server.FileCount < 0 ? 0 : server.FileCount));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool hasWrite = input.find('\0') != std::string_view::npos;
  const std::string_view text = TakeField(input);

  TProfile profile(text);
  FUZZ_CHECK(profile.Text() == SavedForm(text));
  CheckServerFile(text);
  if (hasWrite) {
    const std::string_view section = TakeField(input);
    const std::string_view key = TakeField(input);
    CheckWrite(profile, section, key, input);
  }
  return 0;
}

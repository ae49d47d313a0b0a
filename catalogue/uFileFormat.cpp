#include "catalogue/uFileFormat.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "catalogue/ServerUi.h"
#include "platform/Profile.h"

namespace {

constexpr const char* kInfo = "Info";

// Delphi-style integer text: optional sign, then decimal digits or '$' and hex
// digits. Decimal must fit 32 bits signed; hex may use all 32 bits and wraps, so
// "$FFFFFFFF" is -1 as it always was.
bool ParseInteger(std::string_view s, std::int32_t& out) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  const bool hex = !s.empty() && s.front() == '$';
  if (hex) s.remove_prefix(1);
  if (s.empty()) return false;

  std::uint64_t value = 0;
  const std::uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  for (char c : s) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    if (value > limit) return false;
  }
  std::uint32_t bits = static_cast<std::uint32_t>(value);
  if (negative) bits = 0u - bits;
  out = static_cast<std::int32_t>(bits);
  return true;
}

std::int32_t ReadInteger(const TProfile& profile, std::string_view section,
                         std::string_view key, std::int32_t defaultValue) {
  std::string text = profile.ReadString(section, key, "");
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text = "$" + text.substr(2);
  std::int32_t value;
  return ParseInteger(text, value) ? value : defaultValue;
}

bool ReadBool(const TProfile& profile, std::string_view section, std::string_view key,
              bool defaultValue) {
  return ReadInteger(profile, section, key, defaultValue ? 1 : 0) != 0;
}

// A negative limit means nothing sensible; it reads as if the key were missing.
std::int32_t ReadNonNegative(const TProfile& profile, std::string_view key,
                             std::int32_t defaultValue) {
  const std::int32_t value = ReadInteger(profile, kInfo, key, defaultValue);
  return value < 0 ? defaultValue : value;
}

void WriteInteger(TProfile& profile, std::string_view section, std::string_view key,
                  std::int64_t value) {
  profile.WriteString(section, key, std::to_string(value));
}

void WriteBool(TProfile& profile, std::string_view section, std::string_view key,
               bool value) {
  profile.WriteString(section, key, value ? "1" : "0");
}

std::string DirectorySection(std::int32_t i) { return "Directory." + std::to_string(i); }
std::string FileSection(std::int32_t i) { return "File." + std::to_string(i); }

// A hand-edited count of two billion would otherwise ask for gigabytes of default
// entries and bring the program down; nobody shares this many folders or files.
constexpr std::int32_t kMaxEntries = 65536;

void ReadShares(const TProfile& profile, TServerFile& server) {
  if (server.DirectoryCount > kMaxEntries) server.DirectoryCount = kMaxEntries;
  if (server.FileCount > kMaxEntries) server.FileCount = kMaxEntries;
  for (std::int32_t i = 0; i < server.DirectoryCount; ++i) {
    const std::string section = DirectorySection(i);
    TDirectory& d = server.Directories.emplace_back();
    d.Path = profile.ReadString(section, "Path", "");
    d.Description = profile.ReadString(section, "Description", "");
    d.AccessR = ReadBool(profile, section, "AccessR", true);
    d.AccessW = ReadBool(profile, section, "AccessW", true);
    d.Recursive = ReadBool(profile, section, "Recursive", false);
  }
  for (std::int32_t i = 0; i < server.FileCount; ++i) {
    const std::string section = FileSection(i);
    TFile& f = server.Files.emplace_back();
    f.Path = profile.ReadString(section, "Path", "");
    f.Description = profile.ReadString(section, "Description", "");
  }
}

}  // namespace

std::string ServerTypeName(int type) {
  switch (type) {
    case kTypeFtp: return "FTP Server";
    case kTypeWeb: return "Web Server";
    case kTypeVokt: return "Vokt Server";
    default: return "";
  }
}

bool ReadServerFile(const std::string& fileName, TServerFile& server) {
  TProfile profile;
  switch (profile.Load(fileName)) {
    case TProfile::TLoadResult::kMissing:
      Ui().ShowError("File " + fileName + " not found");
      return false;
    case TProfile::TLoadResult::kUnreadable:
      // Reading on as if every key were missing would start a defaults server and
      // could later write it back over the real definition.
      Ui().ShowError("Unable to read " + fileName);
      return false;
    case TProfile::TLoadResult::kLoaded:
      break;
  }
  server.Directories.clear();
  server.Files.clear();
  server.Name = profile.ReadString(kInfo, "Name", "NoName");
  server.Banner = profile.ReadString(kInfo, "Banner", "Quarnel Sharing");
  server.Type = static_cast<std::uint8_t>(ReadInteger(profile, kInfo, "Type", kTypeVokt) & 0xFF);
  server.DirectoryCount = ReadInteger(profile, kInfo, "Directories", 0);
  server.FileCount = ReadInteger(profile, kInfo, "Files", 0);
  server.Username = profile.ReadString(kInfo, "Username", "");
  server.Password = profile.ReadString(kInfo, "Password", "");
  server.Port = ReadInteger(profile, kInfo, "Port", 0);
  server.Limit = ReadInteger(profile, kInfo, "Limit", 0);
  server.Active = ReadBool(profile, kInfo, "Active", false);
  server.Multiple = ReadBool(profile, kInfo, "Multiple", false);
  server.Tray = ReadBool(profile, kInfo, "Tray", true);
  server.IdleTimeout = ReadNonNegative(profile, "IdleTimeout", kDefaultIdleTimeout);
  server.MaxPerAddress = ReadNonNegative(profile, "MaxPerAddress", kDefaultMaxPerAddress);
  ReadShares(profile, server);
  return true;
}

bool WriteServerFile(const std::string& fileName, const TServerFile& server) {
  const std::string failure = "Unable to write to " + fileName;
  TProfile profile;
  // Starting from an empty profile would drop whatever the unreadable file holds.
  if (profile.Load(fileName) == TProfile::TLoadResult::kUnreadable) throw EWriteError(failure);

  profile.WriteString(kInfo, "Name", server.Name);
  profile.WriteString(kInfo, "Banner", server.Banner);
  WriteInteger(profile, kInfo, "Type", server.Type);
  WriteInteger(profile, kInfo, "Directories", server.DirectoryCount);
  WriteInteger(profile, kInfo, "Files", server.FileCount);
  profile.WriteString(kInfo, "Username", server.Username);
  profile.WriteString(kInfo, "Password", server.Password);
  WriteInteger(profile, kInfo, "Port", server.Port);
  WriteInteger(profile, kInfo, "Limit", server.Limit);
  WriteBool(profile, kInfo, "Active", server.Active);
  WriteBool(profile, kInfo, "Multiple", server.Multiple);
  WriteBool(profile, kInfo, "Tray", server.Tray);

  // The counts are trusted over the arrays; entries the array lacks are written as
  // a fresh entry reads, rather than read past the array's end.
  const TDirectory noDirectory;
  for (std::int32_t i = 0; i < server.DirectoryCount; ++i) {
    const std::size_t at = static_cast<std::size_t>(i);
    const TDirectory& d = at < server.Directories.size() ? server.Directories[at] : noDirectory;
    const std::string section = DirectorySection(i);
    profile.WriteString(section, "Path", d.Path);
    profile.WriteString(section, "Description", d.Description);
    WriteBool(profile, section, "AccessR", d.AccessR);
    WriteBool(profile, section, "AccessW", d.AccessW);
    WriteBool(profile, section, "Recursive", d.Recursive);
  }
  const TFile noFile;
  for (std::int32_t i = 0; i < server.FileCount; ++i) {
    const std::size_t at = static_cast<std::size_t>(i);
    const TFile& f = at < server.Files.size() ? server.Files[at] : noFile;
    const std::string section = FileSection(i);
    profile.WriteString(section, "Path", f.Path);
    profile.WriteString(section, "Description", f.Description);
  }

  if (!profile.SaveAtomically(fileName)) throw EWriteError(failure);
  return true;
}

bool WriteActiveFlag(const std::string& fileName, bool active) {
  const std::string failure = "Unable to write to " + fileName;
  TProfile profile;
  switch (profile.Load(fileName)) {
    case TProfile::TLoadResult::kMissing: return false;
    case TProfile::TLoadResult::kUnreadable: throw EWriteError(failure);
    case TProfile::TLoadResult::kLoaded: break;
  }
  WriteBool(profile, kInfo, "Active", active);
  if (!profile.SaveAtomically(fileName)) throw EWriteError(failure);
  return true;
}

std::string ServerFileNameAt(const std::tm& local, int milliseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02d%02d.server",
                local.tm_year % 100, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                local.tm_min, local.tm_sec, milliseconds);
  return text;
}

bool CreateServersFolder(const std::string& folder) { return CreatePrivateFolder(folder); }

std::string NewServerFileName() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const int ms = static_cast<int>(
      duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  return ServerFileNameAt(local, ms);
}

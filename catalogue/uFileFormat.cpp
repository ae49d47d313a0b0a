#include "catalogue/uFileFormat.h"

#include <cstdio>
#include <ctime>
#include <string_view>
#include <variant>

#include "catalogue/ServerUi.h"
#include "platform/Process.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace {

constexpr const char* kInfo = "Info";

std::int32_t ReadInteger(const TProfile& profile, std::string_view section,
                         std::string_view key, std::int32_t defaultValue) {
  std::string text = profile.ReadString(section, key, "");
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text = "$" + text.substr(2);
  std::int32_t value;
  return ParseIntegerText(text, value) ? value : defaultValue;
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

// The [Info] keys in the order they are written, with what a missing key reads as.
// Keys that are read but not written (the time limits) stay as the file has them
// when the wizard saves it.
using TInfoField = std::variant<std::string TServerFile::*, std::uint8_t TServerFile::*,
                                std::int32_t TServerFile::*, bool TServerFile::*>;
struct TInfoKey {
  const char* name;
  TInfoField field;
  std::string_view defaultText;   // text keys
  std::int32_t defaultNumber;     // number and yes/no keys
  bool nonNegative;               // a negative value reads as the default
  bool written;
};

constexpr TInfoKey kInfoKeys[] = {
    {"Name", &TServerFile::Name, "NoName", 0, false, true},
    {"Banner", &TServerFile::Banner, "Quarnel Sharing", 0, false, true},
    {"Type", &TServerFile::Type, "", kTypeVokt, false, true},
    {"Directories", &TServerFile::DirectoryCount, "", 0, false, true},
    {"Files", &TServerFile::FileCount, "", 0, false, true},
    {"Username", &TServerFile::Username, "", 0, false, true},
    {"Password", &TServerFile::Password, "", 0, false, true},
    {"Port", &TServerFile::Port, "", 0, false, true},
    {"Limit", &TServerFile::Limit, "", 0, false, true},
    {"Active", &TServerFile::Active, "", 0, false, true},
    {"Multiple", &TServerFile::Multiple, "", 0, false, true},
    {"Tray", &TServerFile::Tray, "", 1, false, true},
    {"IdleTimeout", &TServerFile::IdleTimeout, "", kDefaultIdleTimeout, true, false},
    {"MaxPerAddress", &TServerFile::MaxPerAddress, "", kDefaultMaxPerAddress, true, false},
    {"RequireTls", &TServerFile::RequireTls, "", 0, false, false},
};

void ReadInfoKey(const TProfile& profile, const TInfoKey& key, TServerFile& server) {
  struct Reader {
    const TProfile& profile;
    const TInfoKey& key;
    TServerFile& server;
    void operator()(std::string TServerFile::*m) const {
      server.*m = profile.ReadString(kInfo, key.name, key.defaultText);
    }
    void operator()(std::uint8_t TServerFile::*m) const {
      server.*m = static_cast<std::uint8_t>(ReadInteger(profile, kInfo, key.name, key.defaultNumber) & 0xFF);
    }
    void operator()(std::int32_t TServerFile::*m) const {
      server.*m = key.nonNegative ? ReadNonNegative(profile, key.name, key.defaultNumber)
                                  : ReadInteger(profile, kInfo, key.name, key.defaultNumber);
    }
    void operator()(bool TServerFile::*m) const {
      server.*m = ReadBool(profile, kInfo, key.name, key.defaultNumber != 0);
    }
  };
  std::visit(Reader{profile, key, server}, key.field);
}

void WriteInfoKey(TProfile& profile, const TInfoKey& key, const TServerFile& server) {
  struct Writer {
    TProfile& profile;
    const TInfoKey& key;
    const TServerFile& server;
    void operator()(std::string TServerFile::*m) const { profile.WriteString(kInfo, key.name, server.*m); }
    void operator()(std::uint8_t TServerFile::*m) const { WriteInteger(profile, kInfo, key.name, server.*m); }
    void operator()(std::int32_t TServerFile::*m) const { WriteInteger(profile, kInfo, key.name, server.*m); }
    void operator()(bool TServerFile::*m) const { WriteBool(profile, kInfo, key.name, server.*m); }
  };
  std::visit(Writer{profile, key, server}, key.field);
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
  for (const TInfoKey& key : kInfoKeys) ReadInfoKey(profile, key, server);
  ReadShares(profile, server);
  return true;
}

bool WriteServerFile(const std::string& fileName, const TServerFile& server) {
  const std::string failure = "Unable to write to " + fileName;
  TProfile profile;
  // Starting from an empty profile would drop whatever the unreadable file holds.
  if (profile.Load(fileName) == TProfile::TLoadResult::kUnreadable) throw EWriteError(failure);

  for (const TInfoKey& key : kInfoKeys)
    if (key.written) WriteInfoKey(profile, key, server);
  // Files written before the key existed keep their bytes while it is off.
  if (server.RequireTls || !profile.ReadString(kInfo, "RequireTls", "").empty())
    WriteBool(profile, kInfo, "RequireTls", server.RequireTls);
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
  int milliseconds = 0;
  const std::tm local = LocalTimeNow(milliseconds);
  return ServerFileNameAt(local, milliseconds);
}

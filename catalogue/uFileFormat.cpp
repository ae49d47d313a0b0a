#include "catalogue/uFileFormat.h"

#include <cstddef>
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

void WriteInteger(TProfile& profile, std::string_view section, std::string_view key,
                  std::int64_t value) {
  profile.WriteString(section, key, std::to_string(value));
}

void WriteBool(TProfile& profile, std::string_view section, std::string_view key,
               bool value) {
  profile.WriteString(section, key, value ? "1" : "0");
}

// Keys that are read but never written (the time limits) stay as the file has them
// when the wizard saves it. A key that came later is written only while it is on or
// already in the file, so files from before it keep their bytes.
enum class TWritten : std::uint8_t { kAlways, kNever, kWhenOnOrPresent };

// One key of a section, with what a missing key reads as.
template <typename Record>
struct TKey {
  using TField = std::variant<std::string Record::*, std::uint8_t Record::*,
                              std::int32_t Record::*, bool Record::*>;
  const char* name;
  TField field;
  std::string_view defaultText = {};  // text keys
  std::int32_t defaultNumber = 0;     // number and yes/no keys
  bool nonNegative = false;           // a negative value means nothing sensible: the default
  TWritten written = TWritten::kAlways;
};

constexpr const char* kActive = "Active";

// Every key of each section, in the order they are written.
constexpr TKey<TServerFile> kInfoKeys[] = {
    {"Name", &TServerFile::Name, "NoName"},
    {"Banner", &TServerFile::Banner, "Quarnel Sharing"},
    {"Type", &TServerFile::Type, "", kTypeVokt},
    {"Directories", &TServerFile::DirectoryCount},
    {"Files", &TServerFile::FileCount},
    {"Username", &TServerFile::Username},
    {"Password", &TServerFile::Password},
    {"Port", &TServerFile::Port},
    {"Limit", &TServerFile::Limit},
    {kActive, &TServerFile::Active},
    {"Multiple", &TServerFile::Multiple},
    {"Tray", &TServerFile::Tray, "", 1},
    {"IdleTimeout", &TServerFile::IdleTimeout, "", kDefaultIdleTimeout, true, TWritten::kNever},
    {"MaxPerAddress", &TServerFile::MaxPerAddress, "", kDefaultMaxPerAddress, true, TWritten::kNever},
    {"RequireTls", &TServerFile::RequireTls, "", 0, false, TWritten::kWhenOnOrPresent},
};

constexpr TKey<TDirectory> kDirectoryKeys[] = {
    {"Path", &TDirectory::Path},
    {"Description", &TDirectory::Description},
    {"AccessR", &TDirectory::AccessR, "", 1},
    {"AccessW", &TDirectory::AccessW, "", 1},
    {"Recursive", &TDirectory::Recursive},
};

constexpr TKey<TFile> kFileKeys[] = {
    {"Path", &TFile::Path},
    {"Description", &TFile::Description},
};

template <typename Record>
void ReadKey(const TProfile& profile, std::string_view section, const TKey<Record>& key,
             Record& record) {
  struct Reader {
    const TProfile& profile;
    std::string_view section;
    const TKey<Record>& key;
    Record& record;
    void operator()(std::string Record::*m) const {
      record.*m = profile.ReadString(section, key.name, key.defaultText);
    }
    void operator()(std::uint8_t Record::*m) const {
      record.*m = static_cast<std::uint8_t>(Number() & 0xFF);
    }
    void operator()(std::int32_t Record::*m) const {
      const std::int32_t value = Number();
      record.*m = key.nonNegative && value < 0 ? key.defaultNumber : value;
    }
    void operator()(bool Record::*m) const { record.*m = Number() != 0; }
    std::int32_t Number() const {
      return ReadInteger(profile, section, key.name, key.defaultNumber);
    }
  };
  std::visit(Reader{profile, section, key, record}, key.field);
}

template <typename Record>
bool IsWritten(const TProfile& profile, std::string_view section, const TKey<Record>& key,
               const Record& record) {
  switch (key.written) {
    case TWritten::kAlways: return true;
    case TWritten::kNever: return false;
    case TWritten::kWhenOnOrPresent: break;
  }
  const auto* flag = std::get_if<bool Record::*>(&key.field);
  return (flag && record.**flag) || !profile.ReadString(section, key.name, "").empty();
}

template <typename Record>
void WriteKey(TProfile& profile, std::string_view section, const TKey<Record>& key,
              const Record& record) {
  if (!IsWritten(profile, section, key, record)) return;
  struct Writer {
    TProfile& profile;
    std::string_view section;
    const TKey<Record>& key;
    const Record& record;
    void operator()(std::string Record::*m) const { profile.WriteString(section, key.name, record.*m); }
    void operator()(std::uint8_t Record::*m) const { WriteInteger(profile, section, key.name, record.*m); }
    void operator()(std::int32_t Record::*m) const { WriteInteger(profile, section, key.name, record.*m); }
    void operator()(bool Record::*m) const { WriteBool(profile, section, key.name, record.*m); }
  };
  std::visit(Writer{profile, section, key, record}, key.field);
}

template <typename Record, std::size_t N>
void ReadSection(const TProfile& profile, std::string_view section, const TKey<Record> (&keys)[N],
                 Record& record) {
  for (const TKey<Record>& key : keys) ReadKey(profile, section, key, record);
}

template <typename Record, std::size_t N>
void WriteSection(TProfile& profile, std::string_view section, const TKey<Record> (&keys)[N],
                  const Record& record) {
  for (const TKey<Record>& key : keys) WriteKey(profile, section, key, record);
}

std::string DirectorySection(std::int32_t i) { return "Directory." + std::to_string(i); }
std::string FileSection(std::int32_t i) { return "File." + std::to_string(i); }

// A hand-edited count of two billion would otherwise ask for gigabytes of default
// entries and bring the program down; nobody shares this many folders or files.
constexpr std::int32_t kMaxEntries = 65536;

void ReadShares(const TProfile& profile, TServerFile& server) {
  if (server.DirectoryCount > kMaxEntries) server.DirectoryCount = kMaxEntries;
  if (server.FileCount > kMaxEntries) server.FileCount = kMaxEntries;
  for (std::int32_t i = 0; i < server.DirectoryCount; ++i)
    ReadSection(profile, DirectorySection(i), kDirectoryKeys, server.Directories.emplace_back());
  for (std::int32_t i = 0; i < server.FileCount; ++i)
    ReadSection(profile, FileSection(i), kFileKeys, server.Files.emplace_back());
}

// The counts are trusted over the arrays; entries the array lacks are written as a
// fresh entry reads, rather than read past the array's end.
void WriteShares(TProfile& profile, const TServerFile& server) {
  const TDirectory noDirectory;
  for (std::int32_t i = 0; i < server.DirectoryCount; ++i) {
    const std::size_t at = static_cast<std::size_t>(i);
    WriteSection(profile, DirectorySection(i), kDirectoryKeys,
                 at < server.Directories.size() ? server.Directories[at] : noDirectory);
  }
  const TFile noFile;
  for (std::int32_t i = 0; i < server.FileCount; ++i) {
    const std::size_t at = static_cast<std::size_t>(i);
    WriteSection(profile, FileSection(i), kFileKeys, at < server.Files.size() ? server.Files[at] : noFile);
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
  ReadSection(profile, kInfo, kInfoKeys, server);
  ReadShares(profile, server);
  return true;
}

bool WriteServerFile(const std::string& fileName, const TServerFile& server) {
  const std::string failure = "Unable to write to " + fileName;
  TProfile profile;
  // Starting from an empty profile would drop whatever the unreadable file holds.
  if (profile.Load(fileName) == TProfile::TLoadResult::kUnreadable) throw EWriteError(failure);

  WriteSection(profile, kInfo, kInfoKeys, server);
  WriteShares(profile, server);

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
  WriteBool(profile, kInfo, kActive, active);
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

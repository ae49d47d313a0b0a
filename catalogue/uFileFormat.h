#pragma once
// Server definitions: the records and their INI file (one file per server in the
// `Servers` folder beside the program).

#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

enum : std::uint8_t { kTypeFtp = 0, kTypeWeb = 1, kTypeVokt = 2 };

inline constexpr std::int32_t kDefaultIdleTimeout = 300;
inline constexpr std::int32_t kDefaultMaxPerAddress = 20;

// "FTP Server", "Web Server", "Vokt Server"; other codes give "".
std::string ServerTypeName(int type);

struct TDirectory {
  std::string Path;  // drive form, e.g. C:\Shared (trailing backslash optional)
  std::string Description;
  bool AccessR = true;
  bool AccessW = true;
  bool Recursive = false;
};

struct TFile {
  std::string Path;
  std::string Description;
};

struct TServerFile {
  std::string Name = "NoName";
  std::string Banner = "Quarnel Sharing";
  std::uint8_t Type = kTypeVokt;
  std::int32_t DirectoryCount = 0;
  std::int32_t FileCount = 0;
  std::vector<TDirectory> Directories;
  std::vector<TFile> Files;
  bool Active = false;
  bool Multiple = false;
  bool Tray = true;
  std::string Username;
  std::string Password;
  std::int32_t Port = 0;
  std::int32_t Limit = 0;
  // Optional keys an owner may add by hand; read with their defaults, never written,
  // so a definition saved by the wizard keeps whatever the owner put there.
  std::int32_t IdleTimeout = kDefaultIdleTimeout;      // seconds; 0 turns time limits off
  std::int32_t MaxPerAddress = kDefaultMaxPerAddress;  // connections per address; 0 no cap
  // Logins and pages only over TLS; written by the wizard where it is on, or where
  // the file already has the key.
  bool RequireTls = false;
};

// Raised when a definition cannot be written; message "Unable to write to " + path.
class EWriteError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// False (after showing "File <path> not found" through the front) when the file is
// missing, or "Unable to read <path>" when it exists but cannot be read; the record
// is then left as it was. Counts above 65536 are taken as 65536.
bool ReadServerFile(const std::string& fileName, TServerFile& server);
// Writes every field; the counts are trusted over the arrays. Throws EWriteError.
// The file is replaced whole (temporary file, then rename), never left half-written.
bool WriteServerFile(const std::string& fileName, const TServerFile& server);
// Sets the Active key of [Info] (adding it when absent) and leaves every other line
// of the file as it stands, values longer than a read returns included: starting and
// stopping must not rewrite what the owner put there. Replaced whole like
// WriteServerFile. False, with nothing written, when the file does not exist; throws
// EWriteError when it cannot be read or written.
bool WriteActiveFlag(const std::string& fileName, bool active);

// yymmddhhnnsszz".server" for the current local time (milliseconds at least two
// digits).
std::string NewServerFileName();
// Makes the folder of the definitions (and its parents) when missing; the folder it
// makes is private to the user, since every definition in it holds a password.
bool CreateServersFolder(const std::string& folder);

// The same name for a given local time and millisecond (0-999).
std::string ServerFileNameAt(const std::tm& local, int milliseconds);

#include "ftp/FtpSrvT.h"

#include <cstdio>

#include "platform/HostFs.h"
#include "platform/Text.h"

namespace {

// First letter of a path upper-cased, 0 for an empty one.
char DriveLetterOf(std::string_view s) { return s.empty() ? 0 : AsciiUpper(s[0]); }

std::string WithoutDrive(std::string_view s) { return std::string(s.size() > 2 ? s.substr(2) : ""); }

bool HasDotNotation(std::string_view path) { return path.find(".\\") != std::string_view::npos; }

}  // namespace

std::string StripSlashBeforeDrive(std::string_view s) {
  if (s.size() > 2 && s[2] == ':' && s[0] == '\\') s.remove_prefix(1);
  return std::string(s);
}

bool IsUncPath(std::string_view s) { return s.size() >= 2 && s[0] == '\\' && s[1] == '\\'; }

std::string ExtractFileDrive(std::string_view s) {
  if (s.size() >= 2 && s[1] == ':') return std::string(s.substr(0, 2));
  if (!IsUncPath(s)) return {};
  // \\server\share: up to the separator that follows the share name.
  std::size_t server = s.find('\\', 2);
  if (server == std::string_view::npos) return std::string(s);
  std::size_t share = s.find('\\', server + 1);
  return std::string(s.substr(0, share));
}

void ResolveDirectory(std::string& currentDirectory, std::string_view newValue) {
  if (newValue == currentDirectory) return;
  const std::string value = StripSlashBeforeDrive(newValue);
  std::string drive = ExtractFileDrive(value);
  if (IsUncPath(drive)) throw FtpServerException("Cannot accept UNC path");
  std::string path;
  if (!drive.empty()) {
    path = value.substr(2);
  } else {
    drive = ExtractFileDrive(currentDirectory);
    path = value;
  }
  if (path.find(':') != std::string::npos) {
    throw FtpServerException("Invalid directory name syntax");
  }
  const std::string currentPath = WithoutDrive(currentDirectory);
  if (path == "..") {
    // The parent: cut after the last backslash before the final one; empty at the root.
    std::size_t cut = currentPath.size() < 2 ? std::string::npos
                                             : currentPath.rfind('\\', currentPath.size() - 2);
    path = cut == std::string::npos ? "" : currentPath.substr(0, cut + 1);
  }
  const bool otherDrive = DriveLetterOf(drive) != DriveLetterOf(currentDirectory);
  if (!path.empty() && path[0] != '\\') {
    if (otherDrive) throw FtpServerException("Cannot accept path not relative to current directory");
    if (HasDotNotation(path)) throw FtpServerException("Cannot accept relative path using dot notation");
    path = path == "." ? currentPath : currentPath + path;
  } else if (HasDotNotation(path)) {
    throw FtpServerException("Cannot accept relative path using dot notation");
  }
  if (path.empty()) path = otherDrive ? "\\" : currentPath;
  if (path.empty() || path.back() != '\\') path += '\\';
  currentDirectory = drive + path;
}

std::string BuildFilePath(const std::string& directory, std::string_view fileName,
                          const TBuildFilePathHook& hook) {
  const std::string name = StripSlashBeforeDrive(SlashesToBackslashes(fileName));
  std::string result;
  if (hook) hook(directory, name, result);
  if (!result.empty()) return result;
  if (IsUncPath(name)) return name;
  std::string drive, rest;
  if (name.size() > 1 && name[1] == ':') {
    drive = {AsciiUpper(name[0]), ':'};
    rest = name.substr(2);
  } else {
    drive = directory.substr(0, 2);
    rest = name;
  }
  if (!rest.empty() && rest[0] == '\\') return drive + rest;
  if (drive != directory.substr(0, 2)) {
    throw FtpServerException("No current dir for '" + drive + "'");
  }
  return directory + rest;
}

std::int64_t FileSizeOf(std::string_view path) {
  for (const THostEntry& entry : HostFs::FindEntries(path)) {
    if (!entry.directory) return entry.size;
  }
  return -1;
}

bool ParseFtpTime(std::string_view text, std::int64_t& utcSeconds) {
  const std::size_t dot = text.find('.');
  if (dot != std::string_view::npos) {
    const std::string_view fraction = text.substr(dot + 1);
    if (!IsDigits(fraction))
      return false;
    text = text.substr(0, dot);
  }
  if (text.size() != 14 || !IsDigits(text))
    return false;
  auto number = [&](std::size_t at, std::size_t len) {
    int v = 0;
    for (std::size_t i = at; i < at + len; ++i) v = v * 10 + (text[i] - '0');
    return v;
  };
  THostTime t;
  t.year = number(0, 4);
  t.month = number(4, 2);
  t.day = number(6, 2);
  t.hour = number(8, 2);
  t.minute = number(10, 2);
  t.second = number(12, 2);
  if (t.year < 1970 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 ||
      t.minute > 59 || t.second > 59)
    return false;
  utcSeconds = HostFs::UtcSecondsOf(t);
  // A day past the month's end (Feb 30) comes back as another date.
  const THostTime back = HostFs::UtcTime(utcSeconds);
  return back.day == t.day && back.month == t.month;
}

std::string FileUtcTimeString(std::string_view path) {
  std::int64_t modified = 0;
  if (!HostFs::FileModTime(path, modified)) {
    throw FtpServerException("Cannot get the time of " + std::string(path));
  }
  return FtpUtcTimeString(modified);
}

std::string FtpUtcTimeString(std::int64_t modified) {
  // The file's own UTC second: neither today's daylight-saving offset nor a
  // two-second grid, so mirroring clients see unchanged files as unchanged.
  const THostTime t = HostFs::UtcTime(modified);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d.000", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return buf;
}

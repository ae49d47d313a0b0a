#include "ftp/FtpSrvList.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Text.h"

namespace {

// A listing is one entry per CR LF line, with no way to carry a line end inside a
// name: a name holding CR or LF (made on this machine, or uploaded with a bare CR)
// would plant lines of its own, such as a file that is not there. A backslash in a
// name is read as a folder separator in every path, so no command could reach it.
// Such names are left out.
bool Listable(const THostEntry& entry) {
  return entry.name.find_first_of("\r\n\\") == std::string::npos;
}

// Clients only know a name is a program from these extensions, as on the original
// host.
bool LooksExecutable(const std::string& name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string ext = AsciiUpper(std::string_view(name).substr(dot));
  return ext == ".EXE" || ext == ".COM" || ext == ".BAT";
}

}  // namespace

std::string FtpListLine(const THostEntry& entry, int currentYear, bool withHidden) {
  if (entry.hidden && !withHidden) return {};
  std::string perms = "-rw-rw-rw-";
  if (entry.directory) perms[0] = 'd';
  if (entry.readOnly) perms[2] = perms[5] = perms[8] = '-';
  // A folder that can be read can be entered: mirroring clients apply this mode to
  // the folders they make, and without "x" could not enter them themselves.
  if (entry.directory || LooksExecutable(entry.name)) perms[3] = perms[6] = perms[9] = 'x';

  const THostTime t = HostFs::LocalTime(entry.modified);
  // Sizes past 2 GiB just widen the column; clients split on blanks.
  char buf[128];
  int n = std::snprintf(buf, sizeof buf, "%s   1 ftp      ftp  %11lld %s %2.2d ", perms.c_str(),
                        static_cast<long long>(entry.size), kMonthNames[t.month - 1], t.day);
  if (t.year == currentYear) {
    std::snprintf(buf + n, sizeof buf - n, "%2.2d:%2.2d ", t.hour, t.minute);
  } else {
    std::snprintf(buf + n, sizeof buf - n, "%5d ", t.year);
  }
  return buf + entry.name + "\r\n";
}

std::string ListingPattern(const std::string& currentDirectory, const std::string& argument,
                           const TBuildFilePathHook& hook) {
  // Options such as "-la" name nothing; nor does a name that does not exist, and
  // both list the current directory.
  if (argument.empty() || argument[0] == '-') return currentDirectory + "*.*";
  // A name is taken in the session's directory, like every other file argument:
  // tested against the process's own directory, "NLST sub" (curl without CWD) and
  // "LIST sub/" (lftp's ls) answered with the parent folder's listing. A folder
  // lists its content, with or without the trailing slash. A wildcard names no
  // existing file but is a pattern of its own: dropping it would answer
  // "NLST *.txt" with every name and make mget fetch the whole folder.
  std::string pattern = BuildFilePath(currentDirectory, argument, hook);
  if (argument.find_first_of("*?") == std::string::npos) {
    if (HostFs::DirectoryExists(pattern)) {
      if (pattern.back() != '\\') pattern += '\\';
    } else if (!HostFs::FileExists(pattern)) {
      pattern = currentDirectory;
    }
  }
  if (!pattern.empty() && pattern.back() == '\\') pattern += "*.*";
  return pattern;
}

std::string MlsxFacts(const THostEntry& entry, const TFtpFolderRights& rights) {
  const THostTime t = HostFs::UtcTime(entry.modified);
  char modify[32];
  std::snprintf(modify, sizeof modify, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  std::string facts = entry.directory ? "type=dir;" : "type=file;size=" + std::to_string(entry.size) + ";";
  facts += "modify=" + std::string(modify) + ";";
  // Nothing is ever deleted over FTP, so no "d" or "p". A mirroring client acts on
  // these, so they claim only what the share allows.
  const bool writable = rights.write && !entry.readOnly;
  facts += "perm=";
  if (entry.directory) {
    if (rights.enterSubfolders) facts += "el";
    if (writable) facts += "cm";
  } else {
    if (rights.read) facts += "r";
    if (writable) facts += "w";
  }
  return facts + ";";
}

// Every entry, those whose names begin with a dot included: mirroring clients take
// what MLSD leaves out for gone, and deleted their own copies or sent them again.
std::string MlsdLine(const THostEntry& entry, const TFtpFolderRights& rights) {
  if (entry.name == "." || entry.name == "..") return {};
  return MlsxFacts(entry, rights) + " " + entry.name + "\r\n";
}

TFtpListingStream::TFtpListingStream(std::string pattern, const THostPlace& folder,
                                     TFtpListFormat format, TFtpFolderRights rights,
                                     bool withHidden)
    : pattern_(std::move(pattern)),
      format_(format),
      rights_(rights),
      withHidden_(withHidden),
      currentYear_(HostFs::LocalTime(HostFs::NowUtc()).year) {
  finder_.Open(folder, std::string_view(pattern_).substr(pattern_.rfind('\\') + 1));
}

std::int64_t TFtpListingStream::Read(char* buf, std::int64_t count) {
  while (pending_.size() - taken_ < static_cast<std::size_t>(count) && !ended_) {
    if (taken_ > 0) {
      pending_.erase(0, taken_);
      taken_ = 0;
    }
    THostEntry entry;
    if (!finder_.Next(entry)) {
      ended_ = true;
      // An empty folder is an empty MLSD listing (RFC 3659 section 7.2); the old
      // commands keep their line.
      if (!wrote_ && format_ != TFtpListFormat::Mlsd) pending_ += pattern_ + " not found\r\n";
      break;
    }
    if (!Listable(entry)) continue;
    std::string line;
    switch (format_) {
      case TFtpListFormat::List: line = FtpListLine(entry, currentYear_, withHidden_); break;
      case TFtpListFormat::Nlst: line = entry.name + "\r\n"; break;
      case TFtpListFormat::Mlsd: line = MlsdLine(entry, rights_); break;
    }
    if (line.empty()) continue;
    pending_ += line;
    wrote_ = true;
  }
  const std::size_t n = std::min(pending_.size() - taken_, static_cast<std::size_t>(count));
  std::memcpy(buf, pending_.data() + taken_, n);
  taken_ += n;
  return static_cast<std::int64_t>(n);
}

void TFtpListingStream::Write(const char*, std::int64_t) {
  throw FtpServerException("A listing cannot be written");
}

void BuildDirectoryListing(const std::string& currentDirectory, const std::string& argument,
                           bool detailed, std::string& out, const TBuildFilePathHook& hook,
                           bool withHidden) {
  const int currentYear = HostFs::LocalTime(HostFs::NowUtc()).year;
  const std::string pattern = ListingPattern(currentDirectory, argument, hook);

  bool wrote = false;
  for (const THostEntry& entry : HostFs::FindEntries(pattern)) {
    if (!Listable(entry)) continue;
    std::string line = detailed ? FtpListLine(entry, currentYear, withHidden) : entry.name + "\r\n";
    if (line.empty()) continue;
    out += line;
    wrote = true;
  }
  if (!wrote) out += pattern + " not found\r\n";
}

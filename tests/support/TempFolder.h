#pragma once
// Test vocabulary for code that works on real files: a fresh folder under /tmp per
// test, removed afterwards, with the few calls needed to shape its content, and a
// time-zone switch that is undone at the end of the scope.

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

class TTempFolder {
public:
  TTempFolder() {
    char tmpl[] = "/tmp/dravik-test-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    root_ = tmpl;
  }
  ~TTempFolder() {
    ::nftw(root_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) {
      return ::remove(p);
    }, 16, FTW_DEPTH | FTW_PHYS);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  // Native path of rel inside the folder ("" is the folder itself, no trailing "/").
  std::string Native(std::string_view rel = "") const {
    return rel.empty() ? root_ : root_ + "/" + std::string(rel);
  }
  // Drive form of the folder, with its trailing backslash: C:\tmp\dravik-test-x\.
  std::string Drive(std::string_view rel = "") const {
    std::string out = "C:";
    for (char c : Native(rel)) out += c == '/' ? '\\' : c;
    return rel.empty() ? out + "\\" : out;
  }

  void WriteFile(std::string_view rel, std::string_view content = "") const {
    std::ofstream(Native(rel), std::ios::binary) << content;
  }
  void MakeFolder(std::string_view rel) const { ::mkdir(Native(rel).c_str(), 0777); }
  void MakeLink(std::string_view rel, const std::string& target) const {
    if (::symlink(target.c_str(), Native(rel).c_str()) != 0) throw std::runtime_error("symlink");
  }
  void SetModified(std::string_view rel, std::int64_t utcSeconds) const {
    struct timespec times[2] = {{static_cast<time_t>(utcSeconds), 0},
                                {static_cast<time_t>(utcSeconds), 0}};
    ::utimensat(AT_FDCWD, Native(rel).c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  void SetModifiedFollowing(std::string_view rel, std::int64_t utcSeconds) const {
    struct timespec times[2] = {{static_cast<time_t>(utcSeconds), 0},
                                {static_cast<time_t>(utcSeconds), 0}};
    ::utimensat(AT_FDCWD, Native(rel).c_str(), times, 0);
  }

private:
  std::string root_;
};

// Sets TZ for the scope and restores what was there (or its absence).
class TScopedTimeZone {
public:
  explicit TScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~TScopedTimeZone() {
    if (old_) ::setenv("TZ", old_->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }
  TScopedTimeZone(const TScopedTimeZone&) = delete;
  TScopedTimeZone& operator=(const TScopedTimeZone&) = delete;

private:
  std::optional<std::string> old_;
};

// The UTC second of a wall-clock time in the current zone.
inline std::int64_t LocalToUtc(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&tm));
}

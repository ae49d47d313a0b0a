#include "platform/HostFs.h"

#include "platform/Text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <utility>

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string NativeOrEmpty(std::string_view path) {
  std::string native;
  if (!HostFs::ToNative(path, native)) return {};
  return native;
}

bool StatFollowingLinks(const std::string& native, struct stat& st) {
  return !native.empty() && ::stat(native.c_str(), &st) == 0;
}

std::int64_t MTimeOf(const struct stat& st) { return static_cast<std::int64_t>(st.st_mtim.tv_sec); }

THostTime ToHostTime(const std::tm& tm) {
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

// Wildcards turned into the original host's matching tokens: a "?" may match
// nothing at the end of a name or before a dot, a "*" just before a dot stops at the
// last dot of the name, and a dot before a wildcard (or at the end) may match the end
// of the name.
enum class TTok { Lit, Star, DosStar, DosQm, DosDot };
struct TToken {
  TTok kind;
  char ch;
};

std::vector<TToken> Tokenize(std::string_view p) {
  if (p == "*.*") return {{TTok::Star, 0}};
  std::vector<TToken> out;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    const bool last = i + 1 == p.size();
    if (c == '?') {
      out.push_back({TTok::DosQm, 0});
    } else if (c == '*') {
      const TTok kind = !last && p[i + 1] == '.' ? TTok::DosStar : TTok::Star;
      // "**" matches what "*" does; a run of them only made every match slower.
      if (!(kind == TTok::Star && !out.empty() && out.back().kind == TTok::Star)) out.push_back({kind, 0});
    } else if (c == '.' && (last || p[i + 1] == '?' || p[i + 1] == '*')) {
      out.push_back({TTok::DosDot, 0});
    } else {
      out.push_back({TTok::Lit, c});
    }
  }
  return out;
}

}  // namespace

THostStatus THostStatus::FromErrno() { return THostStatus(errno == 0 ? EIO : errno); }

THostStatus THostStatus::Missing() { return THostStatus(ENOENT); }

bool THostStatus::NotFound() const { return code_ == ENOENT || code_ == ENOTDIR; }

bool THostStatus::Temporary() const {
  return code_ == EMFILE || code_ == ENFILE || code_ == ENOMEM || code_ == EBUSY;
}

bool THostStatus::Busy() const { return code_ == EBUSY; }

std::string THostStatus::Message() const {
  if (code_ == 0) return {};
  if (code_ == EBUSY) return "File is busy";
  char buf[256];
  // GNU strerror_r: the text may be returned in place of buf.
  return ::strerror_r(code_, buf, sizeof buf);
}

THostFinder::THostFinder() = default;
THostFinder::~THostFinder() = default;
THostFinder::THostFinder(THostFinder&&) noexcept = default;
THostFinder& THostFinder::operator=(THostFinder&&) noexcept = default;

void THostFinder::TDirCloser::operator()(void* dir) const { ::closedir(static_cast<DIR*>(dir)); }

bool THostFinder::Open(std::string_view pattern) {
  dir_.reset();
  std::size_t cut = pattern.find_last_of("\\/");
  std::string_view dir, namePattern;
  if (cut != std::string_view::npos) {
    dir = pattern.substr(0, cut + 1);
    namePattern = pattern.substr(cut + 1);
  } else if (pattern.size() >= 2 && pattern[1] == ':') {
    dir = pattern.substr(0, 2);
    namePattern = pattern.substr(2);
  } else {
    namePattern = pattern;
  }
  std::string native;
  if (namePattern.empty() || !HostFs::ToNative(dir, native)) return false;
  return Start(::open(native.empty() ? "." : native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC),
               namePattern);
}

bool THostFinder::Start(int dirFd, std::string_view namePattern) {
  if (dirFd < 0) return false;
  DIR* dir = ::fdopendir(dirFd);
  if (!dir) {
    ::close(dirFd);
    return false;
  }
  dir_.reset(dir);
  namePattern_ = std::string(namePattern);
  return true;
}

bool THostFinder::Next(THostEntry& e) {
  if (!dir_) return false;
  DIR* d = static_cast<DIR*>(dir_.get());
  const int dfd = ::dirfd(d);
  while (const dirent* de = ::readdir(d)) {
    std::string_view name = de->d_name;
    if (!HostFs::MatchesPattern(namePattern_, name)) continue;
    struct stat st;
    // A broken link is still listed, with the link's own size and time.
    if (::fstatat(dfd, de->d_name, &st, 0) != 0 &&
        ::fstatat(dfd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;  // gone since readdir
    }
    e = THostEntry{};
    e.name = std::string(name);
    e.directory = S_ISDIR(st.st_mode);
    e.size = e.directory ? 0 : static_cast<std::int64_t>(st.st_size);
    e.modified = MTimeOf(st);
    e.hidden = name.size() > 0 && name[0] == '.' && name != "." && name != "..";
    e.readOnly = ::faccessat(dfd, de->d_name, W_OK, AT_EACCESS) != 0 && errno != ENOENT;
    return true;
  }
  dir_.reset();
  return false;
}

namespace HostFs {

bool ToNative(std::string_view path, std::string& native) {
  // The kernel would stop at a NUL and act on a shorter path than the one every
  // check above this layer read.
  if (path.find('\0') != std::string_view::npos) return false;
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return false;  // UNC
  if (path.size() >= 2 && path[1] == ':') {
    if (path[0] != 'C' && path[0] != 'c') return false;
    std::string rest = BackslashesToSlashes(path.substr(2));
    native = rest.empty() || rest[0] != '/' ? "/" + rest : rest;
    return true;
  }
  native = BackslashesToSlashes(path);
  return true;
}

std::string FromNative(std::string_view native) {
  std::string out = "C:";
  out.reserve(native.size() + 2);
  for (char c : native) out += c == '/' ? '\\' : c;
  if (out.size() == 2) out += '\\';
  return out;
}

bool FileExists(std::string_view path) {
  struct stat st;
  return StatFollowingLinks(NativeOrEmpty(path), st) && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(std::string_view path) {
  struct stat st;
  return StatFollowingLinks(NativeOrEmpty(path), st) && S_ISDIR(st.st_mode);
}

// The tokens are run as an automaton over the states still alive, not over every
// token: stepping every token of a client's pattern of thousands of wildcards for
// every character of every name of a large folder held the event loop for seconds.
constexpr std::size_t kMaxWildcards = 64;

bool MatchesPattern(std::string_view pattern, std::string_view name) {
  const std::vector<TToken> toks = Tokenize(pattern);
  const std::size_t m = toks.size();
  // Each "*" stays alive once reached, so "*?*?..." still steps every one of them for
  // every character; no one lists with more wildcards than this, and such a pattern
  // matches nothing.
  const auto wildcards = static_cast<std::size_t>(std::count_if(
      toks.begin(), toks.end(), [](const TToken& t) { return t.kind != TTok::Lit; }));
  if (wildcards > kMaxWildcards) return false;
  // Every literal takes one character of its own.
  const auto literals = static_cast<std::size_t>(
      std::count_if(toks.begin(), toks.end(), [](const TToken& t) { return t.kind == TTok::Lit; }));
  if (literals > name.size()) return false;
  const std::size_t lastDot = name.rfind('.');
  // alive: the numbers of leading tokens that can match the characters consumed so
  // far; seen marks them, so that each is listed once.
  std::vector<std::size_t> alive{0}, next;
  std::vector<char> seen(m + 1, 0), seenNext(m + 1, 0);
  seen[0] = 1;
  auto add = [](std::vector<std::size_t>& list, std::vector<char>& marks, std::size_t k) {
    if (!marks[k]) {
      marks[k] = 1;
      list.push_back(k);
    }
  };
  for (std::size_t j = 0;; ++j) {
    const bool atEnd = j == name.size();
    // Tokens that can match nothing here; the list grows as it is walked.
    for (std::size_t i = 0; i < alive.size(); ++i) {
      const std::size_t k = alive[i];
      if (k == m) continue;
      switch (toks[k].kind) {
        case TTok::Star:
        case TTok::DosStar: add(alive, seen, k + 1); break;
        case TTok::DosQm: if (atEnd || name[j] == '.') add(alive, seen, k + 1); break;
        case TTok::DosDot: if (atEnd) add(alive, seen, k + 1); break;
        case TTok::Lit: break;
      }
    }
    if (atEnd) return seen[m] != 0;
    const char c = name[j];
    next.clear();
    for (const std::size_t k : alive) {
      seen[k] = 0;
      if (k == m) continue;
      switch (toks[k].kind) {
        case TTok::Lit: if (toks[k].ch == c) add(next, seenNext, k + 1); break;
        case TTok::Star: add(next, seenNext, k); break;
        case TTok::DosStar: if (!(c == '.' && j == lastDot)) add(next, seenNext, k); break;
        case TTok::DosQm: if (c != '.') add(next, seenNext, k + 1); break;
        case TTok::DosDot: if (c == '.') add(next, seenNext, k + 1); break;
      }
    }
    if (next.empty()) return false;
    alive.swap(next);
    seen.swap(seenNext);
  }
}

std::vector<THostEntry> FindEntries(std::string_view pattern) {
  std::vector<THostEntry> out;
  THostFinder finder;
  if (!finder.Open(pattern)) return out;
  THostEntry entry;
  while (finder.Next(entry)) out.push_back(std::move(entry));
  return out;
}

THostStatus CreateDirectory(std::string_view path) {
  std::string native = NativeOrEmpty(path);
  if (native.empty()) return THostStatus(ENOENT);
  return ::mkdir(native.c_str(), 0777) == 0 ? THostStatus() : THostStatus::FromErrno();
}

THostStatus RemoveDirectory(std::string_view path) {
  std::string native = NativeOrEmpty(path);
  if (native.empty()) return THostStatus(ENOENT);
  return ::rmdir(native.c_str()) == 0 ? THostStatus() : THostStatus::FromErrno();
}

THostStatus DeleteFile(std::string_view path) {
  std::string native = NativeOrEmpty(path);
  if (native.empty()) return THostStatus(ENOENT);
  return ::unlink(native.c_str()) == 0 ? THostStatus() : THostStatus::FromErrno();
}

std::int64_t FileSize(std::string_view path) {
  struct stat st;
  if (!StatFollowingLinks(NativeOrEmpty(path), st)) return -1;
  return S_ISDIR(st.st_mode) ? 0 : static_cast<std::int64_t>(st.st_size);
}

bool FileModTime(std::string_view path, std::int64_t& utcSeconds) {
  struct stat st;
  if (!StatFollowingLinks(NativeOrEmpty(path), st)) return false;
  utcSeconds = MTimeOf(st);
  return true;
}

bool SetFileModTime(std::string_view path, std::int64_t utcSeconds) {
  const std::string native = NativeOrEmpty(path);
  if (native.empty()) return false;
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays
  times[1].tv_sec = static_cast<std::time_t>(utcSeconds);
  times[1].tv_nsec = 0;
  return ::utimensat(AT_FDCWD, native.c_str(), times, 0) == 0;
}

bool CanonicalPath(std::string_view path, std::string& native) {
  std::string start;
  if (!ToNative(path, start)) return false;
  if (start.empty() || start[0] != '/') {
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return false;
    start = std::string(cwd) + "/" + start;
  }
  std::deque<std::string> todo;
  auto push = [&todo](std::string_view p, bool front) {
    std::vector<std::string> names;
    std::size_t i = 0;
    while (i <= p.size()) {
      std::size_t j = p.find('/', i);
      if (j == std::string_view::npos) j = p.size();
      if (j > i) names.emplace_back(p.substr(i, j - i));
      i = j + 1;
    }
    if (front) todo.insert(todo.begin(), names.begin(), names.end());
    else todo.insert(todo.end(), names.begin(), names.end());
  };
  push(start, false);
  std::string done;  // canonical so far, "" being "/"
  int links = 0;
  while (!todo.empty()) {
    std::string name = std::move(todo.front());
    todo.pop_front();
    if (name == ".") continue;
    if (name == "..") {
      done.erase(done.rfind('/') == std::string::npos ? 0 : done.rfind('/'));
      continue;
    }
    std::string candidate = done + "/" + name;
    struct stat st;
    if (::lstat(candidate.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      if (++links > 40) return false;
      std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
      ssize_t n = ::readlink(candidate.c_str(), target.data(), target.size());
      if (n < 0) return false;
      target.resize(static_cast<std::size_t>(n));
      if (!target.empty() && target[0] == '/') done.clear();
      push(target, true);
      continue;
    }
    // Missing names are kept as names: ".." after one removes it again.
    done = std::move(candidate);
  }
  native = done.empty() ? "/" : done;
  return true;
}

std::int64_t NowUtc() { return static_cast<std::int64_t>(std::time(nullptr)); }

namespace {
// localtime_r alone keeps the zone it read first, so a change of TZ or of the
// system's zone would go unseen; but re-reading it costs a file lookup, and a
// listing asks once per entry. Once a second, or at once when TZ changes, is both.
void RefreshTimeZone() {
  static std::string lastTz = "\x01";  // no real TZ value: the first call reads
  static std::chrono::steady_clock::time_point lastRead;
  const char* tz = std::getenv("TZ");
  const std::string current = tz ? tz : "";
  const auto now = std::chrono::steady_clock::now();
  if (current == lastTz && now - lastRead < std::chrono::seconds(1)) return;
  ::tzset();
  lastTz = current;
  lastRead = now;
}
}  // namespace

THostTime LocalTime(std::int64_t utcSeconds) {
  RefreshTimeZone();
  std::time_t t = static_cast<std::time_t>(utcSeconds);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return ToHostTime(tm);
}

std::int64_t UtcSecondsOf(const THostTime& t) {
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  return static_cast<std::int64_t>(::timegm(&tm));
}

THostTime UtcTime(std::int64_t utcSeconds) {
  std::time_t t = static_cast<std::time_t>(utcSeconds);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  return ToHostTime(tm);
}

int TimeZoneBiasMinutes(std::int64_t utcSeconds) {
  RefreshTimeZone();
  std::time_t t = static_cast<std::time_t>(utcSeconds);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return static_cast<int>(-tm.tm_gmtoff / 60);
}

}  // namespace HostFs

namespace {

struct TClaimCount {
  int readers = 0;
  bool writer = false;
};
std::map<std::pair<std::uint64_t, std::uint64_t>, TClaimCount>& Claims() {
  static std::map<std::pair<std::uint64_t, std::uint64_t>, TClaimCount> claims;
  return claims;
}

}  // namespace

TTransferClaim::TTransferClaim(TTransferClaim&& other) noexcept
    : held_(std::exchange(other.held_, false)),
      writer_(other.writer_),
      device_(other.device_),
      inode_(other.inode_) {}

TTransferClaim& TTransferClaim::operator=(TTransferClaim&& other) noexcept {
  if (this != &other) {
    Release();
    held_ = std::exchange(other.held_, false);
    writer_ = other.writer_;
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

bool TTransferClaim::Claim(std::uint64_t device, std::uint64_t inode, bool writer) {
  Release();
  TClaimCount& count = Claims()[{device, inode}];
  if (count.writer || (writer && count.readers > 0)) {
    if (!count.writer && count.readers == 0) Claims().erase({device, inode});
    return false;
  }
  if (writer)
    count.writer = true;
  else
    ++count.readers;
  held_ = true;
  writer_ = writer;
  device_ = device;
  inode_ = inode;
  return true;
}

void TTransferClaim::Release() {
  if (!held_) return;
  held_ = false;
  auto it = Claims().find({device_, inode_});
  if (it == Claims().end()) return;
  if (writer_)
    it->second.writer = false;
  else
    --it->second.readers;
  if (!it->second.writer && it->second.readers <= 0) Claims().erase(it);
}

namespace {

int OpenFlags(THostFile::TMode mode) {
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  switch (mode) {
    case THostFile::hfmRead: flags |= O_RDONLY; break;
    case THostFile::hfmCreate: flags |= O_WRONLY | O_CREAT; break;
    case THostFile::hfmWrite: flags |= O_WRONLY; break;
    case THostFile::hfmReadWrite: flags |= O_RDWR; break;
    case THostFile::hfmCreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
  }
  return flags;
}

}  // namespace

THostStatus THostFile::Open(std::string_view path, TMode mode, TOpenOptions options) {
  Close();
  std::string native = NativeOrEmpty(path);
  if (native.empty()) return THostStatus(ENOENT);
  return OpenAt(AT_FDCWD, native, mode, options, false);
}

THostStatus THostFile::OpenAt(int dir, const std::string& name, TMode mode, TOpenOptions options,
                              bool noFollow) {
  Close();
  // Non-blocking only for the open itself: a pipe must not stall the loop here.
  const int flags = OpenFlags(mode) | (noFollow ? O_NOFOLLOW : 0);
  return Adopt(FileHandle(::openat(dir, name.c_str(), flags, 0666)), mode, options);
}

THostStatus THostFile::Adopt(FileHandle fd, TMode mode, TOpenOptions options) {
  if (!fd.Valid()) return THostStatus::FromErrno();
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0) return THostStatus::FromErrno();
  // Regular files ignore O_NONBLOCK, so it can stay set.
  if (!S_ISREG(st.st_mode)) return THostStatus(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  // Claimed before anything is emptied: a refused upload must not touch the file
  // another transfer is moving.
  TTransferClaim claim;
  if (options.transfer &&
      !claim.Claim(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                   mode != hfmRead))
    return THostStatus(EBUSY);
  // Emptied only once known to be a regular file.
  if (mode == hfmCreate && ::ftruncate(fd.Get(), 0) != 0) return THostStatus::FromErrno();
  fd_ = std::move(fd);
  claim_ = std::move(claim);
  sizeAtOpen_ = mode == hfmCreate ? 0 : static_cast<std::int64_t>(st.st_size);
  modTimeAtOpen_ = MTimeOf(st);
  return {};
}

std::int64_t THostFile::Read(void* buf, std::int64_t count, THostStatus* status) {
  for (;;) {
    ssize_t n = ::read(fd_.Get(), buf, static_cast<std::size_t>(count));
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (status) *status = THostStatus::FromErrno();
    return -1;
  }
}

THostStatus THostFile::Write(const void* buf, std::int64_t count) {
  const char* p = static_cast<const char*>(buf);
  while (count > 0) {
    ssize_t n = ::write(fd_.Get(), p, static_cast<std::size_t>(count));
    if (n < 0) {
      if (errno == EINTR) continue;
      return THostStatus::FromErrno();
    }
    p += n;
    count -= n;
  }
  return {};
}

THostStatus THostFile::Seek(std::int64_t offset) {
  if (::lseek(fd_.Get(), static_cast<off_t>(offset), SEEK_SET) < 0) return THostStatus::FromErrno();
  return {};
}

std::int64_t THostFile::Position() const {
  if (!fd_.Valid()) return -1;
  return static_cast<std::int64_t>(::lseek(fd_.Get(), 0, SEEK_CUR));
}

std::int64_t THostFile::Size() const {
  struct stat st;
  if (!fd_.Valid() || ::fstat(fd_.Get(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}


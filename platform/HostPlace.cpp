#include "platform/HostPlace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>

namespace {

constexpr int kMaxLinks = 40;  // as many as the system itself follows

// The names of a native path; "" and "." name nothing and are left out.
std::vector<std::string> Split(std::string_view native) {
  std::vector<std::string> names;
  std::size_t i = 0;
  while (i <= native.size()) {
    std::size_t j = native.find('/', i);
    if (j == std::string_view::npos) j = native.size();
    std::string_view name = native.substr(i, j - i);
    if (!name.empty() && name != ".") names.emplace_back(name);
    i = j + 1;
  }
  return names;
}

std::string Join(const std::string& base, const std::string& name) {
  return base == "/" ? "/" + name : base + "/" + name;
}

// names[from..] read as names on top of base, ".." among them taken back: what is
// below a folder that is not there can only be named, not looked at.
std::string Lexical(std::string base, const std::vector<std::string>& names, std::size_t from) {
  for (std::size_t i = from; i < names.size(); ++i) {
    if (names[i] == "..") {
      const std::size_t cut = base.rfind('/');
      base.erase(cut == 0 ? 1 : cut);
    } else {
      base = Join(base, names[i]);
    }
  }
  return base;
}

std::string ParentOf(const std::string& native) {
  const std::size_t cut = native.rfind('/');
  return cut == 0 || cut == std::string::npos ? "/" : native.substr(0, cut);
}

FileHandle OpenPath(int dir, const char* name) {
  return FileHandle(::openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
}

bool ReadLink(int linkFd, std::string& target) {
  char buf[4096];
  const ssize_t n = ::readlinkat(linkFd, "", buf, sizeof buf);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf) return false;
  target.assign(buf, static_cast<std::size_t>(n));
  return true;
}


// renameat2 without replacing; where the file system cannot promise that, a check
// and then a rename (the gap is acceptable on the one thread that serves clients).
THostStatus RenameNoReplace(int fromDir, const char* from, int toDir, const char* to) {
  if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return THostStatus::FromErrno();
  struct stat st;
  if (::fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) return THostStatus(EEXIST);
  return ::renameat(fromDir, from, toDir, to) == 0 ? THostStatus() : THostStatus::FromErrno();
}

// The status of a place whose folder could not be reached.
THostStatus Unreached(const THostPlace& place) {
  return place.Missing().Ok() ? THostStatus::Missing() : place.Missing();
}

}  // namespace

THostStatus THostFile::Open(const THostPlace& place, TMode mode, TOpenOptions options) {
  if (!place.Located()) return Open(place.Path(), mode, options);
  if (place.Folder() < 0) {
    Close();
    return Unreached(place);
  }
  return OpenAt(place.Folder(), place.Name(), mode, options, true);
}

bool THostFinder::Open(const THostPlace& folder, std::string_view namePattern) {
  dir_.reset();
  if (!folder.Located()) {
    std::string path = folder.Path();
    if (!path.empty() && path.back() != '\\') path += '\\';
    return Open(path + std::string(namePattern));
  }
  if (folder.Folder() < 0 || namePattern.empty()) return false;
  return Start(::openat(folder.Folder(), folder.Name().c_str(),
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC),
               namePattern);
}

THostPlace THostPlace::Named(std::string_view path) {
  THostPlace place;
  place.path_ = std::string(path);
  return place;
}

THostRoots::THostRoots(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    TRoot root;
    if (!path.empty()) HostFs::ToNative(path, root.given);
    roots_.push_back(std::move(root));
    Usable(roots_.back());
  }
}

// The folder is opened again when its path names another one now: it was removed and
// made again, or a disk was mounted on it (a USB stick plugged in after the start).
bool THostRoots::Usable(TRoot& root) {
  struct stat held, named;
  if (root.fd.Valid() && ::fstat(root.fd.Get(), &held) == 0 &&
      ::stat(root.given.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
      held.st_ino == named.st_ino)
    return true;
  root.fd.Reset();
  root.native.clear();
  std::string canonical;
  if (root.given.empty() || root.given[0] != '/' ||
      !HostFs::CanonicalPath(HostFs::FromNative(root.given), canonical))
    return false;
  FileHandle fd(::open(canonical.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd.Valid()) return false;
  root.fd = std::move(fd);
  root.native = canonical;
  return true;
}

const std::string& THostRoots::Native(std::size_t i) {
  static const std::string none;
  if (i >= roots_.size() || !Usable(roots_[i])) return none;
  return roots_[i].native;
}

THostRoots::TRoot* THostRoots::Holding(const std::vector<std::string>& names, std::size_t* depth) {
  TRoot* best = nullptr;
  auto starts = [&names](const std::string& native, std::size_t& count) {
    const std::vector<std::string> prefix = Split(native);
    count = prefix.size();
    return prefix.size() <= names.size() && std::equal(prefix.begin(), prefix.end(), names.begin());
  };
  for (TRoot& root : roots_) {
    if (!Usable(root)) continue;
    std::size_t count = 0;
    // By the path as written too: sessions start there, and it may itself be a link.
    if ((starts(root.native, count) || starts(root.given, count)) &&
        (!best || root.native.size() < best->native.size())) {
      best = &root;
      *depth = count;
    }
  }
  return best;
}

bool THostRoots::Locate(std::string_view path, bool followLast, THostPlace& place) {
  place = THostPlace();
  std::string native;
  if (!HostFs::ToNative(path, native) || native.empty() || native[0] != '/') return false;
  std::vector<std::string> names = Split(native);
  std::size_t depth = 0;
  TRoot* root = Holding(names, &depth);
  if (!root) {
    // Reached by a path outside the folders (a link to one of them, "..") : taken
    // by where it leads, and then walked again beneath the folder.
    std::string canonical;
    if (!HostFs::CanonicalPath(path, canonical)) return false;
    names = Split(canonical);
    root = Holding(names, &depth);
    if (!root) return false;
  }
  names.erase(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(depth));
  return Walk(root, std::move(names), followLast, place);
}

// One walk beneath the folders, one name at a time: each name is opened without
// following it, a link is read and its target walked in its place, and a way out
// ("..", an absolute target) goes on only from another of the folders. levels_ are
// the folders entered so far, each open with its canonical path; todo_ the names,
// at_ the next one.
class THostRoots::TWalk {
public:
  TWalk(THostRoots& roots, bool followLast, THostPlace& place)
      : roots_(roots), followLast_(followLast), place_(place) {}

  bool Run(TRoot* root, std::vector<std::string> todo) {
    todo_ = std::move(todo);
    Enter(root);
    while (at_ < todo_.size()) {
      if (std::optional<bool> located = Step()) return *located;
    }
    // The path ended on a folder reached by "..": the place is that folder itself.
    if (!levels_.back().fd.Valid()) return Stuck(errno);
    TLevel& level = levels_.back();
    return End(std::move(level.fd), ".", level.native);
  }

private:
  struct TLevel {
    FileHandle fd;
    std::string native;
  };

  // The next name; a value once the walk has ended (true: located, false: refused).
  std::optional<bool> Step() {
    if (!levels_.back().fd.Valid()) return Stuck(errno);
    const std::string name = todo_[at_];
    const bool last = at_ + 1 == todo_.size();
    TLevel& level = levels_.back();
    if (name == "..") return Climb();
    FileHandle fd = OpenPath(level.fd.Get(), name.c_str());
    struct stat st;
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0) {
      if (!last) return Stuck(errno);
      // A last name not there (yet): the place where it would be made.
      return End(std::move(level.fd), name, Join(level.native, name));
    }
    if (S_ISLNK(st.st_mode) && (!last || followLast_)) return Follow(fd.Get());
    if (last) return End(std::move(level.fd), name, Join(level.native, name));
    if (!S_ISDIR(st.st_mode))
      return End(FileHandle(), "", Lexical(Join(level.native, name), todo_, at_ + 1), ENOTDIR);
    levels_.push_back({std::move(fd), Join(level.native, name)});
    ++at_;
    return std::nullopt;
  }

  std::optional<bool> Climb() {
    if (levels_.size() > 1) {
      levels_.pop_back();
      ++at_;
      return std::nullopt;
    }
    if (!Reroot(Split(ParentOf(levels_.back().native)), at_ + 1)) return false;
    return std::nullopt;
  }

  std::optional<bool> Follow(int linkFd) {
    std::string target;
    if (++links_ > kMaxLinks || !ReadLink(linkFd, target)) return false;
    if (!target.empty() && target[0] == '/') {
      if (!Reroot(Split(target), at_ + 1)) return false;
      return std::nullopt;
    }
    std::vector<std::string> inner = Split(target);
    todo_.erase(todo_.begin() + static_cast<std::ptrdiff_t>(at_));
    todo_.insert(todo_.begin() + static_cast<std::ptrdiff_t>(at_), inner.begin(), inner.end());
    return std::nullopt;
  }

  void Enter(TRoot* root) {
    levels_.clear();
    levels_.push_back(
        {FileHandle(::openat(root->fd.Get(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC)), root->native});
  }

  // A way out of the current folder: the rest is taken from the top, and must lie
  // beneath one of the folders.
  bool Reroot(std::vector<std::string> names, std::size_t from) {
    names.insert(names.end(), todo_.begin() + static_cast<std::ptrdiff_t>(from), todo_.end());
    std::size_t depth = 0;
    TRoot* next = roots_.Holding(names, &depth);
    if (!next) return false;
    Enter(next);
    todo_.assign(names.begin() + static_cast<std::ptrdiff_t>(depth), names.end());
    at_ = 0;
    return true;
  }

  // Where the walk cannot go on (no descriptor left, no permission), what is left is
  // only named: judged by where it would be, acted on not at all, failing as it did.
  bool Stuck(int error) {
    return End(FileHandle(), "", Lexical(levels_.back().native, todo_, at_),
               error == 0 ? ENOENT : error);
  }

  bool End(FileHandle folder, std::string name, std::string native, int missing = 0) {
    place_.folder_ = std::move(folder);
    place_.name_ = std::move(name);
    place_.native_ = std::move(native);
    place_.missing_ = missing;
    place_.located_ = true;
    return true;
  }

  THostRoots& roots_;
  const bool followLast_;
  THostPlace& place_;
  std::vector<TLevel> levels_;
  std::vector<std::string> todo_;
  std::size_t at_ = 0;
  int links_ = 0;
};

bool THostRoots::Walk(TRoot* root, std::vector<std::string> todo, bool followLast,
                      THostPlace& place) {
  return TWalk(*this, followLast, place).Run(root, std::move(todo));
}

namespace HostFs {

bool Stat(const THostPlace& place, THostEntry& entry) {
  int dir = AT_FDCWD, flags = 0;
  std::string name;
  if (place.Located()) {
    if (place.Folder() < 0) return false;
    dir = place.Folder();
    name = place.Name();
    flags = AT_SYMLINK_NOFOLLOW;  // located names are no links
  } else if (!ToNative(place.Path(), name) || name.empty()) {
    return false;
  }
  struct stat st;
  if (::fstatat(dir, name.c_str(), &st, flags) != 0) return false;
  entry = THostEntry{};
  const std::size_t cut = name.find_last_of('/');
  entry.name = cut == std::string::npos ? name : name.substr(cut + 1);
  entry.directory = S_ISDIR(st.st_mode);
  entry.size = entry.directory ? 0 : static_cast<std::int64_t>(st.st_size);
  entry.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec);
  entry.hidden = !entry.name.empty() && entry.name[0] == '.' && entry.name != "." &&
                 entry.name != "..";
  entry.readOnly = ::faccessat(dir, name.c_str(), W_OK, AT_EACCESS | flags) != 0 && errno != ENOENT;
  return true;
}

THostStatus RenameFile(std::string_view from, std::string_view to) {
  std::string src, dst;
  if (!ToNative(from, src) || !ToNative(to, dst) || src.empty() || dst.empty())
    return THostStatus(ENOENT);
  return RenameNoReplace(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str());
}

THostStatus Rename(const THostPlace& from, const THostPlace& to) {
  if (!from.Located() || !to.Located()) return RenameFile(from.Path(), to.Path());
  for (const THostPlace* place : {&from, &to})
    if (place->Folder() < 0) return Unreached(*place);
  return RenameNoReplace(from.Folder(), from.Name().c_str(), to.Folder(), to.Name().c_str());
}

THostStatus CreateDirectory(const THostPlace& place) {
  if (!place.Located()) return CreateDirectory(place.Path());
  if (place.Folder() < 0) return Unreached(place);
  return ::mkdirat(place.Folder(), place.Name().c_str(), 0777) == 0 ? THostStatus()
                                                                    : THostStatus::FromErrno();
}

THostStatus DeleteFile(const THostPlace& place) {
  if (!place.Located()) return DeleteFile(place.Path());
  if (place.Folder() < 0) return Unreached(place);
  return ::unlinkat(place.Folder(), place.Name().c_str(), 0) == 0 ? THostStatus()
                                                                  : THostStatus::FromErrno();
}

bool SetFileModTime(const THostPlace& place, std::int64_t utcSeconds) {
  if (!place.Located()) return SetFileModTime(place.Path(), utcSeconds);
  if (place.Folder() < 0) return false;
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays
  times[1].tv_sec = static_cast<std::time_t>(utcSeconds);
  times[1].tv_nsec = 0;
  return ::utimensat(place.Folder(), place.Name().c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace HostFs

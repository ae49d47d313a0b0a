#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/EventLoop.h"
#include "platform/Text.h"

std::string SessionRuntimeRoot = "/run/user/";

namespace {

constexpr char kShowRequest[] = "show\n";
// A request is one short line; peers that connect and never speak must not pile up.
constexpr std::size_t kMaxPendingRequests = 8;

// Where this user's lock of one name lives.
struct TLockPlace {
  std::string lockPath;    // empty when the abstract socket name alone is the lock
  std::string socketPath;  // empty with an abstract name
  sockaddr_un addr{};
  socklen_t addrLen = 0;
};

// The runtime folder counts only when it is ours and closed to everyone else, as the
// XDG base directory rules require of it: in any other folder another user could hold
// our lock or answer our requests.
std::string TrustedFolder(const std::string& dir) {
  if (dir.empty() || dir[0] != '/') return "";
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
      (st.st_mode & 077) != 0)
    return "";
  return dir;
}

// A launch without the variable (cron, su, a plain ssh session) must still meet the
// copy of the desktop session, which holds its lock in the folder the session manager
// made for this user.
std::string RuntimeFolder() {
  // A variable carried over from another user (plain su) names a folder not ours:
  // that launch looks where this user's session keeps it, as one without it does.
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  if (dir && *dir)
    if (std::string trusted = TrustedFolder(dir); !trusted.empty()) return trusted;
  return TrustedFolder(SessionRuntimeRoot + std::to_string(::getuid()));
}

// "[Dravik Server]" becomes "dravik-server": nothing in it a shell or a user trips on.
std::string FileStem(const std::string& name) {
  std::string stem;
  bool gap = false;
  for (char c : name) {
    if (!IsAsciiAlnum(c)) {
      gap = true;
      continue;
    }
    if (gap && !stem.empty()) stem += '-';
    stem += AsciiLower(c);
    gap = false;
  }
  return stem.empty() ? "instance" : stem;
}

TLockPlace AbstractPlaceOf(const std::string& name) {
  TLockPlace place;
  place.addr.sun_family = AF_UNIX;
  // Abstract names live outside the file system, so nothing is left behind on disk.
  std::string full = name + "." + std::to_string(::getuid());
  std::size_t len = std::min(full.size(), sizeof place.addr.sun_path - 1);
  std::memcpy(place.addr.sun_path + 1, full.data(), len);
  place.addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
  return place;
}

TLockPlace PlaceOf(const std::string& name) {
  TLockPlace place;
  place.addr.sun_family = AF_UNIX;
  const std::string folder = RuntimeFolder();
  const std::string stem = folder + "/" + FileStem(name);
  // Every launch with the same environment decides the same way, so a path too long
  // for a socket address sends them all to the abstract name together.
  if (!folder.empty() && stem.size() + sizeof ".sock" <= sizeof place.addr.sun_path) {
    place.lockPath = stem + ".lock";
    place.socketPath = stem + ".sock";
    std::memcpy(place.addr.sun_path, place.socketPath.c_str(), place.socketPath.size() + 1);
    place.addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + place.socketPath.size() + 1);
    return place;
  }
  return AbstractPlaceOf(name);
}

FileHandle NewSocket() {
  return FileHandle(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

bool PeerIsSameUser(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::getuid();
}

// Who listens on a name. Abstract names are shared by all users: one that took ours
// first is no instance of this user, and waiting for it to answer would be waiting
// forever.
enum class THolder { None, ThisUser, AnotherUser };

THolder HolderOf(const TLockPlace& place) {
  FileHandle fd = NewSocket();
  if (!fd.Valid() ||
      ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&place.addr), place.addrLen) != 0)
    return THolder::None;
  return PeerIsSameUser(fd.Get()) ? THolder::ThisUser : THolder::AnotherUser;
}

bool AskToShow(const TLockPlace& place) {
  FileHandle fd = NewSocket();
  if (!fd.Valid()) return false;
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&place.addr), place.addrLen) != 0) {
    // A holder too busy to accept is still a holder: the request is lost, not the lock.
    return errno == EAGAIN;
  }
  if (!PeerIsSameUser(fd.Get())) return false;
  [[maybe_unused]] auto sent = ::send(fd.Get(), kShowRequest, sizeof kShowRequest - 1, MSG_NOSIGNAL);
  return true;
}

}  // namespace

TLockOutcome TInstanceLock::Take(const std::string& name, std::unique_ptr<TInstanceLock>& lock) {
  TLockPlace place = PlaceOf(name);
  FileHandle lockFile;
  if (!place.lockPath.empty()) {
    lockFile = FileHandle(
        ::open(place.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (lockFile.Valid() && ::flock(lockFile.Get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return TLockOutcome::HeldElsewhere;
      lockFile.Reset();
    }
    if (lockFile.Valid()) {
      // A launch that met trouble with the file took the abstract name instead, and
      // may still run once the trouble is gone.
      if (HolderOf(AbstractPlaceOf(name)) == THolder::ThisUser) return TLockOutcome::HeldElsewhere;
      // A holder that was killed left its socket file behind; the lock is ours now,
      // and with it the name.
      ::unlink(place.socketPath.c_str());
    } else {
      // A lock file that cannot be had (something else in its place, a full disk)
      // must not leave launches unguarded: every launch that meets the same trouble
      // meets at the abstract name instead.
      place = AbstractPlaceOf(name);
    }
  }
  FileHandle fd = NewSocket();
  if (!fd.Valid()) return TLockOutcome::Unavailable;
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&place.addr), place.addrLen) != 0) {
    if (errno != EADDRINUSE || lockFile.Valid() || HolderOf(place) == THolder::AnotherUser)
      return TLockOutcome::Unavailable;
    return TLockOutcome::HeldElsewhere;
  }
  if (::listen(fd.Get(), 5) != 0) {
    if (!place.socketPath.empty()) ::unlink(place.socketPath.c_str());
    return TLockOutcome::Unavailable;
  }
  lock = std::make_unique<TInstanceLock>(TKey(), std::move(lockFile), place.socketPath, std::move(fd));
  return TLockOutcome::Acquired;
}

bool TInstanceLock::RequestShow(const std::string& name) {
  const TLockPlace place = PlaceOf(name);
  // The holder may have had to take the abstract name (see Take).
  return AskToShow(place) || (!place.socketPath.empty() && AskToShow(AbstractPlaceOf(name)));
}

TInstanceLock::TInstanceLock(TKey, FileHandle lockFile, std::string socketPath, FileHandle listener)
    : lockFile_(std::move(lockFile)), socketPath_(std::move(socketPath)), listener_(std::move(listener)) {
  EventLoop::Instance().Watch(listener_.Get(), EPOLLIN, [this](std::uint32_t) { AcceptRequests(); });
}

TInstanceLock::~TInstanceLock() {
  auto& loop = EventLoop::Instance();
  for (auto& [fd, handle] : requests_) loop.Unwatch(fd);
  loop.Unwatch(listener_.Get());
  if (!socketPath_.empty()) ::unlink(socketPath_.c_str());
}

void TInstanceLock::AcceptRequests() {
  for (;;) {
    FileHandle peer(::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!peer.Valid()) return;
    if (!PeerIsSameUser(peer.Get()) || requests_.size() >= kMaxPendingRequests) continue;
    int fd = peer.Get();
    requests_.emplace(fd, std::move(peer));
    EventLoop::Instance().Watch(fd, EPOLLIN | EPOLLRDHUP, [this, fd](std::uint32_t) { ReadRequest(fd); });
  }
}

void TInstanceLock::ReadRequest(int fd) {
  char buf[64];
  ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  EventLoop::Instance().Unwatch(fd);
  requests_.erase(fd);
  bool show = n > 0 && std::string(buf, static_cast<std::size_t>(n)).rfind("show", 0) == 0;
  // The hook may do anything, even drop this lock: it runs from a copy, and nothing of
  // ours is touched after it.
  if (show && OnShowRequest) {
    auto hook = OnShowRequest;
    hook();
  }
}

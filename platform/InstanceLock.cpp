#include "platform/InstanceLock.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/EventLoop.h"

namespace {

constexpr char kShowRequest[] = "show\n";
// A request is one short line; peers that connect and never speak must not pile up.
constexpr std::size_t kMaxPendingRequests = 8;

// Abstract names live outside the file system, so nothing is left behind on disk.
socklen_t LockAddress(const std::string& name, sockaddr_un& addr) {
  std::string full = name + "." + std::to_string(::getuid());
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::size_t len = std::min(full.size(), sizeof addr.sun_path - 1);
  std::memcpy(addr.sun_path + 1, full.data(), len);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
}

bool PeerIsSameUser(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::getuid();
}

}  // namespace

TLockOutcome TInstanceLock::Take(const std::string& name, std::unique_ptr<TInstanceLock>& lock) {
  FileHandle fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return TLockOutcome::Unavailable;
  sockaddr_un addr;
  socklen_t len = LockAddress(name, addr);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), len) != 0)
    return errno == EADDRINUSE ? TLockOutcome::HeldElsewhere : TLockOutcome::Unavailable;
  if (::listen(fd.Get(), 5) != 0) return TLockOutcome::Unavailable;
  lock.reset(new TInstanceLock(std::move(fd)));
  return TLockOutcome::Acquired;
}

bool TInstanceLock::RequestShow(const std::string& name) {
  FileHandle fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return false;
  sockaddr_un addr;
  socklen_t len = LockAddress(name, addr);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    // A holder too busy to accept is still a holder: the request is lost, not the lock.
    return errno == EAGAIN;
  }
  if (!PeerIsSameUser(fd.Get())) return false;
  [[maybe_unused]] auto sent = ::send(fd.Get(), kShowRequest, sizeof kShowRequest - 1, MSG_NOSIGNAL);
  return true;
}

TInstanceLock::TInstanceLock(FileHandle listener) : listener_(std::move(listener)) {
  EventLoop::Instance().Watch(listener_.Get(), EPOLLIN, [this](std::uint32_t) { AcceptRequests(); });
}

TInstanceLock::~TInstanceLock() {
  auto& loop = EventLoop::Instance();
  for (auto& [fd, handle] : requests_) loop.Unwatch(fd);
  loop.Unwatch(listener_.Get());
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

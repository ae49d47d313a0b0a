#include "NetTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace nettest {

namespace {
sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

void MakeNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }
}  // namespace

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  return EventLoop::Instance().WaitFor(cond, timeout);
}

void Settle(std::chrono::milliseconds period) {
  EventLoop::Instance().WaitFor([] { return false; }, period);
}

Peer Peer::ConnectTo(std::uint16_t port) {
  FileHandle fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa = Loopback(port);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
    throw std::runtime_error("peer cannot connect");
  MakeNonBlocking(fd.Get());
  return Peer(std::move(fd));
}

void Peer::Send(const std::string& bytes) {
  std::size_t done = 0;
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
    ssize_t n = ::send(fd_.Get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN) {
      throw std::runtime_error("peer send failed");
    } else {
      EventLoop::Instance().RunOnce(10);
    }
  }
}

std::string Peer::Read(std::size_t count, std::chrono::milliseconds timeout) {
  std::string got;
  char buf[65536];
  auto deadline = std::chrono::steady_clock::now() + timeout;
  // The peer is not watched by the loop, so it looks often instead of waiting long.
  while (std::chrono::steady_clock::now() < deadline) {
    ssize_t n = ::recv(fd_.Get(), buf, sizeof buf, 0);
    if (n > 0) {
      got.append(buf, static_cast<std::size_t>(n));
      if (got.size() >= count) break;
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      sawEnd_ = true;
      break;
    }
    EventLoop::Instance().RunOnce(1);
  }
  return got;
}

std::string Peer::ReadToEnd(std::chrono::milliseconds timeout) {
  return Read(static_cast<std::size_t>(-1), timeout);
}

std::string Peer::ReadFor(std::chrono::milliseconds period) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + period;
  while (std::chrono::steady_clock::now() < deadline && !sawEnd_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    got += Read(static_cast<std::size_t>(-1), std::max(left, 1ms));
  }
  return got;
}

void Peer::SetReceiveBuffer(int bytes) {
  ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void Peer::Reset() {
  linger l{1, 0};
  ::setsockopt(fd_.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  fd_.Reset();
}

PeerListener::PeerListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
  sockaddr_in sa = Loopback(0);
  socklen_t len = sizeof sa;
  if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd_.Get(), 16) != 0 ||
      ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    throw std::runtime_error("peer cannot listen");
  port_ = ntohs(sa.sin_port);
}

Peer PeerListener::Accept(std::chrono::milliseconds timeout) {
  FileHandle accepted;
  WaitUntil(
      [&] {
        int h = ::accept4(fd_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (h >= 0) accepted.Reset(h);
        return accepted.Valid();
      },
      timeout);
  if (!accepted.Valid()) throw std::runtime_error("peer accepted nothing");
  return Peer(std::move(accepted));
}

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

}  // namespace nettest

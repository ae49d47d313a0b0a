#include "tests/web/HttpPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "platform/EventLoop.h"

THttpPeer::THttpPeer(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // A loopback connect to a listening socket completes in the kernel's backlog, so
  // blocking here does not need the server's loop to run.
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("connect failed");
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

THttpPeer::~THttpPeer() { Close(); }

void THttpPeer::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void THttpPeer::EndSending() { ::shutdown(fd_, SHUT_WR); }

void THttpPeer::Send(const std::string& bytes) {
  std::size_t done = 0;
  auto& loop = EventLoop::Instance();
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += std::size_t(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      loop.RunOnce(10);
      Poll();
    } else {
      reset_ = true;
      return;
    }
  }
}

void THttpPeer::Poll() {
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      received_.append(buf, std::size_t(n));
      continue;
    }
    if (n == 0) ended_ = true;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      reset_ = true;
      ended_ = true;
    }
    return;
  }
}

std::string THttpPeer::ReadToEnd(std::chrono::milliseconds timeout) {
  EventLoop::Instance().WaitFor([this] { Poll(); return ended_; }, timeout);
  return received_;
}

std::string THttpPeer::ReadAtLeast(std::size_t n, std::chrono::milliseconds timeout) {
  EventLoop::Instance().WaitFor([&] { Poll(); return received_.size() >= n || ended_; },
                                timeout);
  return received_;
}

bool THttpPeer::ClosedByServer(std::chrono::milliseconds timeout) {
  // A half-closed connection still takes our bytes; a closed one answers them with
  // a reset, which the next receive or send reports.
  return EventLoop::Instance().WaitFor(
      [this] {
        if (::send(fd_, "x", 1, MSG_NOSIGNAL) < 0 && errno != EAGAIN) reset_ = true;
        Poll();
        return reset_;
      },
      timeout);
}

THttpAnswer SplitAnswer(const std::string& answer) {
  auto end = answer.find("\r\n\r\n");
  if (end == std::string::npos) return {answer, ""};
  return {answer.substr(0, end + 4), answer.substr(end + 4)};
}

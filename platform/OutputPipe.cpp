#include "platform/OutputPipe.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <stdexcept>

#include "platform/EventLoop.h"

namespace {

// A description of our own, non-blocking, of the pipe or terminal behind fd; invalid
// when the system will not give one.
FileHandle OpenNonBlockingTwin(int fd, const struct stat& st) {
  const int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  FileHandle twin(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), flags));
  if (twin.Valid() || !S_ISCHR(st.st_mode)) return twin;
  // A terminal of another user (the program started through sudo or setpriv) refuses
  // us its node, but /dev/tty is open to all and leads to the controlling terminal,
  // which is usually the one behind fd; TIOCGSID answers only on that one.
  pid_t session = 0;
  if (::ioctl(fd, TIOCGSID, &session) != 0) return twin;
  return FileHandle(::open("/dev/tty", flags));
}

}  // namespace

// O_NONBLOCK belongs to the open file description, which the inherited descriptor
// shares with the parent shell: on a terminal the shell's own input would start
// failing with EAGAIN, even after we are gone if we died before putting it back. So
// the flags of fd are never touched:
// - a file or block device never waits for a reader: plain writes;
// - a socket (a service manager's log stream) takes MSG_DONTWAIT on each send;
// - a pipe, FIFO or terminal is opened afresh, which gives a description of our own on
//   the same pipe or terminal that may be non-blocking;
// - when that open is refused (no /proc, a pipe made by another user), a write
//   follows a zero-timeout poll and carries at most PIPE_BUF bytes: Linux reports a
//   pipe writable only while a whole page is free, and such a write fits in it. A
//   terminal we may not reopen gets the same, though one with less room left than
//   the write carries can still hold it up.
TOutputPipe::TOutputPipe(int fd, std::size_t maxPending) : maxPending_(maxPending) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return;  // no output at all: everything is lost quietly
  fd_ = fd;
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return;
  if (S_ISSOCK(st.st_mode)) {
    mode_ = TMode::kSocket;
    return;
  }
  own_ = OpenNonBlockingTwin(fd, st);
  if (own_.Valid())
    fd_ = own_.Get();
  else
    mode_ = TMode::kPollFirst;
}

TOutputPipe::~TOutputPipe() { Drain(kExitGrace); }

// A slow reader gets the last lines, and never half of one; one that reads nothing
// holds the end of the program up for the grace at most.
void TOutputPipe::Drain(std::chrono::milliseconds grace) {
  WatchWritable(false);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (fd_ >= 0 && !pending_.empty()) {
    const long n = WriteSome(pending_);
    if (n == kFailed) break;
    if (n > 0) {
      pending_.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 50))) < 0 && errno != EINTR)
      break;
  }
}

// The lines of one turn of the loop leave together as it ends: a busy server writes
// dozens of lines per turn, and a system call each would cost more than the rest of
// the logging. While watched the output is known to be full; the loop flushes it
// when it is not.
bool TOutputPipe::Write(std::string_view text) {
  // Lines not tried yet are no reason to refuse: the output may take them now.
  if (!watching_ && !pending_.empty() &&
      pending_.size() + text.size() > std::min(maxPending_, kBatchLimit))
    Flush();
  if (!pending_.empty() && pending_.size() + text.size() > maxPending_) return false;
  pending_.append(text);
  if (!watching_ && !flushPosted_) {
    flushPosted_ = true;
    endpoint_.Post([this] {
      flushPosted_ = false;
      if (!watching_) Flush();
    });
  }
  return true;
}

long TOutputPipe::WriteSome(std::string_view data) {
  for (;;) {
    ssize_t n = -1;
    switch (mode_) {
      case TMode::kPlain:
        n = ::write(fd_, data.data(), data.size());
        break;
      case TMode::kSocket:
        n = ::send(fd_, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        break;
      case TMode::kPollFirst: {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 0) < 0) {
          if (errno == EINTR) continue;
          return kFailed;
        }
        if (p.revents == 0) return kFull;
        // POLLERR or POLLHUP: the write below fails at once and says why.
        n = ::write(fd_, data.data(), std::min<std::size_t>(data.size(), PIPE_BUF));
        break;
      }
    }
    if (n >= 0) return n == 0 ? kFull : static_cast<long>(n);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? kFull : kFailed;
  }
}

void TOutputPipe::Flush() {
  if (fd_ < 0) pending_.clear();
  const bool waited = watching_;
  while (!pending_.empty()) {
    const long n = WriteSome(pending_);
    if (n == kFull) {
      WatchWritable(true);
      return;
    }
    if (n == kFailed)
      pending_.clear();
    else
      pending_.erase(0, static_cast<std::size_t>(n));
  }
  WatchWritable(false);
  if (waited && OnDrained) OnDrained();
}

void TOutputPipe::WatchWritable(bool on) {
  if (on == watching_ || fd_ < 0) return;
  auto& loop = EventLoop::Instance();
  if (!on) {
    loop.Unwatch(fd_);
    watching_ = false;
    return;
  }
  try {
    loop.Watch(fd_, EPOLLOUT, [this](std::uint32_t) { Flush(); });
    watching_ = true;
  } catch (const std::runtime_error&) {
    // epoll refuses this kind of descriptor: the queue is retried at each Write instead.
  }
}

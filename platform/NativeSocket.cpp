#include <algorithm>
#include "platform/NativeSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/SocketError.h"

namespace native {
namespace {

int LastError() { return SocketErrorFromErrno(errno); }

// The last connection accept4 gave on this thread, with its peer. Whoever adopts it
// next (a server handing it to its session) would ask the system for its flags and
// its peer; both are known already. A close of the descriptor forgets it, so a
// number reused for something else is never mistaken for it.
struct TAccepted {
  int fd = -1;
  TSockAddrIn peer{};
};
thread_local TAccepted lastAccepted;

void ForgetAccepted(int fd) {
  if (fd == lastAccepted.fd) lastAccepted.fd = -1;
}

TSockAddrIn FromSockaddr(const sockaddr_in& sa) {
  return TSockAddrIn{ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

sockaddr_in ToSockaddr(TSockAddrIn a) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(a.addr);
  sa.sin_port = htons(a.port);
  return sa;
}

int SetIntOption(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : LastError();
}

template <typename NameCall>
int GetName(int fd, TSockAddrIn& out, NameCall call) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (call(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return LastError();
  if (sa.sin_family != AF_INET) return sockerr::kInvalid;
  out = FromSockaddr(sa);
  return 0;
}

// /etc/services and /etc/protocols are missing from minimal systems; the names the
// program itself uses must resolve anyway.
struct NamedNumber {
  const char* name;
  int number;
};
constexpr NamedNumber kServices[] = {{"ftp-data", 20}, {"ftp", 21},    {"ssh", 22},
                                     {"telnet", 23},   {"smtp", 25},   {"domain", 53},
                                     {"http", 80},     {"pop3", 110},  {"https", 443}};
constexpr NamedNumber kProtocols[] = {{"ip", 0}, {"icmp", 1}, {"tcp", 6}, {"udp", 17}, {"raw", 255}};

}  // namespace

std::string DottedAddr(std::uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
         std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
}

int NewTcpSocket(FileHandle& out) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return LastError();
  out.Reset(fd);
  // Urgent data read out of band stops the pending count at its mark: a peer's
  // single urgent byte left input that was readable yet counted as none, and the
  // loop spun on it. In line with the rest, it is one more byte of the stream
  // (FTP clients send their abort's Telnet mark this way). Connections accepted
  // from a listening socket inherit the option.
  SetIntOption(fd, SOL_SOCKET, SO_OOBINLINE, 1);
  return 0;
}

int SetNonBlocking(int fd) {
  if (fd >= 0 && fd == lastAccepted.fd) return 0;  // accept4 made it so
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return LastError();
  // Accepted and created sockets come non-blocking and close-on-exec already; only
  // a descriptor from elsewhere needs the two more calls.
  if (flags & O_NONBLOCK) return 0;
  if (::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return LastError();
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return 0;
}

int SetReuseAddr(int fd) { return SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1); }
int SetNoDelay(int fd) { return SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1); }
int SetKeepAlive(int fd) { return SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1); }

int SetLinger(int fd, bool on, int seconds) {
  linger l{};
  l.l_onoff = on ? 1 : 0;
  l.l_linger = seconds;
  return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : LastError();
}

int Bind(int fd, TSockAddrIn where) {
  sockaddr_in sa = ToSockaddr(where);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : LastError();
}

int Listen(int fd, int backlog) { return ::listen(fd, backlog) == 0 ? 0 : LastError(); }

int Accept(int fd, FileHandle& out) {
  int h;
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  do {
    len = sizeof sa;
    h = ::accept4(fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (h < 0 && errno == EINTR);
  if (h < 0) return LastError();
  out.Reset(h);
  if (sa.sin_family == AF_INET && len == sizeof sa) {
    static const bool watching = (FileHandle::WatchCloses(&ForgetAccepted), true);
    static_cast<void>(watching);
    lastAccepted.fd = h;
    lastAccepted.peer = FromSockaddr(sa);
  }
  return 0;
}

int StartConnect(int fd, TSockAddrIn to) {
  sockaddr_in sa = ToSockaddr(to);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  if (errno == EINPROGRESS || errno == EINTR) return sockerr::kWouldBlock;
  return LastError();
}

int PendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return LastError();
  return SocketErrorFromErrno(err);
}

long Send(int fd, const void* data, std::size_t len, bool urgent, int& err) {
  ssize_t n;
  do {
    n = ::send(fd, data, len, MSG_NOSIGNAL | (urgent ? MSG_OOB : 0));
  } while (n < 0 && errno == EINTR);
  err = n < 0 ? LastError() : 0;
  return static_cast<long>(n);
}

long SendFile(int fd, int fileFd, std::int64_t* offset, std::size_t count, int& err) {
  // sendfile has no MSG_NOSIGNAL: a peer gone away would raise SIGPIPE, which ends
  // a process that has not chosen to ignore it. Held back around the call, and one
  // raised by it is taken before it can be delivered; a step is a mebibyte, so the
  // extra calls cost nothing to speak of.
  sigset_t pipe, old;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe, &old);
  off_t at = static_cast<off_t>(*offset);
  ssize_t n;
  do {
    n = ::sendfile(fd, fileFd, &at, count);
  } while (n < 0 && errno == EINTR);
  err = n < 0 ? LastError() : 0;
  if (n < 0 && errno == EPIPE && !sigismember(&old, SIGPIPE)) {
    const timespec now{0, 0};
    while (::sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  *offset = static_cast<std::int64_t>(at);
  return static_cast<long>(n);
}

namespace {

// The pipe an upload passes through on its way from the socket to the file: one per
// thread, empty between calls, and made anew after a file refused what it held.
struct TSplicePipe {
  FileHandle read, write;
  std::size_t capacity = 0;

  bool Ready() {
    if (read.Valid()) return true;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    read.Reset(ends[0]);
    write.Reset(ends[1]);
    // A wider pipe takes more per call; the system may keep its default size.
    ::fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    const int size = ::fcntl(ends[1], F_GETPIPE_SZ);
    capacity = size > 0 ? static_cast<std::size_t>(size) : 64 * 1024;
    return true;
  }
  void Drop() {
    read.Reset();
    write.Reset();
  }
};
thread_local TSplicePipe splicePipe;

// The pipe's bytes written the ordinary way; false, with errno set, when the file
// refused them.
bool CopyPipeToFile(int fileFd, std::size_t left) {
  char buffer[16 * 1024];
  while (left > 0) {
    const ssize_t got = ::read(splicePipe.read.Get(), buffer, std::min(left, sizeof buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return false;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t n = ::write(fileFd, buffer + done, static_cast<std::size_t>(got - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) errno = EIO;
        return false;
      }
      done += n;
    }
    left -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

long SpliceToFile(int fd, int fileFd, std::size_t count, int& err, int& fileErrno) {
  err = 0;
  fileErrno = 0;
  if (!splicePipe.Ready()) {
    err = LastError();
    return -1;
  }
  count = std::min(count, splicePipe.capacity);
  ssize_t taken;
  do {
    taken = ::splice(fd, nullptr, splicePipe.write.Get(), nullptr, count,
                     SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  } while (taken < 0 && errno == EINTR);
  if (taken <= 0) {
    if (taken < 0) err = LastError();
    return static_cast<long>(taken);
  }
  // The bytes have left the socket: the file takes all of them, or the transfer has
  // failed and what the pipe still holds is thrown away with it.
  std::size_t left = static_cast<std::size_t>(taken);
  while (left > 0) {
    const ssize_t n = ::splice(splicePipe.read.Get(), nullptr, fileFd, nullptr, left, SPLICE_F_MOVE);
    if (n > 0) {
      left -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // A file system (or device) that takes no splice still takes plain writes.
    if (n < 0 && errno == EINVAL && CopyPipeToFile(fileFd, left)) return static_cast<long>(taken);
    fileErrno = n < 0 ? errno : EIO;
    splicePipe.Drop();
    return -1;
  }
  return static_cast<long>(taken);
}

long SendPieces(int fd, const TSendPiece* pieces, int count, int& err) {
  iovec iov[64];
  count = std::min(count, 64);
  for (int i = 0; i < count; ++i) {
    iov[i].iov_base = const_cast<void*>(pieces[i].data);
    iov[i].iov_len = pieces[i].len;
  }
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = static_cast<std::size_t>(count);
  ssize_t n;
  do {
    n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  err = n < 0 ? LastError() : 0;
  return static_cast<long>(n);
}

long Recv(int fd, void* buf, std::size_t size, int& err) {
  ssize_t n;
  do {
    n = ::recv(fd, buf, size, 0);
  } while (n < 0 && errno == EINTR);
  err = n < 0 ? LastError() : 0;
  return static_cast<long>(n);
}

long PeekBytes(int fd, void* buf, std::int32_t size, int& err) {
  ssize_t n;
  do {
    n = ::recv(fd, buf, static_cast<std::size_t>(size), MSG_PEEK);
  } while (n < 0 && errno == EINTR);
  err = n < 0 ? LastError() : 0;
  return static_cast<long>(n);
}

long ReadAt(int fd, void* buf, std::size_t size, std::int64_t offset, int& err) {
  ssize_t n;
  do {
    n = ::pread(fd, buf, size, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  err = n < 0 ? LastError() : 0;
  return static_cast<long>(n);
}

int PendingBytes(int fd, int& count) {
  int n = 0;
  if (::ioctl(fd, FIONREAD, &n) != 0) {
    count = -1;
    return LastError();
  }
  count = n;
  return 0;
}

int UnsentBytes(int fd) {
  int n = 0;
  return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : -1;
}

int Shutdown(int fd, int how) {
  int native = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
  return ::shutdown(fd, native) == 0 ? 0 : LastError();
}

int LocalName(int fd, TSockAddrIn& out) { return GetName(fd, out, ::getsockname); }
int PeerName(int fd, TSockAddrIn& out) {
  if (fd >= 0 && fd == lastAccepted.fd) {
    out = lastAccepted.peer;
    return 0;
  }
  return GetName(fd, out, ::getpeername);
}

int LookupHostV4(const std::string& name, std::vector<std::uint32_t>& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
  if (rc != 0) return SocketErrorFromLookup(rc, errno);
  out.clear();
  for (addrinfo* p = res; p; p = p->ai_next) {
    auto* sa = reinterpret_cast<sockaddr_in*>(p->ai_addr);
    std::uint32_t a = ntohl(sa->sin_addr.s_addr);
    bool seen = false;
    for (auto x : out) seen = seen || x == a;
    if (!seen) out.push_back(a);
  }
  ::freeaddrinfo(res);
  return out.empty() ? sockerr::kNoData : 0;
}

int ReverseLookupV4(std::uint32_t addr, std::string& name) {
  sockaddr_in sa = ToSockaddr(TSockAddrIn{addr, 0});
  char host[NI_MAXHOST];
  int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                         NI_NAMEREQD);
  if (rc != 0) return SocketErrorFromLookup(rc, errno);
  name = host;
  return 0;
}

int LookupService(const std::string& name, const std::string& proto, std::uint16_t& port) {
  servent entry{};
  servent* found = nullptr;
  char buf[1024];
  if (::getservbyname_r(name.c_str(), proto.c_str(), &entry, buf, sizeof buf, &found) == 0 && found) {
    port = ntohs(static_cast<std::uint16_t>(found->s_port));
    return 0;
  }
  for (const auto& s : kServices) {
    if (name == s.name) {
      port = static_cast<std::uint16_t>(s.number);
      return 0;
    }
  }
  return sockerr::kNoData;
}

int LookupProtocol(const std::string& name, int& number) {
  for (const auto& p : kProtocols) {
    if (name == p.name) {
      number = p.number;
      return 0;
    }
  }
  protoent entry{};
  protoent* found = nullptr;
  char buf[1024];
  if (::getprotobyname_r(name.c_str(), &entry, buf, sizeof buf, &found) == 0 && found) {
    number = found->p_proto;
    return 0;
  }
  return sockerr::kNoData;
}

}  // namespace native

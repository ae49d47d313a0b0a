#include "platform/Process.h"

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "platform/EventLoop.h"
#include "platform/Text.h"

std::string ExecutableDir() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<std::size_t>(n));
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

namespace {

std::string EnvText(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

constexpr int kDisplayProbeMs = 1000;

bool ConnectsWithin(int domain, const sockaddr* addr, socklen_t len) {
  FileHandle fd(::socket(domain, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return false;
  if (::connect(fd.Get(), addr, len) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd p{fd.Get(), POLLOUT, 0};
  if (::poll(&p, 1, kDisplayProbeMs) != 1) return false;
  int err = 0;
  socklen_t errLen = sizeof err;
  return ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &errLen) == 0 && err == 0;
}

// A leading NUL in `path` names an abstract socket.
bool UnixSocketAnswers(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return ConnectsWithin(AF_UNIX, reinterpret_cast<const sockaddr*>(&addr),
                        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size()));
}

bool TcpAnswers(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool answered = false;
  for (addrinfo* a = found; a && !answered; a = a->ai_next)
    answered = ConnectsWithin(a->ai_family, a->ai_addr, a->ai_addrlen);
  ::freeaddrinfo(found);
  return answered;
}

// "[host]:display[.screen]": a local display listens on a socket named after its
// number (abstract first, as the X library tries it), a remote one on TCP 6000 + n.
bool XDisplayAnswers(const std::string& name) {
  const auto colon = name.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = name.substr(0, colon);
  const std::string number = name.substr(colon + 1, name.find('.', colon) - colon - 1);
  if (!IsDigits(number) || number.size() > 5)
    return false;
  if (!host.empty() && host[0] == '/') return UnixSocketAnswers(name);
  if (host.empty() || host == "unix") {
    const std::string path = "/tmp/.X11-unix/X" + number;
    return UnixSocketAnswers(std::string(1, '\0') + path) || UnixSocketAnswers(path);
  }
  return TcpAnswers(host, 6000 + std::stoi(number));
}

bool WaylandDisplayAnswers(const std::string& name) {
  if (!name.empty() && name[0] == '/') return UnixSocketAnswers(name);
  const std::string runtime = EnvText("XDG_RUNTIME_DIR");
  return !runtime.empty() && UnixSocketAnswers(runtime + "/" + name);
}

}  // namespace

std::string DisplayName() {
  for (const char* variable : {"WAYLAND_DISPLAY", "DISPLAY"})
    if (std::string value = EnvText(variable); !value.empty()) return value;
  return {};
}

bool DisplayAvailable() { return !DisplayName().empty(); }

bool DisplayReachable() {
  // A platform of Qt's own choosing (offscreen, a VNC server) is not ours to check.
  const std::string platform = EnvText("QT_QPA_PLATFORM");
  const bool xOnly = platform.starts_with("xcb");
  const bool waylandOnly = platform.starts_with("wayland");
  if (!platform.empty() && !xOnly && !waylandOnly) return true;
  // Where Qt is told which one to use, only that one counts.
  const std::string wayland = xOnly ? "" : EnvText("WAYLAND_DISPLAY");
  const std::string x = waylandOnly ? "" : EnvText("DISPLAY");
  return (!wayland.empty() && WaylandDisplayAnswers(wayland)) || (!x.empty() && XDisplayAnswers(x));
}

void EnsureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number, which is this one.
    const int filler = ::open("/dev/null", O_RDWR);
    if (filler >= 0 && filler != fd) ::close(filler);
  }
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsWritableFolder(const std::string& path) {
  return IsFolder(path) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

std::string UserConfigDir() {
  // A relative XDG_CONFIG_HOME is invalid by the base-directory rules and is ignored.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string home;
  if (xdg && xdg[0] == '/') {
    std::string dir = xdg;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
  }
  if (const char* env = std::getenv("HOME"); env && env[0] == '/') {
    home = env;
  } else {
    // Services started without HOME still have a home in the password database.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
      home = found->pw_dir;
  }
  if (home.empty()) return {};
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return (home == "/" ? std::string() : home) + "/.config";
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char buf[4096];
  if (!::getcwd(buf, sizeof buf)) return path;
  std::string base = buf;
  std::string rest = path;
  while (rest.size() >= 2 && rest.compare(0, 2, "./") == 0) rest.erase(0, 2);
  if (rest == ".") rest.clear();
  if (rest.empty()) return base;
  return (base == "/" ? std::string() : base) + "/" + rest;
}

std::vector<std::string> FolderEntryNames(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  return names;
}

bool IsReadableRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), R_OK) == 0;
}

bool OwnedByUs(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && (st.st_uid == ::geteuid() || st.st_uid == 0);
}

std::tm LocalTimeNow() {
  int milliseconds = 0;
  return LocalTimeNow(milliseconds);
}

std::tm LocalTimeNow(int& milliseconds) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  milliseconds = static_cast<int>(duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  return local;
}

void IgnoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

namespace {

// The most descriptors the kernel gives one process; a soft limit above it is refused.
rlim_t KernelDescriptorCeiling() {
  constexpr rlim_t kUsualCeiling = 1048576;  // the kernel's default for fs.nr_open
  unsigned long long ceiling = 0;
  std::ifstream("/proc/sys/fs/nr_open") >> ceiling;
  return ceiling > 0 ? static_cast<rlim_t>(ceiling) : kUsualCeiling;
}

std::int64_t AsLimit(rlim_t value) {
  return value == RLIM_INFINITY || value > static_cast<rlim_t>(INT64_MAX)
             ? INT64_MAX
             : static_cast<std::int64_t>(value);
}

}  // namespace

std::int64_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  const rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? KernelDescriptorCeiling() : limit.rlim_max;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    rlimit raised = limit;
    raised.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return AsLimit(limit.rlim_cur);
}

TTerminationSignals::TTerminationSignals(std::function<void(int)> onSignal)
    : onSignal_(std::move(onSignal)) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
    throw std::runtime_error("Cannot block the termination signals");
  fd_ = FileHandle(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!fd_.Valid()) throw std::runtime_error("Cannot watch the termination signals");
  EventLoop::Instance().Watch(fd_.Get(), EPOLLIN, [this](std::uint32_t) { ReadSignals(); });
}

// The signals stay blocked: unblocking one still pending would end the process after
// all, on its way out.
TTerminationSignals::~TTerminationSignals() { EventLoop::Instance().Unwatch(fd_.Get()); }

void TTerminationSignals::ReadSignals() {
  signalfd_siginfo info{};
  while (::read(fd_.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (onSignal_) onSignal_(static_cast<int>(info.ssi_signo));
  }
}

// Many web clients at once against a web share started through the registry, as
// the program starts one. The server runs on this process's loop; the clients run
// in a forked child with their own epoll loop, so the processor time measured here
// is the server's alone. For each number of connections it fetches the listing
// page and then a 10 MiB shared file, each for a few seconds, and prints
// requests/s, MB/s, server processor time per GB, latency and how evenly the
// connections were served.
//
//   bench_WebLoadBench [seconds per run] [connections ...]   (default 2, 50 200 1000)

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "catalogue/ServerUi.h"
#include "catalogue/uFileFormat.h"
#include "catalogue/uServers.h"
#include "platform/EventLoop.h"
#include "platform/Profile.h"
#include "web/WebShare.h"

namespace {

using Clock = std::chrono::steady_clock;

class TQuietUi : public ServerUi {
public:
  void AddActivityLine(const std::string&) override {}
  void UpdateTrayIcon(int) override {}
  void CreateServerTray(int) override {}
  void SetServerTray(int, int, const std::string&) override {}
  void RemoveServerTray(int) override {}
  void AppendLogLine(int, const std::string&) override {}
  void CloseLogWindow(int) override {}
  void StartGlitchTimer(int) override {}
  void ShowError(const std::string& text) override { std::fprintf(stderr, "error: %s\n", text.c_str()); }
  bool Confirm(const std::string&) override { return true; }
};

// What the client child reports back through a pipe.
struct TRunResult {
  long requests = 0;
  long failures = 0;
  double seconds = 0;
  double bytes = 0;
  double latencyP50 = 0, latencyP99 = 0, latencyMax = 0;  // milliseconds
  double perConnMin = 0, perConnMedian = 0, perConnMax = 0;  // bytes per connection
  double jain = 0;                                           // 1 = perfectly even
};

struct TConn {
  int fd = -1;
  bool sent = false;
  std::int64_t got = 0;
  Clock::time_point started;
  double totalBytes = 0;
};

void RaiseFileLimit() {
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &lim);
}

// The client side: `conns` connections, each fetching `path` again and again
// (HTTP/1.0, one request per connection) until the time is up.
TRunResult RunClients(int port, int conns, const std::string& path, std::int64_t expectBody, double seconds) {
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  int ep = ::epoll_create1(0);
  std::vector<TConn> c(static_cast<std::size_t>(conns));
  std::vector<double> latencies;
  TRunResult r;
  std::vector<char> buf(256 * 1024);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  auto open = [&](std::size_t i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    c[i].fd = fd;
    c[i].sent = false;
    c[i].got = 0;
    c[i].started = Clock::now();
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.u64 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
  };
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  for (std::size_t i = 0; i < c.size(); ++i) open(i);
  std::vector<epoll_event> events(1024);
  // Requests still running at the deadline are cut off; their bytes count towards
  // throughput and fairness but not as completed requests.
  while (Clock::now() < deadline) {
    int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 50);
    for (int k = 0; k < n; ++k) {
      auto i = static_cast<std::size_t>(events[static_cast<std::size_t>(k)].data.u64);
      TConn& t = c[i];
      if (!t.sent) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(t.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err == 0 && ::send(t.fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
          t.sent = true;
          epoll_event ev{};
          ev.events = EPOLLIN;
          ev.data.u64 = i;
          ::epoll_ctl(ep, EPOLL_CTL_MOD, t.fd, &ev);
          continue;
        }
        ++r.failures;
      } else {
        ssize_t got;
        while ((got = ::recv(t.fd, buf.data(), buf.size(), 0)) > 0) {
          t.got += got;
          t.totalBytes += static_cast<double>(got);
        }
        if (got < 0 && errno == EAGAIN) continue;
        // End of stream (or reset): one request done.
        if (got == 0 && (expectBody < 0 || t.got > expectBody)) {
          ++r.requests;
          latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t.started).count());
        } else {
          ++r.failures;
        }
      }
      ::close(t.fd);
      t.fd = -1;
      open(i);
    }
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> per;
  double sum = 0, sumSq = 0;
  for (auto& t : c) {
    if (t.fd >= 0) ::close(t.fd);
    per.push_back(t.totalBytes);
    r.bytes += t.totalBytes;
    sum += t.totalBytes;
    sumSq += t.totalBytes * t.totalBytes;
  }
  std::sort(per.begin(), per.end());
  r.perConnMin = per.front();
  r.perConnMedian = per[per.size() / 2];
  r.perConnMax = per.back();
  r.jain = sumSq > 0 ? sum * sum / (static_cast<double>(per.size()) * sumSq) : 0;
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    r.latencyP50 = latencies[latencies.size() / 2];
    r.latencyP99 = latencies[latencies.size() * 99 / 100];
    r.latencyMax = latencies.back();
  }
  ::close(ep);
  return r;
}

// Forks the clients and serves them on this loop until they report.
void Run(int port, int conns, const std::string& what, const std::string& path, std::int64_t expectBody,
         double seconds) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    TRunResult r = RunClients(port, conns, path, expectBody, seconds);
    [[maybe_unused]] auto w = ::write(fds[1], &r, sizeof r);
    ::_exit(0);
  }
  ::close(fds[1]);
  FileHandle reportPipe(fds[0]);
  auto& loop = EventLoop::Instance();
  TRunResult r;
  bool done = false;
  loop.Watch(reportPipe.Get(), EPOLLIN, [&](std::uint32_t) {
    [[maybe_unused]] auto got = ::read(reportPipe.Get(), &r, sizeof r);
    done = true;
  });
  double cpu0 = CpuSeconds();
  while (!done) loop.RunOnce(100);
  double cpu = CpuSeconds() - cpu0;
  loop.Unwatch(reportPipe.Get());
  ::waitpid(pid, nullptr, 0);
  // Let the server free what the clients left behind before the next run.
  loop.WaitFor([] { return false; }, std::chrono::milliseconds(200));

  double mb = r.bytes / 1e6;
  std::printf("%-7s %5d conns  %8.0f req/s  %7.1f MB/s  cpu/GB %6.2f s  lat p50 %7.1f p99 %7.1f max %7.1f ms"
              "  per-conn MB min/med/max %.2f/%.2f/%.2f  jain %.3f%s\n",
              what.c_str(), conns, r.requests / r.seconds, mb / r.seconds, mb > 0 ? cpu / (mb / 1000.0) : 0.0,
              r.latencyP50, r.latencyP99, r.latencyMax, r.perConnMin / 1e6, r.perConnMedian / 1e6,
              r.perConnMax / 1e6, r.jain, r.failures ? ("  FAILURES " + std::to_string(r.failures)).c_str() : "");
  std::fflush(stdout);
}

std::string DriveForm(const std::string& native) {
  std::string d = "C:" + native;
  std::replace(d.begin(), d.end(), '/', '\\');
  return d;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  std::vector<int> counts;
  for (int i = 2; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {50, 200, 1000};
  RaiseFileLimit();

  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("dravik-web-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  TServerFile def;
  def.Name = "Bench";
  def.Banner = "";
  def.Type = kTypeWeb;
  def.Tray = false;
  def.Port = 0;
  const std::int64_t bigSize = 10 << 20;
  {
    std::ofstream out(dir / "big.bin", std::ios::binary);
    std::string block(1 << 20, 'x');
    for (int i = 0; i < 10; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  def.Files.push_back({DriveForm((dir / "big.bin").string()), "Ten mebibytes"});
  for (int i = 0; i < 19; ++i) {
    std::string name = "small" + std::to_string(i) + ".txt";
    std::ofstream(dir / name) << "a small shared file " << i << "\n";
    def.Files.push_back({DriveForm((dir / name).string()), "Small file " + std::to_string(i)});
  }
  def.FileCount = static_cast<std::int32_t>(def.Files.size());
  const std::string defPath = (dir / "bench.server").string();
  WriteServerFile(defPath, def);
  {
    // Every load client comes from 127.0.0.1: lift the per-address cap, as an owner
    // expecting that would.
    TProfile profile;
    profile.Load(defPath);
    profile.WriteString("Info", "MaxPerAddress", "0");
    profile.SaveAtomically(defPath);
  }

  SetUi(std::make_unique<TQuietUi>());
  RegisterWebEngine();
  if (!StartServer(defPath)) {
    std::fprintf(stderr, "the web server did not start\n");
    return 1;
  }
  auto* engine = dynamic_cast<TWebEngine*>(ServerRegistry.back().Engine.get());
  const int port = std::stoi(engine->Server().ListeningPort());
  std::string bigLink = "/" + DriveForm((dir / "big.bin").string()).erase(1, 1);
  std::replace(bigLink.begin(), bigLink.end(), '\\', '/');

  long hwmBefore = StatusKb("VmHWM:");
  for (int conns : counts) {
    Run(port, conns, "listing", "/", 0, seconds);
    Run(port, conns, "10MiB", bigLink, bigSize, seconds);
  }
  std::printf("server peak RSS %ld kB (%ld kB before the runs)\n", StatusKb("VmHWM:"), hwmBefore);
  StopServer(defPath);
  fs::remove_all(dir);
  return 0;
}

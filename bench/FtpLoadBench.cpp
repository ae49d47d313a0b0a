// Many FTP sessions at once against the engine on this process's loop: every
// session logs in and downloads a file in passive mode, all at the same time; then
// sessions list a folder of 10 000 entries again and again. The clients are
// threads of a forked child, so the processor time measured here is the server's.
//
//   bench_FtpLoadBench [sessions] [MiB per download] [listings]   (default 100 4 20)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "ftp/FtpSrv.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TReport {
  int ok = 0;
  int failed = 0;
  double bytes = 0;
  double seconds = 0;
  double slowest = 0, fastest = 0;  // seconds per session
};

// A blocking FTP peer, enough for USER/PASS/TYPE/PASV/RETR/LIST.
class TPeer {
public:
  explicit TPeer(int port) : port_(port) { fd_ = Dial(port); }
  ~TPeer() {
    if (fd_ >= 0) ::close(fd_);
  }
  // The final line of the next reply ("226 ...").
  std::string Reply() {
    for (;;) {
      auto eol = pending_.find("\r\n");
      if (eol == std::string::npos) {
        char b[4096];
        ssize_t n = ::recv(fd_, b, sizeof b, 0);
        if (n <= 0) return "";
        pending_.append(b, static_cast<std::size_t>(n));
        continue;
      }
      std::string line = pending_.substr(0, eol);
      pending_.erase(0, eol + 2);
      if (line.size() >= 4 && line[3] == ' ' && isdigit(static_cast<unsigned char>(line[0]))) return line;
    }
  }
  std::string Command(const std::string& c) {
    std::string l = c + "\r\n";
    if (::send(fd_, l.data(), l.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(l.size())) return "";
    return Reply();
  }
  bool Login() {
    return Reply().rfind("220", 0) == 0 && Command("USER bench").rfind("331", 0) == 0 &&
           Command("PASS bench").rfind("230", 0) == 0 && Command("TYPE I").rfind("200", 0) == 0;
  }
  // PASV, then the command; the bytes of the data connection, -1 on failure.
  double Transfer(const std::string& command) {
    std::string pasv = Command("PASV");
    auto open = pasv.find('(');
    if (pasv.rfind("227", 0) != 0 || open == std::string::npos) return -1;
    int h[6] = {};
    if (std::sscanf(pasv.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &h[0], &h[1], &h[2], &h[3], &h[4], &h[5]) != 6) return -1;
    int data = Dial(h[4] * 256 + h[5]);
    if (data < 0) return -1;
    std::string l = command + "\r\n";
    [[maybe_unused]] auto s = ::send(fd_, l.data(), l.size(), MSG_NOSIGNAL);
    double got = 0;
    static thread_local std::vector<char> buf(256 * 1024);
    ssize_t n;
    while ((n = ::recv(data, buf.data(), buf.size(), 0)) > 0) got += static_cast<double>(n);
    ::close(data);
    if (Reply().rfind("150", 0) != 0 || Reply().rfind("226", 0) != 0) return -1;
    return got;
  }

private:
  static int Dial(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  int port_;
  int fd_ = -1;
  std::string pending_;
};

TReport Downloads(int port, int sessions, double expect) {
  std::atomic<int> ok{0}, failed{0};
  std::vector<double> took(static_cast<std::size_t>(sessions));
  std::vector<std::thread> threads;
  auto start = Clock::now();
  for (int i = 0; i < sessions; ++i) {
    threads.emplace_back([&, i] {
      auto t0 = Clock::now();
      TPeer p(port);
      bool good = p.Login() && p.Transfer("RETR big.bin") == expect;
      p.Command("QUIT");
      took[static_cast<std::size_t>(i)] = std::chrono::duration<double>(Clock::now() - t0).count();
      (good ? ok : failed)++;
    });
  }
  for (auto& t : threads) t.join();
  TReport r;
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  r.ok = ok;
  r.failed = failed;
  r.bytes = expect * ok;
  std::sort(took.begin(), took.end());
  r.fastest = took.front();
  r.slowest = took.back();
  return r;
}

TReport Listings(int port, int count, int sessions) {
  std::atomic<int> ok{0}, failed{0};
  std::atomic<long long> bytes{0};
  std::vector<std::thread> threads;
  auto start = Clock::now();
  for (int s = 0; s < sessions; ++s) {
    threads.emplace_back([&] {
      TPeer p(port);
      if (!p.Login() || p.Command("CWD many").rfind("250", 0) != 0) {
        failed += count / sessions;
        return;
      }
      for (int i = 0; i < count / sessions; ++i) {
        double got = p.Transfer("LIST");
        if (got > 0) {
          ++ok;
          bytes += static_cast<long long>(got);
        } else {
          ++failed;
        }
      }
      p.Command("QUIT");
    });
  }
  for (auto& t : threads) t.join();
  TReport r;
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  r.ok = ok;
  r.failed = failed;
  r.bytes = static_cast<double>(bytes);
  return r;
}

// Runs fn in a forked child while this process serves; fn's report comes back.
template <typename Fn>
TReport Serve(Fn fn, double& cpu) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    TReport r = fn();
    [[maybe_unused]] auto w = ::write(fds[1], &r, sizeof r);
    ::_exit(0);
  }
  ::close(fds[1]);
  FileHandle pipe(fds[0]);
  TReport r;
  bool done = false;
  auto& loop = EventLoop::Instance();
  loop.Watch(pipe.Get(), EPOLLIN, [&](std::uint32_t) {
    [[maybe_unused]] auto got = ::read(pipe.Get(), &r, sizeof r);
    done = true;
  });
  double cpu0 = CpuSeconds();
  while (!done) loop.RunOnce(100);
  cpu = CpuSeconds() - cpu0;
  loop.Unwatch(pipe.Get());
  ::waitpid(pid, nullptr, 0);
  loop.WaitFor([] { return false; }, std::chrono::milliseconds(200));
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int sessions = argc > 1 ? std::atoi(argv[1]) : 100;
  int mib = argc > 2 ? std::atoi(argv[2]) : 4;
  int listings = argc > 3 ? std::atoi(argv[3]) : 20;
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &lim);

  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("dravik-ftp-load-" + std::to_string(::getpid()));
  fs::create_directories(dir / "many");
  {
    std::ofstream out(dir / "big.bin", std::ios::binary);
    std::string block(1 << 20, 'y');
    for (int i = 0; i < mib; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  for (int i = 0; i < 10000; ++i) std::ofstream(dir / "many" / ("entry-" + std::to_string(i) + ".dat")) << i;

  TFtpServer server;
  server.Addr = "127.0.0.1";
  server.Port = "0";
  server.MaxClients = sessions;
  server.Limits.MaxPerAddress = 0;  // every load client comes from 127.0.0.1
  server.OnAuthenticate = [&](TFtpServer&, TFtpCtrlSocket& client, const std::string&, const std::string&, bool&) {
    client.StartDirectory = "C:" + dir.string() + "/";
    std::replace(client.StartDirectory.begin(), client.StartDirectory.end(), '/', '\\');
  };
  server.Start();
  const int port = server.BoundPort();
  const double expect = static_cast<double>(mib) * 1048576.0;

  long rss0 = StatusKb("VmHWM:");
  double cpu = 0;
  TReport d = Serve([&] { return Downloads(port, sessions, expect); }, cpu);
  double mb = d.bytes / 1e6;
  std::printf("RETR  %3d sessions x %d MiB: %d ok, %d failed, %.2f s, %.1f MB/s, cpu/GB %.2f s,"
              " session time fastest %.2f s slowest %.2f s\n",
              sessions, mib, d.ok, d.failed, d.seconds, mb / d.seconds, mb > 0 ? cpu / (mb / 1000) : 0.0,
              d.fastest, d.slowest);
  long rss1 = StatusKb("VmHWM:");
  for (int parallel : {1, 10}) {
    TReport l = Serve([&] { return Listings(port, listings, parallel); }, cpu);
    std::printf("LIST  10000 entries, %2d at a time: %d ok, %d failed, %.1f ms per listing (wall), "
                "server cpu %.1f ms per listing, %.0f kB each\n",
                parallel, l.ok, l.failed, l.seconds * 1000 / std::max(1, l.ok + l.failed),
                cpu * 1000 / std::max(1, l.ok), l.ok ? l.bytes / l.ok / 1024 : 0.0);
  }
  std::printf("server peak RSS %ld kB (start %ld, after RETR %ld)\n", StatusKb("VmHWM:"), rss0, rss1);
  server.Stop();
  fs::remove_all(dir);
  return 0;
}

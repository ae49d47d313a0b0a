// The real program, run headless from a temporary folder with its own `Servers`.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/Product.h"
#include "catalogue/uFileFormat.h"
#include "platform/FileHandle.h"
#include "platform/InstanceLock.h"
#include "tests/support/LoopbackEngine.h"
#include "tests/support/RegistryScope.h"
#include "tests/support/TempFolder.h"

extern char** environ;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// One launch of the program, headless, its output collected from pipes.
class TProgram {
public:
  // Headless unless `desktop`: then the desktop front runs on Qt's offscreen platform.
  explicit TProgram(const std::string& binary, bool desktop = false) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    out_ = FileHandle(out[0]);
    err_ = FileHandle(err[0]);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string var = *e;
      if (var.rfind("DISPLAY=", 0) != 0 && var.rfind("WAYLAND_DISPLAY=", 0) != 0 &&
          var.rfind("QT_QPA_PLATFORM=", 0) != 0)
        env.push_back(var);
    }
    if (desktop) {
      env.push_back("DISPLAY=:dravik-offscreen");
      env.push_back("QT_QPA_PLATFORM=offscreen");
    }
    std::vector<char*> envp;
    for (auto& var : env) envp.push_back(var.data());
    envp.push_back(nullptr);
    std::string path = binary;
    char* argv[] = {path.data(), nullptr};
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls until exec. The copy dies with this test process,
      // even one the test runner kills, so a failed run leaves nothing running.
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::execve(path.c_str(), argv, envp.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (pid_ < 0) throw std::runtime_error("fork");
  }
  ~TProgram() {
    if (!exitCode_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void Signal(int sig) { ::kill(pid_, sig); }
  // The exit code once the program ends within `timeout`; nothing while it runs on.
  std::optional<int> WaitExit(Clock::duration timeout) {
    auto deadline = Clock::now() + timeout;
    while (!exitCode_) {
      int status = 0;
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_)
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      else if (Clock::now() >= deadline)
        break;
      else
        Collect(10ms);
    }
    return exitCode_;
  }
  // Collects output until `done` holds or the timeout passes.
  bool WaitOutput(const std::function<bool()>& done, Clock::duration timeout) {
    auto deadline = Clock::now() + timeout;
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      Collect(20ms);
    }
    return true;
  }
  const std::string& Out() { Collect(0ms); return out; }
  const std::string& Err() { Collect(0ms); return err; }

  std::string out, err;

private:
  void Collect(std::chrono::milliseconds wait) {
    pollfd fds[2] = {{out_.Get(), POLLIN, 0}, {err_.Get(), POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(wait.count())) <= 0) return;
    char buf[4096];
    bool got = false;
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) (i == 0 ? out : err).append(buf, static_cast<std::size_t>(n));
      got = got || n > 0;
    }
    // Both pipes at their end keep poll ready: wait as asked all the same.
    if (!got) std::this_thread::sleep_for(wait);
  }

  pid_t pid_ = -1;
  FileHandle out_, err_;
  std::optional<int> exitCode_;
};

// The status line of the answer to one GET / on 127.0.0.1:port, or "" when none came
// within two seconds.
std::string StatusOfGet(int port) {
  FileHandle s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  timeval limit{2, 0};
  ::setsockopt(s.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return "";
  const std::string request = "GET / HTTP/1.0\r\n\r\n";
  if (::send(s.Get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) return "";
  std::string reply;
  char buf[4096];
  for (ssize_t n; (n = ::recv(s.Get(), buf, sizeof buf, 0)) > 0;)
    reply.append(buf, static_cast<std::size_t>(n));
  return reply.substr(0, reply.find("\r\n"));
}

// The program allows one instance per user. Every test gives its launches a runtime
// folder of its own, which holds that lock, so tests run side by side and beside a
// copy the user runs; this process sees the same folder, so it can reach the lock too.
class ProcessTest : public ::testing::Test {
protected:
  void SetUp() override {
    folder_.MakeFolder("runtime");
    ::chmod(folder_.Native("runtime").c_str(), 0700);
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) runtimeBefore_ = old;
    ::setenv("XDG_RUNTIME_DIR", folder_.Native("runtime").c_str(), 1);

    binary_ = folder_.Native("dravik-server");
    std::ifstream src(DRAVIK_BINARY, std::ios::binary);
    std::ofstream(binary_, std::ios::binary) << src.rdbuf();
    ::chmod(binary_.c_str(), 0755);
    folder_.MakeFolder("Servers");
  }

  std::string Define(const std::string& file, int type, bool active, int port = 0) {
    return WriteDefinition(folder_.Native("Servers/" + file), file, type, active, port);
  }
  // A start replaces its definition file (a new file renamed over it), so the file is a
  // new one afterwards.
  static std::pair<ino_t, std::int64_t> Identity(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return {st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
  }
  bool WaitRewritten(TProgram& program, const std::string& path,
                     std::pair<ino_t, std::int64_t> before) {
    return program.WaitOutput([&] { return Identity(path) != before; }, 10s);
  }

  void TearDown() override {
    if (runtimeBefore_) ::setenv("XDG_RUNTIME_DIR", runtimeBefore_->c_str(), 1);
    else ::unsetenv("XDG_RUNTIME_DIR");
  }

  TTempFolder folder_;
  std::string binary_;

private:
  std::optional<std::string> runtimeBefore_;
};

TEST_F(ProcessTest, SecondLaunchEndsAtOnceWhileTheFirstKeepsRunning) {
  std::string vault = Define("vault.server", kTypeVokt, true);
  auto before = Identity(vault);
  TProgram first(binary_);
  ASSERT_TRUE(WaitRewritten(first, vault, before)) << first.Err();

  TProgram second(binary_);
  EXPECT_EQ(second.WaitExit(1s), 0);
  EXPECT_EQ(second.Err(), "already running; asked it to show its window\n");
  EXPECT_EQ(second.Out(), "");
  EXPECT_EQ(first.WaitExit(200ms), std::nullopt) << "the first instance must keep running";
  EXPECT_TRUE(ActiveOnDisk(vault));
}

TEST_F(ProcessTest, SignalsEndCleanlyAndActiveFlagsCarryToTheNextLaunch) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
    THeldPort taken;
    std::string vault = Define("vault.server", kTypeVokt, true);
    std::string idle = Define("idle.server", kTypeVokt, false);
    std::string blocked = Define("blocked.server", kTypeFtp, true, taken.port);
    auto before = Identity(vault);
    auto idleBefore = Identity(idle);

    TProgram program(binary_);
    ASSERT_TRUE(WaitRewritten(program, vault, before)) << program.Err();
    EXPECT_TRUE(program.WaitOutput(
        [&] { return program.err.find("by another server or application.\n") != std::string::npos; },
        5s));
    program.Signal(sig);
    EXPECT_EQ(program.WaitExit(5s), 0);

    EXPECT_EQ(program.Err(), "Could not start server on port " + std::to_string(taken.port) +
                                 "\nMake sure the port is not already used\n"
                                 "by another server or application.\n"
                                 "Nothing serves vault.server (Type=2; 0 is an FTP server, 1 a Web server)\n");
    EXPECT_TRUE(ActiveOnDisk(vault)) << "a running server starts again next time";
    EXPECT_FALSE(ActiveOnDisk(blocked)) << "a failed start is not retried next time";
    EXPECT_EQ(Identity(idle), idleBefore) << "an idle definition is not touched";
  }
}

// On the desktop a SIGTERM read while start-up still ran (a start failure's box was up)
// asked Qt's main loop to end before it had begun, so it was lost and the program ran on.
TEST_F(ProcessTest, DesktopSignalDuringStartUpStillEndsTheProgram) {
  THeldPort taken;
  std::string blocked = Define("blocked.server", kTypeFtp, true, taken.port);
  TProgram program(binary_, true);
  // Asking the instance to show itself succeeds once it holds the lock; its signals are
  // blocked right after, and the start failure's box then holds start-up.
  ASSERT_TRUE(program.WaitOutput([] { return TInstanceLock::RequestShow(kInstanceName); }, 10s))
      << program.Err();
  program.WaitOutput([] { return false; }, 500ms);
  program.Signal(SIGTERM);
  EXPECT_EQ(program.WaitExit(5s), 0) << program.Err();
  EXPECT_FALSE(ActiveOnDisk(blocked));
}

// The lock of an instance that dies without cleaning up must not refuse later
// launches (a named semaphore would outlive it).
TEST_F(ProcessTest, KilledInstanceDoesNotBlockTheNextLaunch) {
  std::string vault = Define("vault.server", kTypeVokt, true);
  auto before = Identity(vault);
  {
    TProgram crashed(binary_);
    ASSERT_TRUE(WaitRewritten(crashed, vault, before));
    crashed.Signal(SIGKILL);
    ASSERT_EQ(crashed.WaitExit(5s), 128 + SIGKILL);
  }
  before = Identity(vault);
  TProgram next(binary_);
  EXPECT_TRUE(WaitRewritten(next, vault, before)) << "the next launch starts its servers";
  EXPECT_EQ(next.WaitExit(100ms), std::nullopt);
  next.Signal(SIGTERM);
  EXPECT_EQ(next.WaitExit(5s), 0);
}

TEST_F(ProcessTest, ActivityLinesGoToStandardOutput) {
  Define("music.server", kTypeFtp, true);  // on a port the system picks
  TProgram program(binary_);
  const std::regex started(
      R"(\[\d{1,2}:\d{2} [AP]M\] FTP Server Started on \w{3}, \w{3} \d{2}, \d{4} at \d{1,2}:\d{2}:\d{2} [AP]M\n)");
  ASSERT_TRUE(program.WaitOutput([&] { return program.out.find('\n') != std::string::npos; }, 10s))
      << program.Err();
  EXPECT_TRUE(std::regex_match(program.out.substr(0, program.out.find('\n') + 1), started))
      << program.out;
  program.Signal(SIGTERM);
  EXPECT_EQ(program.WaitExit(5s), 0);
}

// With standard output a pipe nobody read, the program stopped at its first write past
// what the pipe holds, some 580 web requests in, and no client was answered again.
TEST_F(ProcessTest, StalledStandardOutputDoesNotStopServing) {
  // The system picks the port: one picked here and let go may be taken meanwhile by
  // another test's connection on a busy machine.
  Define("web.server", kTypeWeb, true);
  TProgram program(binary_);
  const std::regex listening(R"(\(Web Server\) on port (\d+): )");
  int port = 0;
  ASSERT_TRUE(program.WaitOutput(
      [&] {
        std::smatch found;
        if (std::regex_search(program.err, found, listening)) port = std::stoi(found[1]);
        return port != 0 && program.out.find("] Web Server Started on ") != std::string::npos;
      },
      10s))
      << program.Err();

  // Three lines a request, from here on unread: well past what the pipe and the queue
  // hold together.
  constexpr int kRequests = 2000;
  for (int i = 0; i < kRequests; ++i)
    ASSERT_EQ(StatusOfGet(port), "HTTP/1.0 200 OK") << "request " << i;

  // Read at last, every line is there or counted in a notice.
  const std::regex notice(
      R"(\[\d{1,2}:\d{2} [AP]M\] (\d+) activity lines? dropped: standard output was not being read)");
  std::size_t shown = 0, dropped = 0;
  auto tally = [&] {
    shown = dropped = 0;
    std::istringstream lines(program.out);
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
      if (std::regex_match(line, m, notice))
        dropped += std::stoul(m[1]);
      else
        ++shown;
    }
    return shown + dropped == 2 + 3 * kRequests;  // the start, its fingerprint, 3 each
  };
  EXPECT_TRUE(program.WaitOutput(tally, 10s)) << shown << " shown, " << dropped << " dropped";
  EXPECT_GT(dropped, 0u);
  program.Signal(SIGTERM);
  EXPECT_EQ(program.WaitExit(5s), 0);
}

}  // namespace

#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "platform/EventLoop.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempFolder.h"

using namespace std::chrono_literals;

namespace {

// XDG_RUNTIME_DIR as given for the scope (nothing: unset), restored afterwards.
struct TScopedRuntimeDir : TScopedEnv {
  explicit TScopedRuntimeDir(const std::optional<std::string>& dir) : TScopedEnv("XDG_RUNTIME_DIR", dir) {}
};

class InstanceLockTest : public ::testing::Test {
protected:
  // The session manager's folder of the machine is never touched: an unset variable
  // leads into the test's own folder.
  InstanceLockTest() : savedSessionRoot_(std::exchange(SessionRuntimeRoot, folder_.Native("user-"))) {
    ::chmod(folder_.Native().c_str(), 0700);
  }
  ~InstanceLockTest() override { SessionRuntimeRoot = savedSessionRoot_; }

  // Names are per test process: parallel runs share the abstract namespace.
  const std::string name_ = "[Dravik Server lock test " + std::to_string(::getpid()) + "]";
  const std::string stem_ = "dravik-server-lock-test-" + std::to_string(::getpid());
  TTempFolder folder_;
  const std::string savedSessionRoot_;
};

std::size_t EntriesIn(const std::string& folder) {
  std::size_t n = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

TEST_F(InstanceLockTest, RuntimeFolderHoldsTheLockAndTakesShowRequests) {
  TScopedRuntimeDir runtime(folder_.Native());
  std::unique_ptr<TInstanceLock> first, second;
  ASSERT_EQ(TInstanceLock::Take(name_, first), TLockOutcome::Acquired);
  EXPECT_TRUE(std::filesystem::exists(folder_.Native(stem_ + ".lock")));
  EXPECT_TRUE(std::filesystem::is_socket(folder_.Native(stem_ + ".sock")));

  int shown = 0;
  first->OnShowRequest = [&] { ++shown; };
  EXPECT_EQ(TInstanceLock::Take(name_, second), TLockOutcome::HeldElsewhere);
  EXPECT_EQ(second, nullptr);
  EXPECT_TRUE(TInstanceLock::RequestShow(name_));
  EXPECT_TRUE(EventLoop::Instance().WaitFor([&] { return shown == 1; }, 3s));

  first.reset();
  EXPECT_FALSE(std::filesystem::exists(folder_.Native(stem_ + ".sock")));
  EXPECT_FALSE(TInstanceLock::RequestShow(name_)) << "nobody holds the lock any more";
  EXPECT_EQ(TInstanceLock::Take(name_, second), TLockOutcome::Acquired);
}

// A killed holder leaves its socket file behind, which must not refuse the next
// launch; while the lock file is held, the name is taken even with no socket yet.
TEST_F(InstanceLockTest, LockFileDecidesNotTheSocketFile) {
  TScopedRuntimeDir runtime(folder_.Native());
  {
    FileHandle dead(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = folder_.Native(stem_ + ".sock");
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(::bind(dead.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(dead.Get(), 1), 0);
  }
  std::unique_ptr<TInstanceLock> lock;
  ASSERT_EQ(TInstanceLock::Take(name_, lock), TLockOutcome::Acquired);
  int shown = 0;
  lock->OnShowRequest = [&] { ++shown; };
  EXPECT_TRUE(TInstanceLock::RequestShow(name_));
  EXPECT_TRUE(EventLoop::Instance().WaitFor([&] { return shown == 1; }, 3s));
  lock.reset();

  // Another open of the lock file stands for a process that has taken it and not yet
  // begun to listen.
  FileHandle other(::open(folder_.Native(stem_ + ".lock").c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_EQ(::flock(other.Get(), LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(TInstanceLock::Take(name_, lock), TLockOutcome::HeldElsewhere);
  EXPECT_FALSE(TInstanceLock::RequestShow(name_));
  other.Reset();
  EXPECT_EQ(TInstanceLock::Take(name_, lock), TLockOutcome::Acquired);
}

// Launches without the variable (cron, su) and the desktop session's own must meet;
// and a lock file that cannot be had still keeps launches apart.
TEST_F(InstanceLockTest, LaunchesMeetWithoutTheVariableOrTheLockFile) {
  const std::string session = SessionRuntimeRoot + std::to_string(::getuid());
  ::mkdir(session.c_str(), 0700);
  std::unique_ptr<TInstanceLock> first, second;
  {
    TScopedRuntimeDir unset(std::nullopt);
    ASSERT_EQ(TInstanceLock::Take(name_, first), TLockOutcome::Acquired);
  }
  EXPECT_TRUE(std::filesystem::exists(session + "/" + stem_ + ".lock"));
  {
    TScopedRuntimeDir desktop(session);
    EXPECT_EQ(TInstanceLock::Take(name_, second), TLockOutcome::HeldElsewhere);
  }
  {
    // A variable carried over from another user (plain su) names a folder not ours.
    const std::string others = folder_.Native("others");
    ::mkdir(others.c_str(), 0755);
    TScopedRuntimeDir carried(others);
    EXPECT_EQ(TInstanceLock::Take(name_, second), TLockOutcome::HeldElsewhere);
  }
  first.reset();
  std::filesystem::remove_all(session);

  TScopedRuntimeDir runtime(folder_.Native());
  ::mkdir(folder_.Native(stem_ + ".lock").c_str(), 0700);
  ASSERT_EQ(TInstanceLock::Take(name_, first), TLockOutcome::Acquired);
  int shown = 0;
  first->OnShowRequest = [&] { ++shown; };
  EXPECT_EQ(TInstanceLock::Take(name_, second), TLockOutcome::HeldElsewhere);
  EXPECT_TRUE(TInstanceLock::RequestShow(name_));
  EXPECT_TRUE(EventLoop::Instance().WaitFor([&] { return shown == 1; }, 3s));
  // Once the trouble is gone, a launch that can have the file still meets the one
  // holding the abstract name.
  ::rmdir(folder_.Native(stem_ + ".lock").c_str());
  EXPECT_EQ(TInstanceLock::Take(name_, second), TLockOutcome::HeldElsewhere);
}

struct TFallbackCase {
  const char* description;
  std::optional<std::string> runtimeDir;
};

// Wherever the runtime folder cannot be trusted or used, the abstract name still
// keeps one instance per user, and nothing is written anywhere.
TEST_F(InstanceLockTest, UnusableRuntimeFolderFallsBackToTheAbstractName) {
  const std::string open = folder_.Native("open");
  const std::string tooLong = folder_.Native(std::string(120, 'x'));
  ::mkdir(open.c_str(), 0700);
  ::chmod(open.c_str(), 0755);
  ::mkdir(tooLong.c_str(), 0700);
  const TFallbackCase cases[] = {
      {"unset", std::nullopt},
      {"open to others", open},
      {"missing", folder_.Native("missing")},
      {"relative", "open"},
      {"too long for a socket address", tooLong},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.description);
    TScopedRuntimeDir runtime(row.runtimeDir);
    std::unique_ptr<TInstanceLock> first, second;
    ASSERT_EQ(TInstanceLock::Take(name_, first), TLockOutcome::Acquired);
    EXPECT_EQ(TInstanceLock::Take(name_, second), TLockOutcome::HeldElsewhere);
    EXPECT_TRUE(TInstanceLock::RequestShow(name_));
    EXPECT_EQ(EntriesIn(folder_.Native()), 2u);
    EXPECT_EQ(EntriesIn(open), 0u);
    EXPECT_EQ(EntriesIn(tooLong), 0u);
  }
}

}  // namespace

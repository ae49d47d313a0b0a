#include "platform/Process.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/support/ScopedEnv.h"
#include "tests/support/TempFolder.h"

namespace {

TEST(DescriptorLimit, SoftLimitIsRaisedToTheHardOne) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max <= 256) GTEST_SKIP() << "no room to raise";
  limit.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(RaiseDescriptorLimit(), static_cast<std::int64_t>(limit.rlim_max));
  ::getrlimit(RLIMIT_NOFILE, &limit);
  EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
}

// A display left named by a closed session ended the program in Qt's start; and
// where Qt is told which display system to use, only that one counts.
TEST(Display, OnlyADisplayThatAnswersCounts) {
  TTempFolder runtime;
  const std::string socketPath = runtime.Native("wayland-test");
  FileHandle listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, socketPath.c_str());
  ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener.Get(), 4), 0);

  TScopedEnv x("DISPLAY", ":59996"), wayland("WAYLAND_DISPLAY", std::nullopt),
      dir("XDG_RUNTIME_DIR", runtime.Native()), platform("QT_QPA_PLATFORM", std::nullopt);
  EXPECT_FALSE(DisplayReachable()) << "nothing listens for :59996";
  ::setenv("WAYLAND_DISPLAY", "wayland-test", 1);
  EXPECT_TRUE(DisplayReachable());
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  EXPECT_FALSE(DisplayReachable()) << "told to use X, whose display is gone";
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  EXPECT_TRUE(DisplayReachable()) << "a platform of Qt's own is not checked";
}

}  // namespace

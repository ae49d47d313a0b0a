#include "platform/EventLoop.h"

#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

void Drain(EventLoop& loop) {
  while (loop.pump()) {
  }
}

TEST(EventLoop, PostedNotificationsRunInOrderOnALaterTurn) {
  auto& loop = EventLoop::Instance();
  TEndpoint a, b;
  std::string seen;
  a.Post([&] { seen += "1"; });
  b.Post([&] { seen += "2"; });
  a.Post([&] {
    seen += "3";
    b.Post([&] { seen += "5"; });  // posted while the queue runs: waits a turn
  });
  b.Post([&] { seen += "4"; });
  EXPECT_EQ(seen, "");
  loop.pump();
  EXPECT_EQ(seen, "1234");
  loop.pump();
  EXPECT_EQ(seen, "12345");
}

TEST(EventLoop, DestroyedEndpointLosesItsPendingNotifications) {
  auto& loop = EventLoop::Instance();
  std::string seen;
  TEndpoint keep;
  {
    auto gone = std::make_unique<TEndpoint>();
    gone->Post([&] { seen += "gone"; });
    keep.Post([&] { seen += "kept"; });
  }
  Drain(loop);
  EXPECT_EQ(seen, "kept");
}

TEST(EventLoop, CancelPendingDropsOnlyWhatWasAlreadyPosted) {
  auto& loop = EventLoop::Instance();
  TEndpoint e;
  std::string seen;
  e.Post([&] { seen += "old"; });
  e.CancelPending();
  e.Post([&] { seen += "new"; });
  Drain(loop);
  EXPECT_EQ(seen, "new");
}

TEST(EventLoop, NestedPumpKeepsOrderAndRunsEachOnce) {
  auto& loop = EventLoop::Instance();
  TEndpoint e;
  std::vector<int> seen;
  e.Post([&] {
    seen.push_back(1);
    loop.pump();  // runs 2 and 3 from inside 1
    seen.push_back(10);
  });
  e.Post([&] { seen.push_back(2); });
  e.Post([&] { seen.push_back(3); });
  Drain(loop);
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 10}));
}

TEST(EventLoop, TimersFireOnceInDeadlineOrderAndCanBeCancelled) {
  auto& loop = EventLoop::Instance();
  std::string seen;
  loop.AddTimer(60ms, [&] { seen += "b"; });
  loop.AddTimer(20ms, [&] { seen += "a"; });
  auto cancelled = loop.AddTimer(40ms, [&] { seen += "x"; });
  loop.CancelTimer(cancelled);
  EXPECT_FALSE(loop.pump() && !seen.empty());
  ASSERT_TRUE(loop.WaitFor([&] { return seen.size() == 2; }, 2s));
  EXPECT_EQ(seen, "ab");
  loop.WaitFor([] { return false; }, 80ms);
  EXPECT_EQ(seen, "ab");
}

TEST(EventLoop, EpollDescriptorIsReadableWhileSomethingIsPending) {
  auto& loop = EventLoop::Instance();
  Drain(loop);
  TEndpoint e;
  bool ran = false;
  e.Post([&] { ran = true; });
  fd_set set;
  FD_ZERO(&set);
  FD_SET(loop.Fd(), &set);
  timeval tv{1, 0};
  EXPECT_EQ(::select(loop.Fd() + 1, &set, nullptr, nullptr, &tv), 1);
  Drain(loop);
  EXPECT_TRUE(ran);
}

TEST(EventLoop, ReadinessIsDeliveredAndUnwatchStopsIt) {
  auto& loop = EventLoop::Instance();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  FileHandle r(fds[0]), w(fds[1]);
  int calls = 0;
  loop.Watch(r.Get(), EPOLLIN, [&](std::uint32_t ev) {
    ++calls;
    char c;
    EXPECT_EQ(::read(r.Get(), &c, 1), 1);
    loop.Unwatch(r.Get());
  });
  ASSERT_EQ(::write(w.Get(), "xy", 2), 2);
  ASSERT_TRUE(loop.WaitFor([&] { return calls > 0; }, 2s));
  loop.WaitFor([] { return false; }, 30ms);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(loop.IsWatched(r.Get()));
}

TEST(EventLoop, PumpHookRunsAtEveryPumpButNeverInsideItself) {
  auto& loop = EventLoop::Instance();
  int hooks = 0;
  loop.SetPumpHook([&] {
    ++hooks;
    loop.pump();  // a front that pumps from its own events must not recurse
  });
  loop.pump();
  loop.pump();
  loop.SetPumpHook(nullptr);
  EXPECT_EQ(hooks, 2);
}

}  // namespace

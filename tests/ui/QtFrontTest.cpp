#include <gtest/gtest.h>

#include <chrono>

#include <QTimer>

#include "UiTestSupport.h"
#include "platform/EventLoop.h"
#include "ui/QtFront.h"

using namespace std::chrono_literals;

// With Qt owning the main loop, the core's notifications and timers still run, and a
// nested wait of the core still runs Qt's timers and windows.
class QtLoopBridge : public testing::Test {
protected:
  EventLoop& loop_ = EventLoop::Instance();
  TQtLoopBridge bridge_{loop_};
  TEndpoint endpoint_;
};

TEST_F(QtLoopBridge, CoreNotificationsAndTimersRunUnderQtsLoop) {
  bool posted = false, timed = false;
  endpoint_.Post([&posted] { posted = true; });
  loop_.AddTimer(30ms, [&timed] { timed = true; });
  EXPECT_TRUE(WaitFor([&] { return posted && timed; }));
}

TEST_F(QtLoopBridge, NestedCoreWaitKeepsQtTimersRunning) {
  bool qtTimerRan = false, waited = false;
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(20, [&qtTimerRan] { qtTimerRan = true; });
    waited = loop_.WaitFor([&qtTimerRan] { return qtTimerRan; }, 2000ms);
  });
  EXPECT_TRUE(WaitFor([&waited] { return waited; }));
}

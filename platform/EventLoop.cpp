#include "platform/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

static_assert(ready::kIn == EPOLLIN && ready::kOut == EPOLLOUT && ready::kError == EPOLLERR &&
              ready::kHangup == EPOLLHUP && ready::kPeerClosed == EPOLLRDHUP);

namespace {
// Marks the descriptors that belong to the loop itself in epoll's user data.
constexpr std::uint64_t kWakeId = 0;
constexpr std::uint64_t kTimerId = ~std::uint64_t{0};
constexpr int kMaxEventsPerTurn = 64;
}  // namespace

TEndpoint::TEndpoint() : alive_(std::make_shared<bool>(true)) {}

TEndpoint::~TEndpoint() = default;

void TEndpoint::Post(std::function<void()> fn) const {
  EventLoop::Instance().Post(alive_, std::move(fn));
}

void TEndpoint::CancelPending() { alive_ = std::make_shared<bool>(true); }

EventLoop& EventLoop::Instance() {
  thread_local EventLoop loop;
  return loop;
}

EventLoop::EventLoop()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      timerFd_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (!epoll_.Valid() || !wakeFd_.Valid() || !timerFd_.Valid())
    throw std::runtime_error("Cannot create the event loop");
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeId;
  ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wakeFd_.Get(), &ev);
  ev.data.u64 = kTimerId;
  ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, timerFd_.Get(), &ev);
}

EventLoop::~EventLoop() = default;

void EventLoop::Watch(int fd, std::uint32_t events, ReadyHandler handler) {
  auto it = watches_.find(fd);
  if (it != watches_.end()) {
    it->second.handler = std::make_shared<ReadyHandler>(std::move(handler));
    Modify(fd, events);
    return;
  }
  Watcher w{nextWatchId_++, events, std::make_shared<ReadyHandler>(std::move(handler))};
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = w.id;
  if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &ev) != 0)
    throw std::runtime_error("Cannot watch descriptor");
  watchIds_[w.id] = fd;
  watches_.emplace(fd, std::move(w));
}

void EventLoop::Modify(int fd, std::uint32_t events) {
  auto it = watches_.find(fd);
  if (it == watches_.end() || it->second.events == events) return;
  it->second.events = events;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = it->second.id;
  ::epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, fd, &ev);
}

void EventLoop::Unwatch(int fd) {
  auto it = watches_.find(fd);
  if (it == watches_.end()) return;
  ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd, nullptr);
  watchIds_.erase(it->second.id);
  watches_.erase(it);
}

void EventLoop::Post(std::weak_ptr<bool> target, std::function<void()> fn) {
  posted_.push_back(Posted{nextSeq_++, std::move(target), std::move(fn)});
  // Inside a turn the loop looks at its queue before it sleeps again; only a post
  // from outside (a front's own code) must make the descriptor readable.
  if (turnDepth_ == 0) Wake();
}

// The eventfd stays signalled for as long as notifications wait, so a busy loop
// (one posted step per block of every transfer) pays no write and read per turn;
// it is cleared once the queue runs dry, so an idle loop's descriptor goes quiet.
void EventLoop::Wake() {
  if (wakeSignalled_) return;
  std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(wakeFd_.Get(), &one, sizeof one);
  wakeSignalled_ = true;
}

void EventLoop::ClearWake() {
  if (!wakeSignalled_) return;
  std::uint64_t count;
  [[maybe_unused]] auto r = ::read(wakeFd_.Get(), &count, sizeof count);
  wakeSignalled_ = false;
}

EventLoop::TimerId EventLoop::AddTimer(std::chrono::milliseconds delay, std::function<void()> fn) {
  TimerId id = nextTimerId_++;
  auto when = Clock::now() + delay;
  timers_.emplace(id, std::make_pair(when, std::move(fn)));
  timerOrder_.emplace(when, id);
  ArmTimerFd();
  return id;
}

void EventLoop::CancelTimer(TimerId id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  auto range = timerOrder_.equal_range(it->second.first);
  for (auto o = range.first; o != range.second; ++o) {
    if (o->second == id) {
      timerOrder_.erase(o);
      break;
    }
  }
  timers_.erase(it);
  ArmTimerFd();
}

void EventLoop::ArmTimerFd() {
  // Re-arming costs a system call; only a change of the nearest deadline needs one.
  const Clock::time_point nearest = timerOrder_.empty() ? Clock::time_point{} : timerOrder_.begin()->first;
  if (nearest == armedFor_) return;
  armedFor_ = nearest;
  itimerspec spec{};
  if (!timerOrder_.empty()) {
    auto delta = nearest - Clock::now();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(delta).count();
    if (ns < 1) ns = 1;  // zero would disarm the timer
    spec.it_value.tv_sec = ns / 1000000000;
    spec.it_value.tv_nsec = ns % 1000000000;
  }
  ::timerfd_settime(timerFd_.Get(), 0, &spec, nullptr);
}

int EventLoop::TimeoutUntilNextTimer(int timeoutMs) const {
  if (!posted_.empty()) return 0;
  if (timerOrder_.empty()) return timeoutMs;
  auto delta = timerOrder_.begin()->first - Clock::now();
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(delta).count();
  if (ms < 0) ms = 0;
  if (timeoutMs < 0 || ms < timeoutMs) return static_cast<int>(ms);
  return timeoutMs;
}

bool EventLoop::Dispatch(int timeoutMs) {
  epoll_event events[kMaxEventsPerTurn];
  int n = ::epoll_wait(epoll_.Get(), events, kMaxEventsPerTurn, TimeoutUntilNextTimer(timeoutMs));
  if (n < 0) return false;  // EINTR: a signal arrived; the caller looks again
  bool ran = false;
  for (int i = 0; i < n; ++i) {
    std::uint64_t id = events[i].data.u64;
    if (id == kWakeId) continue;  // settled as the outermost turn ends
    if (id == kTimerId) {
      std::uint64_t expirations;
      [[maybe_unused]] auto r = ::read(timerFd_.Get(), &expirations, sizeof expirations);
      armedFor_ = Clock::time_point{};  // a one-shot timerfd disarms when it expires
      continue;
    }
    // An earlier handler of this turn may have unwatched (and even reused) the
    // descriptor; the watch id tells a stale event from a live one.
    auto idIt = watchIds_.find(id);
    if (idIt == watchIds_.end()) continue;
    auto handler = watches_.at(idIt->second).handler;  // kept alive through the call
    (*handler)(events[i].events);
    ran = true;
  }
  return ran;
}

bool EventLoop::RunPosted() {
  // Only what was posted before this turn began runs now; a nested pump may take
  // items from the front meanwhile, which keeps the order.
  std::uint64_t limit = nextSeq_;
  bool ran = false;
  while (!posted_.empty() && posted_.front().seq < limit) {
    Posted p = std::move(posted_.front());
    posted_.pop_front();
    if (p.target.expired()) continue;
    p.fn();
    ran = true;
  }
  return ran;
}

bool EventLoop::RunTimers() {
  bool ran = false;
  auto now = Clock::now();
  while (!timerOrder_.empty() && timerOrder_.begin()->first <= now) {
    TimerId id = timerOrder_.begin()->second;
    timerOrder_.erase(timerOrder_.begin());
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;
    auto fn = std::move(it->second.second);
    timers_.erase(it);
    fn();
    ran = true;
  }
  ArmTimerFd();
  return ran;
}

// The eventfd is settled once, as the outermost turn ends. A headless loop never
// sleeps while posts wait, so it needs the descriptor only for posts from outside; a
// front that polls the loop's descriptor (it set a pump hook) must see it readable
// while anything waits.
void EventLoop::SettleWake() {
  if (posted_.empty())
    ClearWake();
  else if (pumpHook_)
    Wake();
}

bool EventLoop::RunOnce(int timeoutMs) {
  struct TTurn {
    EventLoop& loop;
    explicit TTurn(EventLoop& l) : loop(l) { ++loop.turnDepth_; }
    ~TTurn() {
      if (--loop.turnDepth_ == 0) loop.SettleWake();
    }
  } turn(*this);
  bool ran = Dispatch(timeoutMs);
  ran = RunPosted() || ran;
  ran = RunTimers() || ran;
  if (pumpHook_ && !inHook_) {
    inHook_ = true;
    pumpHook_();
    inHook_ = false;
  }
  return ran;
}

bool EventLoop::pump() { return RunOnce(0); }

void EventLoop::Run() {
  quit_ = false;
  while (!quit_) RunOnce(-1);
}

bool EventLoop::WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!cond()) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return cond();
    RunOnce(static_cast<int>(left < 50 ? left : 50));
  }
  return true;
}

void TLoopTimer::Start(std::chrono::milliseconds delay, std::function<void()> fn) {
  Cancel();
  id_ = EventLoop::Instance().AddTimer(delay, [this, fn = std::move(fn)] {
    // Disarmed before the callback, which may start this timer again or free it.
    id_ = 0;
    fn();
  });
}

void TLoopTimer::Cancel() {
  if (id_ == 0) return;
  EventLoop::Instance().CancelTimer(id_);
  id_ = 0;
}

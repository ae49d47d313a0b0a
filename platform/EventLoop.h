#pragma once
// The program's single event loop: descriptor readiness (epoll), notifications
// posted to endpoints, and one-shot timers. Everything runs on the one thread that
// owns the loop; nothing here locks.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>

#include "platform/FileHandle.h"

// Readiness bits for Watch and for what a handler receives, so code above platform/
// need not know the poller. They are epoll's own values (checked in EventLoop.cpp).
namespace ready {
inline constexpr std::uint32_t kIn = 0x001;
inline constexpr std::uint32_t kOut = 0x004;
inline constexpr std::uint32_t kError = 0x008;
inline constexpr std::uint32_t kHangup = 0x010;
inline constexpr std::uint32_t kPeerClosed = 0x2000;
}  // namespace ready

class EventLoop;

// Something notifications can be posted to (a socket, an FTP server). Pending
// notifications of an endpoint are dropped when it is destroyed, so a handler never
// runs on freed memory. Not copyable: the identity is the object.
class TEndpoint {
public:
  TEndpoint();
  ~TEndpoint();
  TEndpoint(const TEndpoint&) = delete;
  TEndpoint& operator=(const TEndpoint&) = delete;

  // Runs fn on a later turn of the loop, after everything posted before it.
  void Post(std::function<void()> fn) const;
  // Drops what is pending but not yet run; later posts are delivered again.
  void CancelPending();

private:
  std::shared_ptr<bool> alive_;
};

class EventLoop {
public:
  using ReadyHandler = std::function<void(std::uint32_t epollEvents)>;
  using TimerId = std::uint64_t;
  using Clock = std::chrono::steady_clock;

  // The loop of the calling thread (made at first use).
  static EventLoop& Instance();

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Readiness. `events` are ready::kIn/kOut/kPeerClosed bits; the handler receives
  // what the poller reported. Watch on a watched descriptor replaces handler and events.
  // An event that was already fetched for a descriptor is not delivered after
  // Unwatch, even within the same turn.
  void Watch(int fd, std::uint32_t events, ReadyHandler handler);
  void Modify(int fd, std::uint32_t events);
  void Unwatch(int fd);
  bool IsWatched(int fd) const { return watches_.count(fd) != 0; }

  // Posted notifications: FIFO over the whole loop. Prefer TEndpoint::Post.
  void Post(std::weak_ptr<bool> target, std::function<void()> fn);

  // One-shot timers.
  TimerId AddTimer(std::chrono::milliseconds delay, std::function<void()> fn);
  void CancelTimer(TimerId id);

  // Runs whatever is ready now (readiness, posted notifications, expired timers)
  // without blocking. May be called from inside any handler. Returns true when
  // something ran.
  bool pump();
  // Waits at most timeoutMs (-1: until something happens) and then runs what is
  // ready. Returns true when something ran.
  bool RunOnce(int timeoutMs);
  // Runs until Quit(); the headless front's main loop.
  void Run();
  void Quit() { quit_ = true; Wake(); }
  bool QuitRequested() const { return quit_; }

  // Runs a front's own pending events (Qt) at every pump(), so that a nested wait
  // keeps the windows alive too.
  void SetPumpHook(std::function<void()> hook) { pumpHook_ = std::move(hook); }

  // The epoll descriptor: readable whenever something is ready, for a front that
  // owns the main loop (a QSocketNotifier on it calls pump()).
  int Fd() const { return epoll_.Get(); }

  // Pumps until cond() holds or the timeout passes; true when it holds. For waits
  // that must stay bounded (tests, a start that waits for its sockets).
  bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

private:
  struct Watcher {
    std::uint64_t id;
    std::uint32_t events;
    std::shared_ptr<ReadyHandler> handler;
  };
  struct Posted {
    std::uint64_t seq;
    std::weak_ptr<bool> target;
    std::function<void()> fn;
  };

  bool Dispatch(int timeoutMs);
  bool RunPosted();
  bool RunTimers();
  void ArmTimerFd();
  void Wake();
  void ClearWake();
  void SettleWake();
  int TimeoutUntilNextTimer(int timeoutMs) const;

  FileHandle epoll_;
  FileHandle wakeFd_;    // eventfd: something was posted
  FileHandle timerFd_;   // timerfd: armed for the nearest timer
  bool wakeSignalled_ = false;        // wakeFd_ holds a count not yet read
  int turnDepth_ = 0;                 // RunOnce calls under way (nested pumps count)
  Clock::time_point armedFor_{};      // the deadline timerFd_ is armed for; {} = none
  std::unordered_map<int, Watcher> watches_;
  std::unordered_map<std::uint64_t, int> watchIds_;  // watch id -> fd, for stale events
  std::uint64_t nextWatchId_ = 1;
  std::deque<Posted> posted_;
  std::uint64_t nextSeq_ = 1;
  std::multimap<Clock::time_point, TimerId> timerOrder_;
  std::unordered_map<TimerId, std::pair<Clock::time_point, std::function<void()>>> timers_;
  TimerId nextTimerId_ = 1;
  std::function<void()> pumpHook_;
  bool quit_ = false;
  bool inHook_ = false;
};

// A one-shot timer of the calling thread's loop that is cancelled when its owner
// dies, so a callback never reaches a freed session. Start replaces what is armed.
class TLoopTimer {
public:
  TLoopTimer() = default;
  ~TLoopTimer() { Cancel(); }
  TLoopTimer(const TLoopTimer&) = delete;
  TLoopTimer& operator=(const TLoopTimer&) = delete;

  void Start(std::chrono::milliseconds delay, std::function<void()> fn);
  void Cancel();
  bool Armed() const { return id_ != 0; }

private:
  EventLoop::TimerId id_ = 0;
};

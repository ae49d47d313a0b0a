#include "app/prevcode.h"

#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

#include "platform/InstanceLock.h"

std::function<void()> OnShowRequest;

namespace {
// Held until the process ends; the kernel releases it however the process ends.
std::unique_ptr<TInstanceLock> heldLock;
// A holder may end between our failed take and our request, and one that has only
// just taken the lock may not listen yet; either settles within moments.
constexpr std::chrono::seconds kSettleTime{2};
constexpr std::chrono::milliseconds kRetryPause{20};
}  // namespace

// The window title has no role here: the holder raises its own window on request,
// which also spares it from being renamed on the way.
bool CheckPreviousInstance(const std::string& windowTitle, const std::string& semaphoreName) {
  const auto deadline = std::chrono::steady_clock::now() + kSettleTime;
  for (;;) {
    std::unique_ptr<TInstanceLock> lock;
    switch (TInstanceLock::Take(semaphoreName, lock)) {
      case TLockOutcome::Acquired:
        lock->OnShowRequest = [] {
          if (OnShowRequest) OnShowRequest();
        };
        heldLock = std::move(lock);
        return false;
      case TLockOutcome::HeldElsewhere:
        if (TInstanceLock::RequestShow(semaphoreName)) {
          std::cerr << "already running; asked it to show its window" << std::endl;
          return true;
        }
        break;
      case TLockOutcome::Unavailable:
        std::cerr << "cannot take the single-instance lock; running without it, so do not "
                     "start a second copy" << std::endl;
        return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      // Running beside it anyway would start the same servers, fail on their ports and
      // clear their active flags on disk: ending is the lesser harm.
      std::cerr << "already running, but it did not answer the request to show its window"
                << std::endl;
      return true;
    }
    std::this_thread::sleep_for(kRetryPause);
  }
}

void ReleaseInstanceGuard() { heldLock.reset(); }

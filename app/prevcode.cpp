#include "app/prevcode.h"

#include <memory>

#include "platform/InstanceLock.h"

std::function<void()> OnShowRequest;

namespace {
// Held until the process ends; the kernel releases it however the process ends.
std::unique_ptr<TInstanceLock> heldLock;
// A holder may end between our failed take and our request; then the name is free again.
constexpr int kAttempts = 3;
}  // namespace

// The window title has no role here: the holder raises its own window on request,
// which also spares it from being renamed on the way.
bool CheckPreviousInstance(const std::string& windowTitle, const std::string& semaphoreName) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::unique_ptr<TInstanceLock> lock;
    switch (TInstanceLock::Take(semaphoreName, lock)) {
      case TLockOutcome::Acquired:
        lock->OnShowRequest = [] {
          if (OnShowRequest) OnShowRequest();
        };
        heldLock = std::move(lock);
        return false;
      case TLockOutcome::HeldElsewhere:
        if (TInstanceLock::RequestShow(semaphoreName)) return true;
        break;
      case TLockOutcome::Unavailable:
        return false;
    }
  }
  return false;
}

void ReleaseInstanceGuard() { heldLock.reset(); }

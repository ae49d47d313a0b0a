#include "net/ConnectionTally.h"

#include <utility>

#include "platform/HeapTrim.h"

TConnectionTally::TConnectionTally() : release_(ReleaseFreeHeapMemory) {}

TConnectionTally& TConnectionTally::Instance() {
  static TConnectionTally tally;
  return tally;
}

void TConnectionTally::Opened() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++live_;
  if (live_ > peak_) peak_ = live_;
}

void TConnectionTally::Closed() {
  std::function<void()> release;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (live_ > 0) --live_;
    if ((peak_ < kLargePeak && !draining_) || live_ > peak_ / kFallFraction) return;
    // The connections still alive free their memory later: until none is left, each
    // fall to 1/8 of the level at the last give-back gives that back too.
    peak_ = live_;
    draining_ = live_ > 0;
    release = release_;
  }
  // Outside the lock: the walk of the heap takes a while, and others may close meanwhile.
  if (release) release();
}

int TConnectionTally::Live() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return live_;
}

int TConnectionTally::Peak() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peak_;
}

std::function<void()> TConnectionTally::SetRelease(std::function<void()> release) {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(release_, std::move(release));
}

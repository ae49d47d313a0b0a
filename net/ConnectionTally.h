#pragma once
// Accepted connections alive in the process, for one decision: when to give the
// memory of a flood back. A flood (thousands of clients that begin a TLS handshake
// and hang up) leaves its freed memory with the process; giving it back costs a walk
// of the heap, so it is done only once the count has fallen to a small part of a
// large peak, never on ordinary traffic. Safe from any thread: tests run loops on
// several.

#include <functional>
#include <mutex>

class TConnectionTally {
public:
  static constexpr int kLargePeak = 256;   // fewer at once is ordinary traffic
  static constexpr int kFallFraction = 8;  // given back when down to 1/8 of the peak

  static TConnectionTally& Instance();

  void Opened();
  void Closed();
  int Live() const;
  // The most alive at once since memory was last given back.
  int Peak() const;

  // What gives memory back (ReleaseFreeHeapMemory); tests count the calls. Returns
  // the previous one.
  std::function<void()> SetRelease(std::function<void()> release);

private:
  TConnectionTally();
  mutable std::mutex mutex_;
  int live_ = 0;
  int peak_ = 0;
  bool draining_ = false;  // memory was given back while a flood's last ones lived
  std::function<void()> release_;
};

// Held by a socket while it carries an accepted connection: counted once however
// often the socket adopts a handle, and uncounted when it drops it or goes.
class TTalliedConnection {
public:
  TTalliedConnection() = default;
  ~TTalliedConnection() { Drop(); }
  TTalliedConnection(const TTalliedConnection&) = delete;
  TTalliedConnection& operator=(const TTalliedConnection&) = delete;

  void Count() {
    if (counted_) return;
    counted_ = true;
    TConnectionTally::Instance().Opened();
  }
  void Drop() {
    if (!counted_) return;
    counted_ = false;
    TConnectionTally::Instance().Closed();
  }

private:
  bool counted_ = false;
};

#pragma once
// Writes to an output the program inherited (standard output: a pipe, a terminal, a
// socket or a file) without ever waiting for whoever should read it. What the output
// cannot take at once waits in a bounded queue and leaves as the event loop finds the
// output writable; text that would overfill the queue is refused, so the caller can
// tell the reader later what was lost. Owned by the front that writes there; lives no
// longer than the loop.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/EventLoop.h"
#include "platform/FileHandle.h"

inline constexpr int kStandardOutput = 1;

class TOutputPipe {
public:
  static constexpr std::size_t kMaxPending = 64 * 1024;

  // fd stays open and belongs to whoever opened it; its flags are left as they are,
  // since they are shared with every process that holds the same output.
  explicit TOutputPipe(int fd, std::size_t maxPending = kMaxPending);
  // What is still queued goes out, with a short wait for a slow reader.
  ~TOutputPipe();
  TOutputPipe(const TOutputPipe&) = delete;
  TOutputPipe& operator=(const TOutputPipe&) = delete;

  // True when text was written or queued whole. False when the queue could not hold
  // it: then nothing of it is written. A text arriving at an empty queue is always
  // taken, however long, so a line is never refused by an output that keeps up. An
  // output that fails (its reader gone, a full disk) takes everything and loses it:
  // nobody is left to tell.
  bool Write(std::string_view text);

  std::size_t Pending() const { return pending_.size(); }

  // Writes out what the output takes now; the rest waits for the loop as usual. For
  // a caller about to write elsewhere (standard error) whose reader sees both.
  void Flush();
  // Writes out everything queued, waiting for the output at most grace; for the end
  // of the program, when the loop no longer runs. The destructor does it too.
  static constexpr std::chrono::milliseconds kExitGrace{2000};
  void Drain(std::chrono::milliseconds grace);

  // Fired when the queue has emptied after the output had made it wait.
  std::function<void()> OnDrained;

private:
  enum class TMode { kPlain, kSocket, kPollFirst };
  static constexpr long kFull = 0;
  static constexpr long kFailed = -1;
  static constexpr std::size_t kBatchLimit = 16 * 1024;  // one turn's lines, at most

  // Bytes the output took now, kFull when it takes nothing now, kFailed.
  long WriteSome(std::string_view data);
  void WatchWritable(bool on);

  int fd_ = -1;          // where writes go: the inherited descriptor or own_
  FileHandle own_;       // a non-blocking open of our own of the same pipe or terminal
  TMode mode_ = TMode::kPlain;
  std::size_t maxPending_;
  std::string pending_;
  bool watching_ = false;
  bool flushPosted_ = false;
  TEndpoint endpoint_;  // last: posts die with the pipe, before its queue
};

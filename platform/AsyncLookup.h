#pragma once
// A name-service lookup that never stalls the event loop: the blocking call runs on a
// short-lived worker thread and its answer comes back as a readiness event of an
// eventfd watched by the loop, so the completion runs on the loop's thread like any
// other notification. Destroying the object abandons the lookup: the worker finishes
// on its own and its answer is thrown away.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class EventLoop;

class TAsyncLookup {
public:
  // error is a socket error number; results are dotted addresses (forward) or the
  // one host name (reverse).
  using Done = std::function<void(int error, std::vector<std::string> results)>;

  TAsyncLookup(EventLoop& loop, Done done);
  ~TAsyncLookup();
  TAsyncLookup(const TAsyncLookup&) = delete;
  TAsyncLookup& operator=(const TAsyncLookup&) = delete;

  // Start one lookup; 0, or the error that kept it from starting. done runs on a
  // later turn of the loop, never from inside these calls.
  int StartForward(const std::string& host);
  int StartReverse(std::uint32_t hostOrderAddr);

private:
  struct Shared;
  int Start(std::function<int(std::vector<std::string>&)> work);
  void Completed();

  EventLoop& loop_;
  Done done_;
  std::shared_ptr<Shared> shared_;
  int watchedFd_ = -1;
};

#pragma once
// The per-user single-instance lock: a listening abstract Unix socket named after the
// lock name and the user id. The kernel drops the name when its holder dies, however
// it dies, so a crashed instance never refuses the next launch. A second launch finds
// the name taken, connects and asks the holder to show itself.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/FileHandle.h"

enum class TLockOutcome {
  Acquired,       // this process holds the lock now
  HeldElsewhere,  // another process of this user holds it
  Unavailable,    // no lock can be had (no socket, or the name is someone else's)
};

class TInstanceLock {
public:
  // Takes the lock for this user. On Acquired, `lock` holds it and watches for show
  // requests on the calling thread's event loop.
  static TLockOutcome Take(const std::string& name, std::unique_ptr<TInstanceLock>& lock);
  // Asks this user's holder of `name` to show itself; false when no holder of this
  // user took the request.
  static bool RequestShow(const std::string& name);

  ~TInstanceLock();
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  // Runs on the loop for every show request from a process of the same user.
  std::function<void()> OnShowRequest;

private:
  explicit TInstanceLock(FileHandle listener);
  void AcceptRequests();
  void ReadRequest(int fd);

  FileHandle listener_;
  std::map<int, FileHandle> requests_;  // accepted, waiting for their request line
};

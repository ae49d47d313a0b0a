#pragma once
// The per-user single-instance lock. Where the user's runtime folder is usable
// ($XDG_RUNTIME_DIR, or the session manager's folder for the user when the variable
// is unset), a lock file there held with flock, and a Unix socket beside it that
// takes show requests; otherwise, or when the lock file cannot be had, a listening
// abstract Unix socket named after the lock name and the user id. Either way the
// kernel lets go when the holder dies, however it dies, so a crashed instance never
// refuses the next launch. A second launch finds the lock taken, connects and asks
// the holder to show itself.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/FileHandle.h"

// Where the session manager keeps each user's runtime folder (the user id follows),
// used when XDG_RUNTIME_DIR is unset; tests point it elsewhere.
extern std::string SessionRuntimeRoot;

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
  // user took the request (none is running, or it holds the lock but does not listen
  // yet).
  static bool RequestShow(const std::string& name);

  ~TInstanceLock();
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  // Runs on the loop for every show request from a process of the same user.
  std::function<void()> OnShowRequest;

  // Take's alone: only it can make the key.
  class TKey {
    friend class TInstanceLock;
    TKey() = default;
  };
  TInstanceLock(TKey, FileHandle lockFile, std::string socketPath, FileHandle listener);

private:
  void AcceptRequests();
  void ReadRequest(int fd);

  // Declared first so it is closed last: the socket file goes while the lock is held,
  // never from under the next holder.
  FileHandle lockFile_;     // holds the flock; invalid with an abstract name
  std::string socketPath_;  // removed on release; empty with an abstract name
  FileHandle listener_;
  std::map<int, FileHandle> requests_;  // accepted, waiting for their request line
};

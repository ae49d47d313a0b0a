#include "platform/AsyncLookup.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/EventLoop.h"
#include "platform/FileHandle.h"
#include "platform/NativeSocket.h"
#include "platform/SocketError.h"

// Owned jointly by the lookup object and its worker: whichever lets go last closes
// the eventfd, so the worker never writes to a descriptor that was reused.
struct TAsyncLookup::Shared {
  std::mutex mutex;
  bool finished = false;
  int error = 0;
  std::vector<std::string> results;
  FileHandle wake;
};

TAsyncLookup::TAsyncLookup(EventLoop& loop, Done done) : loop_(loop), done_(std::move(done)) {}

TAsyncLookup::~TAsyncLookup() {
  if (watchedFd_ >= 0) loop_.Unwatch(watchedFd_);
}

int TAsyncLookup::StartForward(const std::string& host) {
  return Start([host](std::vector<std::string>& out) {
    std::vector<std::uint32_t> addrs;
    int err = native::LookupHostV4(host, addrs);
    for (auto a : addrs) out.push_back(native::DottedAddr(a));
    return err;
  });
}

int TAsyncLookup::StartReverse(std::uint32_t addr) {
  return Start([addr](std::vector<std::string>& out) {
    std::string name;
    int err = native::ReverseLookupV4(addr, name);
    if (err == 0) out.push_back(name);
    return err;
  });
}

int TAsyncLookup::Start(std::function<int(std::vector<std::string>&)> work) {
  if (watchedFd_ >= 0) return sockerr::kAlready;
  auto shared = std::make_shared<Shared>();
  shared->wake.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!shared->wake.Valid()) return SocketErrorFromErrno(errno);
  int fd = shared->wake.Get();
  loop_.Watch(fd, EPOLLIN, [this](std::uint32_t) { Completed(); });
  watchedFd_ = fd;
  shared_ = shared;
  try {
    std::thread([shared, work = std::move(work)] {
      std::vector<std::string> results;
      int err = work(results);
      std::lock_guard<std::mutex> lock(shared->mutex);
      shared->error = err;
      shared->results = std::move(results);
      shared->finished = true;
      std::uint64_t one = 1;
      [[maybe_unused]] auto n = ::write(shared->wake.Get(), &one, sizeof one);
    }).detach();
  } catch (const std::system_error&) {
    loop_.Unwatch(fd);
    watchedFd_ = -1;
    shared_.reset();
    return sockerr::kNoBufs;
  }
  return 0;
}

void TAsyncLookup::Completed() {
  int error;
  std::vector<std::string> results;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (!shared_->finished) return;
    error = shared_->error;
    results = std::move(shared_->results);
  }
  loop_.Unwatch(watchedFd_);
  watchedFd_ = -1;
  shared_.reset();
  // The handler may destroy this object; nothing of it is touched afterwards.
  Done done = done_;
  done(error, std::move(results));
}

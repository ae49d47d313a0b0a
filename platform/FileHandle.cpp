#include "platform/FileHandle.h"

#include <unistd.h>

#include <atomic>

namespace {
std::atomic<FileHandle::TCloseWatcher> closeWatcher{nullptr};
}  // namespace

void FileHandle::WatchCloses(TCloseWatcher watcher) {
  closeWatcher.store(watcher, std::memory_order_relaxed);
}

void FileHandle::Reset(int fd) {
  if (fd_ >= 0) {
    if (TCloseWatcher watcher = closeWatcher.load(std::memory_order_relaxed)) watcher(fd_);
    ::close(fd_);
  }
  fd_ = fd;
}

#pragma once
// A move-only owner of a file descriptor; the only place that closes one.

#include <utility>

class FileHandle {
public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() { Reset(); }
  FileHandle(FileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  // Closes now, ignoring failure: there is nothing a caller could do about it.
  void Reset(int fd = -1);

  // Told of each descriptor just before it closes, on the closing thread. A layer
  // that remembers facts about descriptor numbers sets it, so that a number the
  // system hands out again is never taken for the one that closed.
  using TCloseWatcher = void (*)(int fd);
  static void WatchCloses(TCloseWatcher watcher);

private:
  int fd_ = -1;
};

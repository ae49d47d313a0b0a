#include "platform/FileHandle.h"

#include <unistd.h>

#include "platform/NativeSocket.h"

void FileHandle::Reset(int fd) {
  if (fd_ >= 0) {
    native::ForgetAccepted(fd_);
    ::close(fd_);
  }
  fd_ = fd;
}

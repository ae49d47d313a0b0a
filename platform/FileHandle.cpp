#include "platform/FileHandle.h"

#include <unistd.h>

void FileHandle::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

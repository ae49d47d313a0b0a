#include "ftp/PasvPortTable.h"

#include "ftp/FtpSrvParse.h"

void TPasvPortTable::SetStart(int start) {
  if (start < 0 || start > 65535)
    throw FtpServerException(FtpFormat("Invalid PasvPortRangeStart %d.", start));
  if (start == start_) return;
  for (bool used : inUse_)
    if (used) throw FtpServerException("Unable to change PasvPortRangeStart when port is in use.");
  start_ = start;
}

void TPasvPortTable::SetSize(int size) {
  if (size < 0 || size > 65535)
    throw FtpServerException(FtpFormat("Invalid PasvPortRangeSize %d.", size));
  if (size == Size()) return;
  for (std::size_t i = static_cast<std::size_t>(size); i < inUse_.size(); ++i)
    if (inUse_[i]) throw FtpServerException("Unable to change PasvPortRangeSize when port is in use.");
  inUse_.resize(static_cast<std::size_t>(size), false);
}

std::optional<int> TPasvPortTable::Acquire() {
  if (start_ == 0 || inUse_.empty()) return 0;
  for (std::size_t i = 0; i < inUse_.size(); ++i) {
    if (!inUse_[i]) {
      inUse_[i] = true;
      return start_ + static_cast<int>(i);
    }
  }
  return std::nullopt;
}

void TPasvPortTable::Release(int port) {
  if (start_ == 0 || port < start_ || port >= start_ + Size()) return;
  inUse_[static_cast<std::size_t>(port - start_)] = false;
}

bool TPasvPortTable::InUse(int port) const {
  if (start_ == 0 || port < start_ || port >= start_ + Size()) return false;
  return inUse_[static_cast<std::size_t>(port - start_)];
}

#include "net/WSockBuf.h"

#include <algorithm>
#include <cstring>

TBuffer::TBuffer(std::int32_t size) : data_(size > 0 ? size : kDefaultSize) {}

void TBuffer::Resize(std::int32_t size) {
  if (size <= 0) size = kDefaultSize;
  if (size == Capacity()) return;
  std::vector<char> grown(size);
  if (writePos_ > 0) {
    // Shrinking below the written bytes would lose data the queue still owes a peer.
    std::int32_t keep = std::min(writePos_, size);
    std::memcpy(grown.data(), data_.data(), keep);
    writePos_ = keep;
    readPos_ = std::min(readPos_, writePos_);
  }
  data_ = std::move(grown);
}

std::int32_t TBuffer::Write(const void* bytes, std::int32_t len) {
  std::int32_t n = std::min(len, Capacity() - writePos_);
  if (n <= 0) return 0;
  std::memcpy(data_.data() + writePos_, bytes, n);
  writePos_ += n;
  return n;
}

std::pair<const char*, std::int32_t> TBuffer::Peek() const {
  if (writePos_ == readPos_) return {nullptr, 0};
  return {data_.data() + readPos_, writePos_ - readPos_};
}

std::int32_t TBuffer::Remove(std::int32_t len) {
  std::int32_t n = std::max(0, std::min(len, writePos_ - readPos_));
  readPos_ += n;
  if (readPos_ == writePos_) readPos_ = writePos_ = 0;
  return n;
}

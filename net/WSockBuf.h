#pragma once
// One block of the send queue: bytes are appended at WritePos and taken from ReadPos;
// an emptied block rewinds so it can be filled again from its start.

#include <cstdint>
#include <utility>
#include <vector>

class TBuffer {
public:
  static constexpr std::int32_t kDefaultSize = 1514;

  // size <= 0 means kDefaultSize.
  explicit TBuffer(std::int32_t size = kDefaultSize);

  void Resize(std::int32_t size);
  // Appends as much as fits; the count taken (0 when full).
  std::int32_t Write(const void* bytes, std::int32_t len);
  // The unread bytes; (nullptr, 0) when empty.
  std::pair<const char*, std::int32_t> Peek() const;
  // Drops up to len unread bytes; the count dropped.
  std::int32_t Remove(std::int32_t len);

  std::int32_t Capacity() const { return static_cast<std::int32_t>(data_.size()); }
  std::int32_t WritePos() const { return writePos_; }
  std::int32_t ReadPos() const { return readPos_; }
  std::int32_t Count() const { return writePos_ - readPos_; }

private:
  std::vector<char> data_;
  std::int32_t writePos_ = 0;
  std::int32_t readPos_ = 0;
};

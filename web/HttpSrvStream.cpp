#include "web/HttpSrvStream.h"

#include <algorithm>
#include <cstring>

std::int64_t THttpMemoryStream::Read(char* buf, std::int64_t count) {
  std::size_t n = std::min<std::size_t>(std::size_t(std::max<std::int64_t>(count, 0)),
                                        data_.size() - pos_);
  std::memcpy(buf, data_.data() + pos_, n);
  pos_ += n;
  return std::int64_t(n);
}

std::unique_ptr<THttpFileStream> THttpFileStream::Open(const std::string& path,
                                                       THostStatus* status) {
  return Open(THostPlace::Named(path), status);
}

std::unique_ptr<THttpFileStream> THttpFileStream::Open(const THostPlace& place,
                                                       THostStatus* status) {
  auto stream = std::make_unique<THttpFileStream>();
  TOpenOptions options;
  options.transfer = true;
  THostStatus opened = stream->file_.Open(place, THostFile::hfmRead, options);
  if (status) *status = opened;
  if (!opened) return nullptr;
  stream->size_ = stream->left_ = stream->file_.SizeAtOpen();
  return stream;
}

bool THttpFileStream::TakeFileRange(int& fd, std::int64_t& offset, std::int64_t& length,
                                    std::int64_t atLeast) {
  if (left_ <= 0 || left_ < atLeast) return false;
  fd = file_.Fd();
  offset = file_.Position();
  length = left_;  // never past the size the head announced, should the file grow
  left_ = 0;
  return fd >= 0 && offset >= 0;
}

bool THttpFileStream::Restrict(std::int64_t offset, std::int64_t length) {
  if (!file_.Seek(offset)) return false;
  left_ = std::max<std::int64_t>(0, std::min(length, size_ - offset));
  return true;
}

std::int64_t THttpFileStream::Read(char* buf, std::int64_t count) {
  if (left_ <= 0) return 0;  // the announced size is sent: no need to ask the file
  const std::int64_t n = file_.Read(buf, std::min(count, left_));
  if (n > 0) left_ -= n;
  return n;
}

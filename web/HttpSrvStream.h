#pragma once
// Answer bodies for the HTTP engine: a connection sends whatever stream it is
// given, one block per OnDataSent, so a body is never held whole unless it is a
// page built in memory anyway.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/HostFs.h"
#include "platform/HostPlace.h"

class THttpStream {
public:
  virtual ~THttpStream() = default;
  // Bytes read into buf (0 at the end), or -1 when the source failed.
  virtual std::int64_t Read(char* buf, std::int64_t count) = 0;
  virtual std::int64_t Size() const = 0;
  virtual void SeekToEnd() = 0;
  // A stream that is a plain file with at least atLeast bytes left gives them as a
  // file range, to go to the socket without passing through the program, and reads
  // nothing more.
  virtual bool TakeFileRange(int& fd, std::int64_t& offset, std::int64_t& length,
                             std::int64_t atLeast) {
    return false;
  }
};

// A body built in memory (pages, the 401 answer).
class THttpMemoryStream : public THttpStream {
public:
  explicit THttpMemoryStream(std::string data) : data_(std::move(data)) {}
  std::int64_t Read(char* buf, std::int64_t count) override;
  std::int64_t Size() const override { return std::int64_t(data_.size()); }
  void SeekToEnd() override { pos_ = data_.size(); }

private:
  std::string data_;
  std::size_t pos_ = 0;
};

// A file opened for shared reading; others may read and write it meanwhile. Its
// size is taken once at opening and no byte past it is read: the answer head has
// already announced that length when the file grows during the transfer.
class THttpFileStream : public THttpStream {
public:
  // None when the file cannot be opened (missing, a folder, no permission); status,
  // when given, says why.
  static std::unique_ptr<THttpFileStream> Open(const std::string& path,
                                               THostStatus* status = nullptr);
  // The same at a located place, never following a link swapped in since.
  static std::unique_ptr<THttpFileStream> Open(const THostPlace& place,
                                               THostStatus* status = nullptr);
  std::int64_t Read(char* buf, std::int64_t count) override;
  std::int64_t Size() const override { return size_; }
  // When the file was last written, as it was opened (seconds since 1970, UTC).
  std::int64_t ModTime() const { return file_.ModTimeAtOpen(); }
  void SeekToEnd() override { left_ = 0; }
  // Only length bytes from offset on are read (a byte range of the file). False
  // when the file cannot be positioned there.
  bool Restrict(std::int64_t offset, std::int64_t length);
  bool TakeFileRange(int& fd, std::int64_t& offset, std::int64_t& length,
                     std::int64_t atLeast) override;

private:
  THostFile file_;
  std::int64_t size_ = 0;
  std::int64_t left_ = 0;
};

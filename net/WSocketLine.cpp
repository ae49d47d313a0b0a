// Line mode of TCustomLineWSocket: input is gathered in the socket's own buffer and
// handed out one complete line at a time.
#include <algorithm>
#include <cstring>

#include "net/WSocket.h"

namespace {
constexpr std::int32_t kUnknownPendingRead = 255;
constexpr char kBackspace = 8;
constexpr char kTab = 9;
constexpr std::size_t kTabWidth = 8;
}  // namespace

void TCustomLineWSocket::SetLineMode(bool on) {
  if (on == lineMode_) return;
  lineMode_ = on;
  // The unread part of a pending line stays at the front of the buffer and is
  // offered raw from there.
  if (!on) pendingLineLength_ = 0;
  if (!lineBuffer_.empty()) {
    auto alive = AliveToken();
    Endpoint().Post([this, alive] {
      if (!alive.expired()) Guarded([this] { LineDataPending(); });
    });
  }
}

std::int32_t TCustomLineWSocket::RcvdCount() {
  if (lineMode_) return pendingLineLength_;
  if (!lineBuffer_.empty()) return static_cast<std::int32_t>(lineBuffer_.size());
  return TCustomSocksWSocket::RcvdCount();
}

int TCustomLineWSocket::TakeHeld(void* buffer, std::int32_t size, std::int32_t available) {
  std::int32_t n = std::max(0, std::min(size, available));
  std::memcpy(buffer, lineBuffer_.data(), static_cast<std::size_t>(n));
  lineBuffer_.erase(0, static_cast<std::size_t>(n));
  // Bytes behind the held ones may be waiting in the descriptor; taking held bytes
  // must not count as leaving input unread.
  if (n > 0) NoteInputTaken();
  return n;
}

int TCustomLineWSocket::DoRecv(void* buffer, std::int32_t size) {
  if (lineMode_ && pendingLineLength_ > 0) {
    int n = TakeHeld(buffer, size, pendingLineLength_);
    pendingLineLength_ -= n;
    return n;
  }
  if (!lineMode_ && !lineBuffer_.empty())
    return TakeHeld(buffer, size, static_cast<std::int32_t>(lineBuffer_.size()));
  return PlatformRecv(buffer, size);
}

void TCustomLineWSocket::TriggerDataAvailable(std::uint16_t error) {
  if (!LineModeActive()) return TCustomSocksWSocket::TriggerDataAvailable(error);
  int n = PendingBytesQuiet();
  if (n < 0) return;
  if (n == 0) n = kUnknownPendingRead;
  const std::size_t oldCount = lineBuffer_.size();
  lineBuffer_.resize(oldCount + static_cast<std::size_t>(n));
  int got = PlatformRecv(lineBuffer_.data() + oldCount, n);
  lineBuffer_.resize(oldCount + static_cast<std::size_t>(std::max(got, 0)));
  if (got <= 0) return;
  // A line end split between two reads is found by starting a little back.
  std::size_t searchStart = oldCount > lineEnd_.size() ? oldCount - lineEnd_.size() : 0;
  if (lineEdit_) {
    searchStart = EditLine(oldCount, searchStart);
  } else if (lineEcho_) {
    Send(lineBuffer_.data() + oldCount, got);
  }
  DeliverLines(searchStart);
}

void TCustomLineWSocket::DeliverLines(std::size_t searchStart) {
  auto alive = AliveToken();
  while (LineModeActive()) {
    std::size_t p = lineBuffer_.find(lineEnd_, searchStart);
    if (p == std::string::npos) break;
    pendingLineLength_ = static_cast<std::int32_t>(p + lineEnd_.size());
    lineReceived_ = true;
    while (lineMode_ && pendingLineLength_ > 0) {
      if (!OnDataAvailable) {
        lineBuffer_.erase(0, static_cast<std::size_t>(pendingLineLength_));
        pendingLineLength_ = 0;
        break;
      }
      // A handler that does not read the line is called again for it.
      OnDataAvailable(*this, 0);
      if (alive.expired()) return;
      // Closing delivered and dropped whatever was held.
      if (State() == wsClosed) return;
    }
    searchStart = 0;
  }
  if (!LineModeActive() || lineLimit_ <= 0 || lineBuffer_.size() <= static_cast<std::size_t>(lineLimit_))
    return;
  clearData_ = true;
  TriggerLineLimitExceeded(static_cast<std::int32_t>(lineBuffer_.size()), clearData_);
  if (alive.expired()) return;
  if (clearData_) {
    lineBuffer_.clear();
    pendingLineLength_ = 0;
  }
  clearData_ = false;
}

void TCustomLineWSocket::TriggerLineLimitExceeded(std::int32_t rcvdLength, bool& clearData) {
  if (OnLineLimitExceeded) OnLineLimitExceeded(*this, rcvdLength, clearData);
}

void TCustomLineWSocket::LineDataPending() {
  auto alive = AliveToken();
  while (!lineBuffer_.empty()) {
    if (LineModeActive()) {
      DeliverLines(0);
      return;
    }
    if (!OnDataAvailable) return;
    std::size_t before = lineBuffer_.size();
    OnDataAvailable(*this, 0);
    if (alive.expired() || lineBuffer_.size() == before) return;
  }
}

std::size_t TCustomLineWSocket::EditLine(std::size_t oldCount, std::size_t searchStart) {
  std::string edited = lineBuffer_.substr(0, oldCount);
  edited.reserve(lineBuffer_.size() + 256);
  std::string echo;
  std::size_t lowest = oldCount;
  bool changed = false;
  for (std::size_t i = oldCount; i < lineBuffer_.size(); ++i) {
    char c = lineBuffer_[i];
    if (c == kBackspace) {
      changed = true;
      if (!edited.empty()) {
        edited.pop_back();
        echo += "\b \b";
      }
      lowest = std::min(lowest, edited.size());
    } else if (c == kTab) {
      changed = true;
      std::size_t spaces = kTabWidth - edited.size() % kTabWidth;
      edited.append(spaces, ' ');
      echo.append(spaces, ' ');
    } else {
      edited += c;
      echo += c;
    }
  }
  if (lineEcho_ && !echo.empty()) SendText(echo);
  if (!changed) return searchStart;
  lineBuffer_ = std::move(edited);
  return lowest > lineEnd_.size() ? lowest - lineEnd_.size() : 0;
}

void TCustomLineWSocket::TriggerSessionClosed(std::uint16_t error) {
  auto alive = AliveToken();
  lineReceived_ = true;
  if (lineMode_ && !lineBuffer_.empty() && !clearData_) {
    // The peer's last words, even without a line end.
    pendingLineLength_ = static_cast<std::int32_t>(lineBuffer_.size());
    while (lineMode_ && pendingLineLength_ > 0) {
      if (!OnDataAvailable) break;
      std::size_t before = lineBuffer_.size();
      OnDataAvailable(*this, 0);
      if (alive.expired()) return;
      // Nothing more will arrive; a handler that takes nothing would loop forever.
      if (lineBuffer_.size() == before) break;
    }
  }
  lineBuffer_.clear();
  lineBuffer_.shrink_to_fit();
  pendingLineLength_ = 0;
  TCustomSocksWSocket::TriggerSessionClosed(error);
}

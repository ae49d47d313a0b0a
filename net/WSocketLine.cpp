// Line mode of TCustomLineWSocket: input is gathered in the socket's own buffer and
// handed out one complete line at a time.
#include <algorithm>
#include <cstring>

#include "net/WSocket.h"

namespace {
constexpr char kBackspace = 8;
constexpr char kTab = 9;
constexpr std::size_t kTabWidth = 8;
constexpr std::size_t kMaxReleasedCapacity = 4096;
// Asking for more than is known to wait lets a read that falls short tell that the
// descriptor is empty, which spares asking the system again after each request.
constexpr std::int32_t kLineReadAtLeast = 4096;
}  // namespace

void TCustomLineWSocket::SetLineMode(bool on) {
  if (on == lineMode_) return;
  lineMode_ = on;
  // The unread part of a pending line stays at the front of the buffer and is
  // offered raw from there; raw input is never held back, so reading goes on.
  if (!on) {
    pendingLineLength_ = 0;
    SetInputHeld(false);
  }
  if (LineBufferCount() > 0) {
    auto alive = AliveToken();
    Endpoint().Post([this, alive] {
      if (!alive.expired()) Guarded([this] { LineDataPending(); });
    });
  }
}

std::int32_t TCustomLineWSocket::RcvdCount() {
  if (lineMode_) return pendingLineLength_;
  if (LineBufferCount() > 0) return LineBufferCount();
  return TCustomSocksWSocket::RcvdCount();
}

void TCustomLineWSocket::DropHeld(std::size_t count) {
  lineStart_ += count;
  if (lineStart_ < lineBuffer_.size()) return;
  lineStart_ = 0;
  // A flood leaves a large buffer behind; an ordinary peer never needs one.
  if (lineBuffer_.capacity() > kMaxReleasedCapacity)
    std::string().swap(lineBuffer_);
  else
    lineBuffer_.clear();
}

// The bytes taken so far are dropped only when a read would not fit behind the held
// ones; editing measures tab stops from the start of the buffer, so it always drops.
void TCustomLineWSocket::MakeRoom(std::size_t count) {
  if (lineStart_ == 0) return;
  if (!lineEdit_ && lineBuffer_.size() + count <= lineBuffer_.capacity()) return;
  lineBuffer_.erase(0, lineStart_);
  lineStart_ = 0;
}

int TCustomLineWSocket::TakeHeld(void* buffer, std::int32_t size, std::int32_t available) {
  std::int32_t n = std::max(0, std::min(size, available));
  std::memcpy(buffer, lineBuffer_.data() + lineStart_, static_cast<std::size_t>(n));
  DropHeld(static_cast<std::size_t>(n));
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
  if (!lineMode_ && LineBufferCount() > 0) return TakeHeld(buffer, size, LineBufferCount());
  return PlatformRecv(buffer, size);
}

void TCustomLineWSocket::TriggerDataAvailable(std::uint16_t error) {
  if (!LineModeActive()) return TCustomSocksWSocket::TriggerDataAvailable(error);
  // Lines of an earlier read still wait for their turn; reading on would only
  // grow the buffer.
  if (InputHeld()) return;
  int n = PendingBytesQuiet();
  if (n < 0) return;
  n = std::min(std::max(n, kLineReadAtLeast), kReadBudget);
  MakeRoom(static_cast<std::size_t>(n));
  const std::size_t oldEnd = lineBuffer_.size();
  lineBuffer_.resize(oldEnd + static_cast<std::size_t>(n));
  int got = PlatformRecv(lineBuffer_.data() + oldEnd, n);
  lineBuffer_.resize(oldEnd + static_cast<std::size_t>(std::max(got, 0)));
  if (got <= 0) return;
  // A line end split between two reads is found by starting a little back.
  std::size_t searchStart =
      std::max(lineStart_, oldEnd > lineEnd_.size() ? oldEnd - lineEnd_.size() : 0);
  if (lineEdit_) {
    searchStart = EditLine(oldEnd, searchStart);
  } else if (lineEcho_) {
    Send(lineBuffer_.data() + oldEnd, got);
  }
  DeliverLines(searchStart);
}

void TCustomLineWSocket::DeliverLines(std::size_t searchStart) {
  auto alive = AliveToken();
  int quota = kLinesPerTurn;
  while (LineModeActive()) {
    std::size_t p = lineBuffer_.find(lineEnd_, std::max(searchStart, lineStart_));
    if (p == std::string::npos) break;
    // This turn's share is taken, or answers the peer does not read hold back the
    // lines that would make more of them.
    if (quota-- == 0 || OutputBlocked()) return HoldLines();
    pendingLineLength_ = static_cast<std::int32_t>(p + lineEnd_.size() - lineStart_);
    lineReceived_ = true;
    while (lineMode_ && pendingLineLength_ > 0) {
      if (!OnDataAvailable) {
        DropHeld(static_cast<std::size_t>(pendingLineLength_));
        pendingLineLength_ = 0;
        break;
      }
      // A handler that does not read the line is called again for it.
      OnDataAvailable(*this, 0);
      if (alive.expired()) return;
      // Closing delivered and dropped whatever was held.
      if (State() == wsClosed) return;
    }
    searchStart = lineStart_;
  }
  SetInputHeld(false);
  if (!LineModeActive() || lineLimit_ <= 0 || LineBufferCount() <= lineLimit_) return;
  clearData_ = true;
  TriggerLineLimitExceeded(LineBufferCount(), clearData_);
  if (alive.expired()) return;
  if (clearData_) {
    DropHeld(lineBuffer_.size() - lineStart_);
    pendingLineLength_ = 0;
  }
  clearData_ = false;
}

void TCustomLineWSocket::HoldLines() {
  SetInputHeld(true);
  // Held for unsent output, DeliverHeldInput goes on once it has drained.
  if (OutputBlocked() || deliveryPosted_) return;
  deliveryPosted_ = true;
  auto alive = AliveToken();
  Endpoint().Post([this, alive] {
    if (alive.expired()) return;
    deliveryPosted_ = false;
    Guarded([this] { LineDataPending(); });
  });
}

void TCustomLineWSocket::DeliverHeldInput() {
  if (InputHeld() && !deliveryPosted_) LineDataPending();
}

void TCustomLineWSocket::TriggerLineLimitExceeded(std::int32_t rcvdLength, bool& clearData) {
  if (OnLineLimitExceeded) OnLineLimitExceeded(*this, rcvdLength, clearData);
}

void TCustomLineWSocket::LineDataPending() {
  auto alive = AliveToken();
  while (LineBufferCount() > 0) {
    if (LineModeActive()) {
      DeliverLines(lineStart_);
      return;
    }
    if (!OnDataAvailable) return;
    std::int32_t before = LineBufferCount();
    OnDataAvailable(*this, 0);
    if (alive.expired() || LineBufferCount() == before) return;
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
  if (lineMode_ && LineBufferCount() > 0 && !clearData_) OfferLastLines();
  if (alive.expired()) return;
  std::string().swap(lineBuffer_);
  lineStart_ = 0;
  pendingLineLength_ = 0;
  TCustomSocksWSocket::TriggerSessionClosed(error);
}

// Lines still waiting for their turn are offered one by one, then the peer's last
// words, even without a line end.
void TCustomLineWSocket::OfferLastLines() {
  auto alive = AliveToken();
  while (lineMode_ && LineBufferCount() > 0 && OnDataAvailable) {
    std::size_t p = lineEnd_.empty() ? std::string::npos : lineBuffer_.find(lineEnd_, lineStart_);
    pendingLineLength_ = p == std::string::npos
                             ? LineBufferCount()
                             : static_cast<std::int32_t>(p + lineEnd_.size() - lineStart_);
    while (lineMode_ && pendingLineLength_ > 0) {
      std::int32_t before = LineBufferCount();
      OnDataAvailable(*this, 0);
      if (alive.expired()) return;
      // Nothing more will arrive; a handler that takes nothing would loop forever.
      if (LineBufferCount() == before) return;
    }
  }
}

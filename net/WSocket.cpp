// TCustomWSocket: lifecycle, connecting and listening, the send queue, the receive
// loop and the translation of descriptor readiness into the socket's events.
#include "net/WSocket.h"

#include <algorithm>

#include "platform/AsyncLookup.h"

namespace {

constexpr std::int32_t kDiscardBlock = 1024;
constexpr std::int32_t kUnknownPendingRead = 255;
// How long a listener stops accepting when the process has no descriptor left.
constexpr std::chrono::milliseconds kAcceptBackoff{100};

bool ConnectionGone(int err) {
  return err == sockerr::kConnReset || err == sockerr::kNotSocket || err == sockerr::kNotConn ||
         err == sockerr::kInvalid || err == sockerr::kConnAborted;
}

// Failures of accept that say nothing about the listening socket itself.
bool TransientAcceptError(int err) {
  return err != sockerr::kBadFile && err != sockerr::kNotSocket && err != sockerr::kInvalid &&
         err != sockerr::kFault;
}

}  // namespace

TCustomWSocket::TCustomWSocket() : loop_(EventLoop::Instance()) { ResetToInitialState(); }

TCustomWSocket::~TCustomWSocket() {
  destroying_ = true;
  lookup_.reset();
  if (acceptBackoff_ != 0) loop_.CancelTimer(acceptBackoff_);
  StopWatching();
}

void TCustomWSocket::ResetToInitialState() {
  proto_ = "tcp";
  protoAssigned_ = true;
  protoResolved_ = false;
  addrAssigned_ = portAssigned_ = false;
  addrResolved_ = portResolved_ = false;
  localPort_ = "0";
  localPortResolved_ = false;
  localAddr_ = "0.0.0.0";
  lingerOnOff_ = wsLingerOn;
  lingerTimeout_ = 0;
  DropHandle();
  state_ = wsClosed;
  // Bytes still queued belong to the connection that ended; a later connection
  // (SetSocketHandle reuses the object) must not send them.
  ClearSendQueue();
  sendQueueEmpty_ = true;
  paused_ = false;
  readCount_ = 0;
  sessionClosedFired_ = false;
  acceptSuspended_ = false;
  ResetInputState();
  if (acceptBackoff_ != 0) {
    loop_.CancelTimer(acceptBackoff_);
    acceptBackoff_ = 0;
  }
}

void TCustomWSocket::ClearSendQueue() {
  // One emptied block is kept for reuse.
  while (sendQueue_.size() > 1) sendQueue_.pop_back();
  if (!sendQueue_.empty()) sendQueue_.front().Remove(sendQueue_.front().Count());
  queuedBytes_ = 0;
  outputBlocked_ = false;
  fileFd_ = -1;
  fileLeft_ = 0;
}

void TCustomWSocket::ChangeState(TSocketState newState) {
  TSocketState old = state_;
  state_ = newState;
  if (old != newState) TriggerChangeState(old, newState);
}

// ---- Errors ----

void TCustomWSocket::RaiseException(const std::string& message, int code) {
  lastErrorText_ = message;
  if (OnError) {
    TriggerError();
    return;
  }
  throw ESocketException(message, code);
}

void TCustomWSocket::SocketError(const std::string& op, int error) {
  std::string message =
      "Error " + std::to_string(error) + " in function " + op + "\r\n" + SocketErrorText(error);
  if (error == sockerr::kConnReset || error == sockerr::kNotConn) {
    auto alive = AliveToken();
    bool wasOpen = state_ != wsClosed;
    DropHandle();
    if (wasOpen && !sessionClosedFired_ && !destroying_) {
      sessionClosedFired_ = true;
      TriggerSessionClosed(static_cast<std::uint16_t>(error));
      if (alive.expired()) return;
    }
    ChangeState(wsClosed);
    if (alive.expired()) return;
  }
  lastError_ = error;
  RaiseException(message, error);
}

void TCustomWSocket::Guarded(const std::function<void()>& fn) {
  auto alive = AliveToken();
  try {
    fn();
  } catch (const std::exception& e) {
    if (!alive.expired()) HandleBackgroundException(e);
  } catch (...) {
    if (!alive.expired()) HandleBackgroundException(std::runtime_error("Unknown exception"));
  }
}

void TCustomWSocket::HandleBackgroundException(const std::exception& e) {
  auto alive = AliveToken();
  bool canClose = true;
  if (OnBgException) {
    try {
      OnBgException(*this, e, canClose);
    } catch (...) {
      // The handler of last resort failing leaves nothing else to tell.
    }
  }
  if (alive.expired() || !canClose) return;
  try {
    Abort();
  } catch (...) {
  }
}

void TCustomWSocket::RunGuardedPosted(const std::function<void()>& fn) {
  auto alive = AliveToken();
  endpoint_.Post([this, alive, fn] {
    if (!alive.expired()) Guarded(fn);
  });
}

// ---- Event triggers ----

void TCustomWSocket::TriggerDataAvailable(std::uint16_t error) {
  if (OnDataAvailable) {
    OnDataAvailable(*this, error);
    return;
  }
  // Nobody reads: drop the input so the peer is not stalled.
  char discard[kDiscardBlock];
  DoRecv(discard, sizeof discard);
}

void TCustomWSocket::TriggerSessionAvailable(std::uint16_t error) {
  if (OnSessionAvailable) OnSessionAvailable(*this, error);
}
void TCustomWSocket::TriggerSessionConnected(std::uint16_t error) {
  if (OnSessionConnected) OnSessionConnected(*this, error);
}
void TCustomWSocket::TriggerSessionClosed(std::uint16_t error) {
  if (OnSessionClosed) OnSessionClosed(*this, error);
}
void TCustomWSocket::TriggerDataSent(std::uint16_t error) {
  if (OnDataSent) OnDataSent(*this, error);
}
void TCustomWSocket::TriggerSendData(std::int32_t bytesSent) {
  if (OnSendData) OnSendData(*this, bytesSent);
}
void TCustomWSocket::TriggerChangeState(TSocketState oldState, TSocketState newState) {
  if (OnChangeState) OnChangeState(*this, oldState, newState);
}
void TCustomWSocket::TriggerDnsLookupDone(std::uint16_t error) {
  if (OnDnsLookupDone) OnDnsLookupDone(*this, error);
}
void TCustomWSocket::TriggerError() {
  if (OnError) OnError(*this);
}

// ---- Watching the descriptor ----

void TCustomWSocket::UpdateWatch() {
  std::uint32_t want = 0;
  if (handle_.Valid() && !paused_) {
    switch (state_) {
      case wsListening:
        if (!acceptSuspended_ && acceptBackoff_ == 0) want = ready::kIn;
        break;
      case wsConnecting:
        want = ready::kOut;
        break;
      case wsConnected:
        // While held back the peer's end is not watched either: it comes after the
        // bytes still unread, and a half-closed peer would report it on every turn.
        // A reset still shows (errors and hang-ups are always reported), and queued
        // output keeps the connection writing, so a peer that went away is noticed.
        if (tlsPhase_ == tlsHandshaking) {
          want = tlsWaitsFor_ == tlsWantWrite ? ready::kOut : ready::kIn;
          break;
        }
        if (!receiveShut_ && !outputBlocked_ && !inputHeld_)
          want = (readSuspended_ || tlsPhase_ == tlsFlushing ? 0u : ready::kIn) | ready::kPeerClosed;
        // Write readiness only while something waits, or the loop would spin.
        if (!sendQueueEmpty_) want |= ready::kOut;
        // An encrypted read may have to send first, and a write to receive.
        if (tlsPhase_ == tlsOn && tlsWaitsFor_ == tlsWantWrite) want |= ready::kOut;
        if (tlsPhase_ == tlsOn && tlsWaitsFor_ == tlsWantRead) want |= ready::kIn;
        // Bytes already decrypted never show on the descriptor.
        if (tlsPhase_ == tlsOn && (want & ready::kIn) && !readSuspended_ &&
            (tls_->Pending() > 0 || tlsPeerEnded_))
          PostTlsInput(ready::kIn | (tlsPeerEnded_ ? ready::kPeerClosed : 0u));
        break;
      default:
        break;
    }
  }
  int fd = handle_.Get();
  if (watchedFd_ >= 0 && (want == 0 || watchedFd_ != fd)) StopWatching();
  if (want == 0) return;
  if (watchedFd_ < 0) {
    loop_.Watch(fd, want, [this](std::uint32_t events) { HandleReadiness(events); });
    watchedFd_ = fd;
  } else {
    loop_.Modify(fd, want);
  }
}

void TCustomWSocket::StopWatching() {
  if (watchedFd_ < 0) return;
  loop_.Unwatch(watchedFd_);
  watchedFd_ = -1;
}

void TCustomWSocket::DropHandle() {
  StopWatching();
  // The session goes first: it may still refer to the descriptor.
  tls_.reset();
  tlsPhase_ = tlsOff;
  tlsWaitsFor_ = tlsDone;
  tlsPeerEnded_ = tlsEndedUncleanly_ = false;
  tlsContext_ = nullptr;
  sendShut_ = false;
  if (handle_.Valid()) {
    handle_.Reset();
    ++generation_;
  }
  // A socket object may outlive its connection (an FTP session's data socket).
  tallied_.Drop();
}

// ---- Readiness ----

void TCustomWSocket::HandleReadiness(std::uint32_t events) {
  Guarded([&] { DispatchReadiness(events); });
}

void TCustomWSocket::DispatchReadiness(std::uint32_t events) {
  if (paused_ || !handle_.Valid()) return;
  auto alive = AliveToken();
  // Within one readiness the pending count is asked again and again (before the
  // loop, by line mode, after each handler); only a read changes it meanwhile.
  struct TMemoScope {
    TCustomWSocket& s;
    std::weak_ptr<bool> alive;
    bool saved;
    ~TMemoScope() {
      if (alive.expired()) return;
      s.memoPending_ = saved;
      s.pendingMemo_ = kNoMemo;
    }
  } memoScope{*this, alive, memoPending_};
  memoPending_ = true;
  pendingMemo_ = kNoMemo;
  const std::uint64_t gen = generation_;
  auto same = [&] { return !alive.expired() && generation_ == gen && handle_.Valid(); };
  const int fd = handle_.Get();

  if (state_ == wsListening) {
    acceptCalled_ = false;
    TriggerSessionAvailable(0);
    // A handler that did not accept is not told again until it does, as with a
    // read notice; level-triggered readiness would call it again at once.
    if (same() && !acceptCalled_ && state_ == wsListening) {
      acceptSuspended_ = true;
      UpdateWatch();
    }
    return;
  }

  if (state_ == wsConnecting) {
    if (!(events & (ready::kOut | ready::kError | ready::kHangup))) return;
    int err = native::PendingError(fd);
    ChangeState(wsConnected);
    if (!same()) return;
    TriggerSessionConnected(static_cast<std::uint16_t>(err));
    if (!same()) return;
    if (err != 0) {
      if (state_ != wsClosed) Close();
      return;
    }
    UpdateWatch();
    // Write readiness follows a completed connect, as it did on the original
    // platform; an owner may start sending from OnDataSent.
    if (events & ready::kOut) {
      WriteReady(0);
      if (!same()) return;
    }
  }
  if (state_ != wsConnected) return;
  if (tlsPhase_ == tlsSniffing && !SniffTls()) return;
  if (tlsPhase_ == tlsHandshaking) {
    HandshakeStep();
    return;
  }
  if (tlsPhase_ == tlsOn && tlsWaitsFor_ != tlsDone) {
    // What the last call waited for came: both directions go again.
    tlsWaitsFor_ = tlsDone;
    events |= ready::kIn | (sendQueueEmpty_ ? 0u : ready::kOut);
    UpdateWatch();
  }

  const bool hangup = (events & (ready::kError | ready::kHangup)) ||
                      ((events & ready::kPeerClosed) && !receiveShut_);
  int closeError = 0;
  if (events & ready::kError) closeError = native::PendingError(fd);
  const std::uint64_t budgetEnd = bytesTaken_ + kReadBudget;

  if ((events & ready::kIn) && !receiveShut_ && !outputBlocked_ && !inputHeld_ &&
      tlsPhase_ != tlsFlushing && PendingBytesQuiet() > 0) {
    ReceiveLoop(!options_.Has(wsoNoReceiveLoop), 0, budgetEnd);
    if (!same()) return;
  }
  if ((events & ready::kOut) && !sendQueueEmpty_) {
    WriteReady(0);
    if (!same()) return;
  }
  if (hangup) {
    // The close is reported once, after every byte still pending was offered.
    ReceiveLoop(true, static_cast<std::uint16_t>(closeError), budgetEnd);
    if (!same()) return;
    if (CloseWaitsForInput(events, budgetEnd)) return;
    // A peer that only ended its sending side still reads: an owner finishing an
    // answer keeps the connection and stops listening instead.
    if (keepOpenOnPeerEnd_ && !(events & (ready::kError | ready::kHangup))) {
      receiveShut_ = peerEnded_ = true;
      UpdateWatch();
      return;
    }
    if (!sessionClosedFired_) {
      sessionClosedFired_ = true;
      TriggerSessionClosed(static_cast<std::uint16_t>(closeError));
      if (!same()) return;
    }
    if (state_ != wsClosed) Close();
  }
}

void TCustomWSocket::ReceiveLoop(bool loop, std::uint16_t error, std::uint64_t budgetEnd) {
  auto alive = AliveToken();
  const std::uint64_t gen = generation_;
  auto same = [&] { return !alive.expired() && generation_ == gen && handle_.Valid(); };
  if (bytesTaken_ >= budgetEnd) return;
  std::uint64_t readsBefore = platformReads_;
  for (;;) {
    lastError_ = 0;
    readsBefore = platformReads_;
    try {
      TriggerDataAvailable(error);
    } catch (...) {
      // An exception inside the receive loop ends the loop and goes no further.
      return;
    }
    if (!same()) return;
    if (!loop || lastError_ != 0) break;
    // A handler that took nothing would be called forever.
    if (platformReads_ == readsBefore) break;
    // Held back, or this event had its share: readiness is level-triggered, so the
    // rest comes on a later turn, after the loop has served everybody else.
    if (outputBlocked_ || inputHeld_ || bytesTaken_ >= budgetEnd) break;
    // A read that got less than it asked for emptied the descriptor: whatever comes
    // next is announced by the loop, with no need to ask the system now.
    if (lastReadShort_ || PendingBytesQuiet() <= 0) break;
  }
  if (platformReads_ == readsBefore && !outputBlocked_ && !inputHeld_ && state_ == wsConnected &&
      PendingBytesQuiet() > 0) {
    readSuspended_ = true;
    UpdateWatch();
  }
}

// The peer only half-closed (no error, no hang-up) while input before its end still
// waits: held back, or beyond this event's budget. The end is reported again once
// reading resumes, so the input is offered first. A connection that failed can
// answer nothing more and closes at once.
bool TCustomWSocket::CloseWaitsForInput(std::uint32_t events, std::uint64_t budgetEnd) {
  if (events & (ready::kError | ready::kHangup)) return false;
  if (outputBlocked_ || inputHeld_) return true;
  return bytesTaken_ >= budgetEnd && PendingBytesQuiet() > 0;
}

int TCustomWSocket::PendingBytesQuiet() const {
  if (!handle_.Valid()) return -1;
  if (memoPending_ && pendingMemo_ != kNoMemo) return pendingMemo_;
  int n = 0;
  if (native::PendingBytes(handle_.Get(), n) != 0) return -1;
  if (tlsPhase_ == tlsOn) n += static_cast<int>(tls_->Pending());
  if (memoPending_) pendingMemo_ = n;
  return n;
}

// ---- Sending ----

void TCustomWSocket::QueueData(const void* data, std::int32_t len) {
  AppendToQueue(data, len);
  CheckOutputLevel();
}

void TCustomWSocket::AppendToQueue(const void* data, std::int32_t len) {
  if (len < 1) return;
  queuedBytes_ += len;
  const char* p = static_cast<const char*>(data);
  if (sendQueue_.empty()) sendQueue_.emplace_back(sendBlockSize_);
  while (len > 0) {
    std::int32_t n = sendQueue_.back().Write(p, len);
    if (n == 0) {
      sendQueue_.emplace_back(sendBlockSize_);
      continue;
    }
    p += n;
    len -= n;
  }
}

int TCustomWSocket::Send(const void* data, std::int32_t len) {
  if (state_ != wsConnected) {
    SocketError("Send", sockerr::kNotConn);
    return -1;
  }
  auto alive = AliveToken();
  sendQueueEmpty_ = false;
  AppendToQueue(data, len);
  TryToSend();
  if (alive.expired()) return len <= 0 ? 0 : len;
  // OnDataSent must come from the loop, never from inside Send.
  if (sendQueueEmpty_ && handle_.Valid()) PostWriteNotification();
  return len <= 0 ? 0 : len;
}

int TCustomWSocket::SendText(std::string_view text) {
  return Send(text.data(), static_cast<std::int32_t>(text.size()));
}

void TCustomWSocket::PostWriteNotification() {
  const std::uint64_t gen = generation_;
  RunGuardedPosted([this, gen] {
    if (gen != generation_ || paused_ || !handle_.Valid() || state_ != wsConnected) return;
    WriteReady(0);
  });
}

void TCustomWSocket::WriteReady(std::uint16_t error) {
  auto alive = AliveToken();
  TryToSend();
  if (alive.expired()) return;
  // An owner told it may send now would send in clear what must go encrypted.
  if (sendQueueEmpty_ && handle_.Valid() && !TlsPending()) TriggerDataSent(error);
}

void TCustomWSocket::TryToSend() {
  // Nothing may go out in clear once the handshake has begun.
  if (!handle_.Valid() || tlsPhase_ == tlsHandshaking) return;
  auto alive = AliveToken();
  const std::uint64_t gen = generation_;
  for (;;) {
    if (sendQueue_.empty()) {
      if (fileLeft_ > 0 && !SendFromFile()) return;
      sendQueueEmpty_ = fileLeft_ == 0;
      break;
    }
    TBuffer& block = sendQueue_.front();
    auto [p, len] = block.Peek();
    if (len == 0) {
      if (sendQueue_.size() > 1) {
        sendQueue_.pop_front();
        continue;
      }
      if (fileLeft_ > 0 && !SendFromFile()) return;
      sendQueueEmpty_ = fileLeft_ == 0;
      break;
    }
    int err = 0;
    // The queued blocks go in one call (a head and a page, a burst of replies):
    // each block still gets its own OnSendData, as before.
    native::TSendPiece pieces[64];
    int count = 0;
    std::int64_t offered = 0;
    if (sendFlags_ == wsSendUrgent) {
      pieces[count++] = {p, static_cast<std::size_t>(len)};
      offered = len;
    } else {
      for (TBuffer& b : sendQueue_) {
        auto [bp, blen] = b.Peek();
        if (blen == 0) continue;
        pieces[count++] = {bp, static_cast<std::size_t>(blen)};
        offered += blen;
        if (count == 64) break;
      }
    }
    // The session encrypts one record at a time, unless the kernel does it.
    const bool viaSession = tlsPhase_ == tlsOn && !tls_->KtlsSend();
    long n = viaSession   ? TlsSendQueued(err)
             : count == 1 ? native::Send(handle_.Get(), p, static_cast<std::size_t>(len),
                                         sendFlags_ == wsSendUrgent, err)
                          : native::SendPieces(handle_.Get(), pieces, count, err);
    if (viaSession) offered = n;
    if (n < 0) {
      if (err == sockerr::kWouldBlock) {
        NoteSendStalled();
        break;
      }
      lastError_ = err;
      if (ConnectionGone(err)) {
        sessionClosedFired_ = true;
        Close();
        if (alive.expired()) return;
        TriggerSessionClosed(static_cast<std::uint16_t>(err));
        return;
      }
      SocketError("TryToSend failed", err);
      return;
    }
    if (n == 0) break;
    for (long left = n; left > 0;) {
      TBuffer& front = sendQueue_.front();
      const std::int32_t taken = static_cast<std::int32_t>(std::min<long>(left, front.Count()));
      // Taken out before the event: a handler that sends again must not resend these.
      front.Remove(taken);
      queuedBytes_ -= taken;
      left -= taken;
      if (front.Count() == 0 && sendQueue_.size() > 1) sendQueue_.pop_front();
      if (taken > 0) TriggerSendData(taken);
      if (alive.expired() || generation_ != gen || !handle_.Valid()) return;
    }
    if (n < offered) {
      NoteSendStalled();
      break;
    }
  }
  CheckOutputLevel();
  UpdateWatch();
  if (tlsPhase_ == tlsFlushing && sendQueueEmpty_) PostHandshakeStart();
}

void TCustomWSocket::SendFileRange(int fd, std::int64_t offset, std::int64_t length) {
  if (!handle_.Valid() || length <= 0) {
    if (handle_.Valid()) Send(nullptr, 0);
    return;
  }
  fileFd_ = fd;
  fileOffset_ = offset;
  fileLeft_ = length;
  sendQueueEmpty_ = false;
  auto alive = AliveToken();
  TryToSend();
  if (alive.expired()) return;
  // OnDataSent must come from the loop, never from inside this call.
  if (sendQueueEmpty_ && handle_.Valid()) PostWriteNotification();
}

bool TCustomWSocket::SendFromFile() {
  auto alive = AliveToken();
  const std::uint64_t gen = generation_;
  std::int64_t budget = kFileTurnBudget;
  while (fileLeft_ > 0 && budget > 0) {
    int err = 0;
    const auto count = static_cast<std::size_t>(std::min({fileLeft_, kFileStep, budget}));
    long n = tlsPhase_ == tlsOn ? TlsSendFromFile(count, err)
                                : native::SendFile(handle_.Get(), fileFd_, &fileOffset_, count, err);
    if (n < 0) {
      if (err == sockerr::kWouldBlock) break;
      lastError_ = err;
      fileLeft_ = 0;
      if (ConnectionGone(err)) {
        sessionClosedFired_ = true;
        Close();
        if (alive.expired()) return false;
        TriggerSessionClosed(static_cast<std::uint16_t>(err));
        return false;
      }
      SocketError("SendFile failed", err);
      return false;
    }
    // The file ended before the length announced (it shrank): what there was has
    // gone, as a block-by-block send would have sent it.
    if (n == 0) {
      fileLeft_ = 0;
      break;
    }
    fileLeft_ -= n;
    budget -= n;
    TriggerSendData(static_cast<std::int32_t>(n));
    if (alive.expired() || generation_ != gen || !handle_.Valid()) return false;
  }
  if (fileLeft_ == 0)
    fileFd_ = -1;
  else
    NoteSendStalled();  // full, or this turn's share is sent: the rest waits for the loop
  return true;
}

// What one connection learned about its input and its peer; a new one starts afresh.
void TCustomWSocket::ResetInputState() {
  readSuspended_ = receiveShut_ = inputHeld_ = false;
  keepOpenOnPeerEnd_ = peerEnded_ = false;
  unsentAtStall_ = -1;
}

void TCustomWSocket::NoteSendStalled() {
  if (handle_.Valid()) unsentAtStall_ = native::UnsentBytes(handle_.Get());
}

bool TCustomWSocket::PeerEndedQuietly() const {
  char probe = 0;
  int err = 0;
  return handle_.Valid() && native::PeekBytes(handle_.Get(), &probe, 1, err) == 0;
}

int TCustomWSocket::UnsentByteCount() const {
  return handle_.Valid() ? native::UnsentBytes(handle_.Get()) : -1;
}

bool TCustomWSocket::PeerTookSentBytes() {
  if (!handle_.Valid() || unsentAtStall_ < 0) return false;
  const int now = native::UnsentBytes(handle_.Get());
  const bool took = now >= 0 && now < unsentAtStall_;
  unsentAtStall_ = now;
  return took;
}

void TCustomWSocket::CheckOutputLevel() {
  if (!outputBlocked_ && queuedBytes_ > kOutputHighWater) {
    outputBlocked_ = true;
    UpdateWatch();
  } else if (outputBlocked_ && queuedBytes_ <= kOutputLowWater) {
    outputBlocked_ = false;
    UpdateWatch();
    const std::uint64_t gen = generation_;
    RunGuardedPosted([this, gen] {
      if (gen == generation_ && handle_.Valid() && !outputBlocked_) DeliverHeldInput();
    });
  }
}

void TCustomWSocket::Flush() {
  auto alive = AliveToken();
  while (!alive.expired() && handle_.Valid() && !sendQueueEmpty_) {
    TryToSend();
    if (alive.expired() || !handle_.Valid() || sendQueueEmpty_) break;
    // Waits for readiness instead of spinning; it still runs everything else.
    loop_.RunOnce(50);
  }
}

// ---- Receiving ----

int TCustomWSocket::PlatformRecv(void* buffer, std::int32_t size) {
  if (!handle_.Valid()) {
    lastError_ = sockerr::kNotSocket;
    return -1;
  }
  if (tlsPhase_ == tlsOn) return TlsRecv(buffer, size);
  // What follows the command that asked for TLS is the handshake, not more input
  // in clear, even when it is already here.
  if (tlsPhase_ != tlsOff) {
    lastError_ = sockerr::kWouldBlock;
    return -1;
  }
  NoteInputTaken();
  pendingMemo_ = kNoMemo;
  int err = 0;
  long n = native::Recv(handle_.Get(), buffer, static_cast<std::size_t>(std::max(size, 0)), err);
  if (n < 0) {
    lastError_ = err;
    return -1;
  }
  lastReadShort_ = n < size;
  bytesTaken_ += static_cast<std::uint64_t>(n);
  return static_cast<int>(n);
}

int TCustomWSocket::ReceiveToFile(int fileFd, std::int32_t size, int& fileErrno) {
  fileErrno = 0;
  if (!CanReceiveToFile()) {
    lastError_ = sockerr::kNotSocket;
    return -1;
  }
  NoteInputTaken();
  pendingMemo_ = kNoMemo;
  int err = 0;
  const long n = native::SpliceToFile(handle_.Get(), fileFd,
                                      static_cast<std::size_t>(std::max(size, 0)), err, fileErrno);
  if (n < 0) {
    lastError_ = err;
    return -1;
  }
  lastReadShort_ = n < size;
  bytesTaken_ += static_cast<std::uint64_t>(n);
  CountRead(static_cast<int>(n));
  return static_cast<int>(n);
}

void TCustomWSocket::NoteInputTaken() {
  ++platformReads_;
  if (readSuspended_) {
    readSuspended_ = false;
    UpdateWatch();
  }
}

void TCustomWSocket::SetInputHeld(bool held) {
  if (held == inputHeld_) return;
  inputHeld_ = held;
  UpdateWatch();
}

int TCustomWSocket::DoRecv(void* buffer, std::int32_t size) { return PlatformRecv(buffer, size); }

int TCustomWSocket::Receive(void* buffer, std::int32_t size) {
  int n = DoRecv(buffer, size);
  CountRead(n);
  return n;
}

// A 32-bit count: past 2 GiB (large uploads) it wraps instead of overflowing.
void TCustomWSocket::CountRead(int n) {
  if (n > 0)
    readCount_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(readCount_) + static_cast<std::uint32_t>(n));
}

std::string TCustomWSocket::ReceiveText() {
  std::int32_t n = RcvdCount();
  if (n < 0) return std::string();
  if (n == 0) n = kUnknownPendingRead;
  std::string text(static_cast<std::size_t>(n), '\0');
  int got = Receive(text.data(), n);
  if (got <= 0) return std::string();
  text.resize(static_cast<std::size_t>(got));
  return text;
}

std::int32_t TCustomWSocket::RcvdCount() {
  int n = 0;
  int err = handle_.Valid() ? native::PendingBytes(handle_.Get(), n) : sockerr::kNotSocket;
  if (err != 0) {
    SocketError("ioctlSocket", err);
    return -1;
  }
  if (tlsPhase_ == tlsOn) n += static_cast<int>(tls_->Pending());
  return n;
}

// ---- Connecting, listening, adopting ----

bool TCustomWSocket::SetOption(int (*setter)(int), const char* op) {
  int err = setter(handle_.Get());
  if (err == 0) return true;
  SocketError(op, err);
  return false;
}

bool TCustomWSocket::ApplyLinger() {
  if (lingerOnOff_ == wsLingerNoSet) return true;
  if (!handle_.Valid()) {
    RaiseException("Cannot set linger option at this time");
    return false;
  }
  int seconds = std::clamp<std::int32_t>(lingerTimeout_, 0, 65535);
  int err = native::SetLinger(handle_.Get(), lingerOnOff_ == wsLingerOn, seconds);
  if (err == 0) return true;
  SocketError("setsockopt(SO_LINGER)", err);
  return false;
}

bool TCustomWSocket::BindLocal() {
  std::uint32_t local;
  try {
    local = ResolveHost(localAddr_);
  } catch (const ESocketException& e) {
    RaiseException(std::string("connect: ") + e.what());
    return false;
  }
  int err = native::Bind(handle_.Get(), native::TSockAddrIn{local, resolvedLocalPort_});
  if (err != 0) {
    lastError_ = err;
    RaiseException("winsock.bind failed, error #" + std::to_string(err));
    return false;
  }
  native::TSockAddrIn bound;
  err = native::LocalName(handle_.Get(), bound);
  if (err != 0) {
    lastError_ = err;
    RaiseException("winsock.getsockname failed, error #" + std::to_string(err));
    return false;
  }
  localPort_ = std::to_string(bound.port);
  return true;
}

// Resolves what is not resolved yet, in the order whose failure message the caller
// reports first (protocol, port, local port, address); resolved parts are kept until
// their property changes.
void TCustomWSocket::ResolveEndpoints(bool localPortToo) {
  if (!protoResolved_) {
    resolvedProto_ = ResolveProto(proto_);
    protoResolved_ = true;
  }
  if (!portResolved_) {
    resolvedPort_ = ResolvePort(port_, proto_);
    portResolved_ = true;
  }
  if (localPortToo && !localPortResolved_) {
    resolvedLocalPort_ = ResolvePort(localPort_, proto_);
    localPortResolved_ = true;
  }
  if (!addrResolved_) {
    resolvedAddr_ = ResolveHost(addr_);
    addrResolved_ = true;
  }
}

void TCustomWSocket::Connect() {
  if (handle_.Valid() && state_ != wsClosed) return RaiseException("Connect: Socket already in use");
  if (!portAssigned_) return RaiseException("Connect: No Port Specified");
  if (!addrAssigned_) return RaiseException("Connect: No IP Address Specified");
  if (!protoAssigned_) return RaiseException("Connect: No Protocol Specified");
  try {
    ResolveEndpoints(true);
  } catch (const ESocketException& e) {
    return RaiseException(std::string("connect: ") + e.what());
  }
  // Datagram and raw sockets are never used by the program.
  if (resolvedProto_ != 6) return SocketError("Connect (socket)", sockerr::kSockTypeNotSupported);
  ClearSendQueue();
  sendQueueEmpty_ = true;
  FileHandle fresh;
  if (int err = native::NewTcpSocket(fresh)) return SocketError("Connect (socket)", err);
  DropHandle();
  handle_ = std::move(fresh);
  ++generation_;
  sessionClosedFired_ = false;
  ResetInputState();
  auto alive = AliveToken();
  ChangeState(wsOpened);
  if (alive.expired()) return;
  if (state_ != wsOpened) return SocketError("Connect (Invalid operation in OnChangeState)", sockerr::kInvalid);
  if (!SetOption(native::SetReuseAddr, "setsockopt(SO_REUSEADDR)")) return;
  if (options_.Has(wsoTcpNoDelay) && !SetOption(native::SetNoDelay, "setsockopt(IPPROTO_TCP, TCP_NODELAY)"))
    return;
  if (!ApplyLinger()) return;
  if (!SetOption(native::SetKeepAlive, "setsockopt(SO_KEEPALIVE)")) return;
  if ((resolvedLocalPort_ != 0 || localAddr_ != "0.0.0.0") && !BindLocal()) return;
  int err = native::StartConnect(handle_.Get(), native::TSockAddrIn{resolvedAddr_, resolvedPort_});
  if (err != 0 && err != sockerr::kWouldBlock) {
    lastError_ = err;
    return SocketError("Connect", err);
  }
  ChangeState(wsConnecting);
  if (alive.expired()) return;
  UpdateWatch();
}

void TCustomWSocket::Listen() {
  if (!portAssigned_) return SocketError("listen: port not assigned", sockerr::kInvalid);
  if (!protoAssigned_) return SocketError("listen: protocol not assigned", sockerr::kInvalid);
  if (!addrAssigned_) return SocketError("listen: address not assigned", sockerr::kInvalid);
  try {
    ResolveEndpoints(false);
  } catch (const ESocketException& e) {
    return RaiseException(std::string("listen: ") + e.what());
  }
  if (resolvedProto_ != 6) return RaiseException("Listen: unexpected protocol.");
  ClearSendQueue();
  sendQueueEmpty_ = true;
  FileHandle fresh;
  if (int err = native::NewTcpSocket(fresh)) return SocketError("socket", err);
  // A stopped server must be able to listen again at once, though its old
  // connections still sit in TIME_WAIT; Linux still refuses a port another socket
  // is listening on.
  if (int err = native::SetReuseAddr(fresh.Get())) return SocketError("setsockopt(SO_REUSEADDR)", err);
  if (int err = native::Bind(fresh.Get(), native::TSockAddrIn{resolvedAddr_, resolvedPort_})) {
    fresh.Reset();
    return SocketError("Bind", err);
  }
  DropHandle();
  handle_ = std::move(fresh);
  ++generation_;
  sessionClosedFired_ = false;
  acceptSuspended_ = false;
  auto alive = AliveToken();
  ChangeState(wsBound);
  if (alive.expired() || state_ != wsBound) return;
  if (int err = native::Listen(handle_.Get(), kListenBacklog)) return SocketError("Listen", err);
  ChangeState(wsListening);
  if (alive.expired()) return;
  UpdateWatch();
}

int TCustomWSocket::Accept() {
  if (state_ != wsListening) {
    SocketError("not a listening socket", sockerr::kInvalid);
    return -1;
  }
  acceptCalled_ = true;
  if (acceptSuspended_) {
    acceptSuspended_ = false;
    UpdateWatch();
  }
  FileHandle accepted;
  int err = native::Accept(handle_.Get(), accepted);
  if (err == 0) {
    // A reply written while the previous one waits for its acknowledgement would
    // otherwise sit out the peer's delayed acknowledgement: 40 ms for "226" after
    // "150", and for the last flight of a TLS 1.2 handshake.
    if (options_.Has(wsoTcpNoDelay)) static_cast<void>(native::SetNoDelay(accepted.Get()));
    return accepted.Release();
  }
  lastError_ = err;
  if (!TransientAcceptError(err)) {
    SocketError("Accept", err);
    return -1;
  }
  if (err == sockerr::kTooManyFiles || err == sockerr::kNoBufs) StartAcceptBackoff();
  return -1;
}

void TCustomWSocket::StartAcceptBackoff() {
  // The connection stays queued, so readiness would fire again at once; wait for
  // descriptors to be freed instead of spinning.
  if (acceptBackoff_ != 0) return;
  auto alive = AliveToken();
  acceptBackoff_ = loop_.AddTimer(kAcceptBackoff, [this, alive] {
    if (alive.expired()) return;
    acceptBackoff_ = 0;
    UpdateWatch();
  });
  UpdateWatch();
}

void TCustomWSocket::SetSocketHandle(int handle) {
  FileHandle adopted(handle);
  if (handle <= 0) {
    adopted.Release();
    return SocketError("Dup", sockerr::kInvalid);
  }
  auto alive = AliveToken();
  if (state_ != wsClosed) {
    DropHandle();
    ChangeState(wsClosed);
    if (alive.expired()) return;
  }
  handle_ = std::move(adopted);
  tallied_.Count();
  ++generation_;
  sendShut_ = false;
  sessionClosedFired_ = false;
  paused_ = false;
  ResetInputState();
  if (int err = native::SetNonBlocking(handle_.Get())) return SocketError("Dup", err);
  if (!ApplyLinger()) return;
  ChangeState(wsConnected);
  if (alive.expired()) return;
  UpdateWatch();
}

// ---- Ending ----

void TCustomWSocket::InternalClose(bool shutFirst, std::uint16_t error) {
  auto alive = AliveToken();
  if (handle_.Valid() && state_ != wsClosed) {
    // The peer learns the stream ended here rather than was cut off; a failure
    // to say so changes nothing.
    if (shutFirst && !sendShut_ && tlsPhase_ == tlsOn) tls_->Shutdown();
    if (shutFirst && !sendShut_) native::Shutdown(handle_.Get(), 1);  // failure changes nothing here
    DropHandle();
    ChangeState(wsClosed);
    if (alive.expired()) return;
    if (!destroying_ && !sessionClosedFired_) {
      sessionClosedFired_ = true;
      TriggerSessionClosed(error);
      if (alive.expired()) return;
    }
    // A handler that already opened a new connection keeps it.
    if (state_ == wsClosed && !handle_.Valid()) ResetToInitialState();
  } else if (state_ != wsClosed) {
    ChangeState(wsClosed);
    if (alive.expired()) return;
    if (state_ == wsClosed && !handle_.Valid()) ResetToInitialState();
  } else {
    DropHandle();
  }
}

void TCustomWSocket::Close() { InternalClose(true, 0); }

void TCustomWSocket::CloseLater() {
  RunGuardedPosted([this] { Close(); });
}

void TCustomWSocket::FreeLater() {
  RunGuardedPosted([this] {
    if (FreeLaterHandler) {
      auto handler = FreeLaterHandler;
      handler(*this);  // destroys this object
    } else {
      Close();
    }
  });
}

void TCustomWSocket::Abort() { AbortClosing(false); }

void TCustomWSocket::AbortWithReset() { AbortClosing(true); }

void TCustomWSocket::AbortClosing(bool reset) {
  CancelDnsLookup();
  ClearSendQueue();
  sendQueueEmpty_ = true;
  lingerOnOff_ = reset ? wsLingerOn : wsLingerOff;
  if (reset) lingerTimeout_ = 0;
  if (handle_.Valid() && state_ == wsConnected) ApplyLinger();
  InternalClose(false, 0);
}

void TCustomWSocket::Shutdown(int how) {
  if (!handle_.Valid()) return;
  if (how != 0 && !sendShut_ && tlsPhase_ == tlsOn) tls_->Shutdown();
  native::Shutdown(handle_.Get(), how);  // a peer already gone is no error here
  if (how != 0) sendShut_ = true;
  // Linux reports a shut receiving side as end of stream at once; that is not the
  // peer closing, so stop reading instead of reporting a close.
  if (how == 0 || how == 2) {
    receiveShut_ = true;
    UpdateWatch();
  }
}

void TCustomWSocket::WaitForClose() {
  auto alive = AliveToken();
  while (!alive.expired() && state_ != wsClosed && handle_.Valid()) {
    if (PendingBytesQuiet() > 0) {
      lastError_ = 0;
      Guarded([&] { TriggerDataAvailable(0); });
      if (alive.expired()) return;
      if (lastError_ != 0 && lastError_ != sockerr::kWouldBlock) return;
    }
    loop_.RunOnce(50);
  }
}

void TCustomWSocket::Pause() {
  paused_ = true;
  UpdateWatch();
}

void TCustomWSocket::Resume() {
  paused_ = false;
  readSuspended_ = acceptSuspended_ = false;
  UpdateWatch();
  // Re-arming notifications reported write readiness on the original platform; a
  // sender driven by OnDataSent would otherwise stall after a pause.
  if (state_ == wsConnected && handle_.Valid()) PostWriteNotification();
}

void TCustomWSocket::PumpMessages() { loop_.pump(); }

// ---- Bounded waits ----

bool TCustomSyncWSocket::WaitUntilReady(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  return EventLoop::Instance().WaitFor(ready, timeout);
}

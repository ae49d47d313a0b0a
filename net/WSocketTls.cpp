// TCustomWSocket's encryption: switching a connection to TLS in place (after a
// plain go-ahead, or when its first byte opens a handshake), and the reads and
// writes that go through the session once it is on. The rest of the socket calls
// in here only where a byte would otherwise cross the descriptor in clear.
#include <algorithm>

#include "net/WSocket.h"

namespace {

// A fatal handshake_failure alert in a plain record (RFC 8446 section 6): the
// client reports it at once instead of waiting for a server hello.
constexpr unsigned char kHandshakeFailureAlert[] = {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x28};
constexpr const char* kTlsUnavailable = "encryption is not available on this server";

}  // namespace

void TCustomWSocket::StartTls(TTlsContext& context, bool withoutTickets) {
  if (!handle_.Valid() || state_ != wsConnected || tlsPhase_ != tlsOff) return;
  tlsContext_ = &context;
  tlsWithoutTickets_ = withoutTickets;
  tlsPhase_ = tlsFlushing;
  UpdateWatch();
  if (sendQueueEmpty_) PostHandshakeStart();
}

void TCustomWSocket::AcceptTlsIfOffered(TTlsContext& context) {
  if (!handle_.Valid() || state_ != wsConnected || tlsPhase_ != tlsOff) return;
  tlsContext_ = &context;
  tlsWithoutTickets_ = false;
  tlsPhase_ = tlsSniffing;
}

void TCustomWSocket::RefuseTlsIfOffered() {
  if (!handle_.Valid() || state_ != wsConnected || tlsPhase_ != tlsOff) return;
  tlsContext_ = nullptr;
  tlsWithoutTickets_ = false;
  tlsPhase_ = tlsSniffing;
}

// True when the connection goes on as plain input (or its first byte has not come
// yet); false once the handshake has taken it over, or been refused.
bool TCustomWSocket::SniffTls() {
  // A look at more than the first byte also tells how much waits, when it is less
  // than was asked for: the readiness then needs no second question to the system.
  unsigned char head[4096];
  int err = 0;
  const long n = native::PeekBytes(handle_.Get(), head, sizeof head, err);
  if (n < 0 && err == sockerr::kWouldBlock) return true;
  if (n > 0 && memoPending_ && n < static_cast<long>(sizeof head)) pendingMemo_ = static_cast<int>(n);
  if (n >= 1 && LooksLikeTlsHello(head[0])) {
    if (tlsContext_)
      BeginHandshake();
    else
      RefuseHandshake();
    return false;
  }
  tlsPhase_ = tlsOff;
  tlsContext_ = nullptr;
  return true;
}

void TCustomWSocket::RefuseHandshake() {
  tlsPhase_ = tlsOff;
  // A close with input still unread resets the connection, and a reset may take the
  // alert with it; what of the hello is here goes first.
  char scratch[4096];
  int err = 0;
  for (int i = 0; i < 16 && native::Recv(handle_.Get(), scratch, sizeof scratch, err) > 0; ++i) {
  }
  // Nothing else is queued yet, so the alert fits; when it cannot go, the close
  // still tells the client.
  native::Send(handle_.Get(), kHandshakeFailureAlert, sizeof kHandshakeFailureAlert, false, err);
  auto alive = AliveToken();
  if (OnTlsDone) OnTlsDone(*this, kTlsUnavailable);
  if (!alive.expired() && handle_.Valid()) InternalClose(true, 0);
}

void TCustomWSocket::PostHandshakeStart() {
  const std::uint64_t gen = generation_;
  RunGuardedPosted([this, gen] {
    if (gen == generation_ && handle_.Valid() && tlsPhase_ == tlsFlushing) BeginHandshake();
  });
}

void TCustomWSocket::BeginHandshake() {
  tls_ = std::make_unique<TTlsSession>(*tlsContext_, handle_.Get());
  if (tlsWithoutTickets_) tls_->SkipSessionTickets();
  tlsPhase_ = tlsHandshaking;
  tlsWaitsFor_ = tlsWantRead;
  HandshakeStep();
}

void TCustomWSocket::HandshakeStep() {
  pendingMemo_ = kNoMemo;
  const TTlsResult r = tls_->Handshake();
  if (r.status == tlsWantRead || r.status == tlsWantWrite) {
    tlsWaitsFor_ = r.status;
    UpdateWatch();
    return;
  }
  auto alive = AliveToken();
  if (r.status == tlsDone) {
    tlsPhase_ = tlsOn;
    tlsWaitsFor_ = tlsDone;
    readSuspended_ = false;  // a read refused while negotiating took nothing
    UpdateWatch();
    if (OnTlsDone) OnTlsDone(*this, std::string());
    // What came behind the handshake's last flight may already be decrypted.
    if (!alive.expired() && tlsPhase_ == tlsOn && PendingBytesQuiet() > 0) PostTlsInput(ready::kIn);
    return;
  }
  // The bytes on the descriptor belong to the failed session: nothing more can be
  // read or said in clear.
  const std::string error =
      r.error.empty() ? std::string("connection closed during the TLS handshake") : r.error;
  if (OnTlsDone) OnTlsDone(*this, error);
  if (!alive.expired() && handle_.Valid()) InternalClose(false, 0);
}

int TCustomWSocket::TlsRecv(void* buffer, std::int32_t size) {
  NoteInputTaken();
  pendingMemo_ = kNoMemo;
  if (tlsPeerEnded_) return 0;
  const TTlsResult r = tls_->Read(buffer, static_cast<std::size_t>(std::max(size, 0)));
  switch (r.status) {
    case tlsDone:
      bytesTaken_ += r.bytes;
      // A record may be shorter than asked while more wait on the descriptor.
      lastReadShort_ = false;
      return static_cast<int>(r.bytes);
    case tlsWantWrite:
      tlsWaitsFor_ = tlsWantWrite;
      UpdateWatch();
      [[fallthrough]];
    case tlsWantRead:
      lastError_ = sockerr::kWouldBlock;
      return -1;
    case tlsClosed:
      // A peer that ended with close_notify may wait for ours before it hangs up
      // (an FTP client after its upload), so the end is reported from here.
      tlsPeerEnded_ = true;
      tlsEndedUncleanly_ = !r.error.empty();
      PostTlsInput(ready::kPeerClosed);
      return 0;
    default:
      lastError_ = r.socketError != 0 ? r.socketError : sockerr::kConnReset;
      return -1;
  }
}

long TCustomWSocket::TlsMapWrite(const TTlsResult& r, int& err) {
  switch (r.status) {
    case tlsDone:
      return static_cast<long>(r.bytes);
    case tlsWantRead:
      tlsWaitsFor_ = tlsWantRead;
      [[fallthrough]];
    case tlsWantWrite:
      err = sockerr::kWouldBlock;
      return -1;
    default:
      err = r.socketError != 0 ? r.socketError : sockerr::kConnReset;
      return -1;
  }
}

// One record's worth of the queue at a time: the blocks are small, and a record
// each would multiply the overhead. After a write that has to wait, the same bytes
// come first again, as the session requires.
long TCustomWSocket::TlsSendQueued(int& err) {
  constexpr std::size_t kRecord = 16 * 1024;
  tlsScratch_.clear();
  for (const TBuffer& b : sendQueue_) {
    auto [bp, blen] = b.Peek();
    const std::size_t take = std::min(static_cast<std::size_t>(blen), kRecord - tlsScratch_.size());
    tlsScratch_.insert(tlsScratch_.end(), bp, bp + take);
    if (tlsScratch_.size() == kRecord) break;
  }
  if (tlsScratch_.empty()) return 0;
  return TlsMapWrite(tls_->Write(tlsScratch_.data(), tlsScratch_.size()), err);
}

// The kernel encrypts when it can, so the file still goes without a copy; else it
// is read here and encrypted in pieces.
long TCustomWSocket::TlsSendFromFile(std::size_t count, int& err) {
  long n;
  if (tls_->KtlsSend()) {
    n = TlsMapWrite(tls_->SendFile(fileFd_, fileOffset_, count), err);
  } else {
    constexpr std::size_t kPiece = 64 * 1024;
    tlsScratch_.resize(std::min(count, kPiece));
    const long got = native::ReadAt(fileFd_, tlsScratch_.data(), tlsScratch_.size(), fileOffset_, err);
    if (got <= 0) return got;
    // A write takes one record: the rest of what was read goes after it, rather
    // than being read again. What a waiting write still owes is first in the next
    // read, since the offset moves only past what went.
    n = 0;
    while (n < got) {
      int wait = 0;
      const long sent = TlsMapWrite(
          tls_->Write(tlsScratch_.data() + n, static_cast<std::size_t>(got - n)), wait);
      if (sent <= 0) {
        if (n == 0) {
          err = wait;
          return sent;
        }
        break;
      }
      n += sent;
    }
  }
  if (n > 0) fileOffset_ += n;
  return n;
}

void TCustomWSocket::PostTlsInput(std::uint32_t events) {
  const bool posted = tlsPostedEvents_ != 0;
  tlsPostedEvents_ |= events;
  if (posted) return;
  RunGuardedPosted([this] {
    const std::uint32_t owed = tlsPostedEvents_;
    tlsPostedEvents_ = 0;
    if (handle_.Valid() && state_ == wsConnected && tlsPhase_ == tlsOn) DispatchReadiness(owed);
  });
}

#pragma once
// The asynchronous TCP socket every network endpoint of the program is made of: it
// never blocks, turns descriptor readiness from the event loop into events, queues
// outgoing bytes in 1460-byte blocks, and optionally delivers input line by line.
//
// Class tree: TCustomWSocket -> TCustomSocksWSocket (inactive, pass-through) ->
// TCustomLineWSocket (line mode) -> TCustomSyncWSocket (bounded waits) -> TWSocket.
// All of it runs on the thread that created the socket; nothing locks.
//
// Lifetime rules for owners: never destroy a socket from inside one of its own events;
// use CloseLater/FreeLater (posted) or free it from a posted notification of your own.

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "net/ConnectionTally.h"
#include "net/WSockBuf.h"
#include "platform/EventLoop.h"
#include "platform/FileHandle.h"
#include "platform/NativeSocket.h"
#include "platform/SocketError.h"
#include "platform/Tls.h"

class TAsyncLookup;

enum TSocketState : std::uint8_t {
  wsInvalidState = 0,
  wsOpened = 1,
  wsBound = 2,
  wsConnecting = 3,
  wsConnected = 4,
  wsAccepting = 5,
  wsListening = 6,
  wsClosed = 7,
};

enum TSocketLingerOnOff : std::uint8_t { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };

enum TSocketSendFlags : std::uint8_t { wsSendNormal = 0, wsSendUrgent = 1 };

enum TWSocketOption : std::uint8_t { wsoNoReceiveLoop = 0, wsoTcpNoDelay = 1 };

// A set of TWSocketOption: s.SetComponentOptions({wsoNoReceiveLoop}).
class TWSocketOptions {
public:
  TWSocketOptions() = default;
  TWSocketOptions(std::initializer_list<TWSocketOption> options) {
    for (auto o : options) Include(o);
  }
  bool Has(TWSocketOption o) const { return (bits_ >> o) & 1u; }
  void Include(TWSocketOption o) { bits_ |= 1u << o; }
  void Exclude(TWSocketOption o) { bits_ &= ~(1u << o); }
  bool operator==(const TWSocketOptions&) const = default;

private:
  std::uint32_t bits_ = 0;
};

class ESocketException : public std::runtime_error {
public:
  explicit ESocketException(const std::string& message, int code = 0)
      : std::runtime_error(message), code_(code) {}
  // The socket error number behind it (10048 port in use, 10013 no permission), or 0
  // for a failure that has none.
  int Code() const { return code_; }

private:
  int code_;
};

class TCustomWSocket;

// Events carry the socket that fires them; Error is a socket error number, 0 = success.
using TDataAvailable = std::function<void(TCustomWSocket& sender, std::uint16_t error)>;
using TDataSent = TDataAvailable;
using TSessionClosed = TDataAvailable;
using TSessionAvailable = TDataAvailable;
using TSessionConnected = TDataAvailable;
using TDnsLookupDone = TDataAvailable;
using TSendData = std::function<void(TCustomWSocket& sender, std::int32_t bytesSent)>;
using TChangeState =
    std::function<void(TCustomWSocket& sender, TSocketState oldState, TSocketState newState)>;
using TNotifyEvent = std::function<void(TCustomWSocket& sender)>;
// error is empty when the connection is now encrypted, else why it is not.
using TTlsDoneEvent = std::function<void(TCustomWSocket& sender, const std::string& error)>;
using TBgExceptionEvent =
    std::function<void(TCustomWSocket& sender, const std::exception& e, bool& canClose)>;

class TCustomWSocket {
public:
  static constexpr std::int32_t kSendBlockSize = 1460;
  // Five pending connections, the old platform's limit, made the kernel drop the
  // handshakes of a burst of clients, which then waited a second or more for their
  // retry while earlier ones were served again. The kernel caps this at somaxconn.
  static constexpr int kListenBacklog = 1024;
  // A peer that sends without reading our answers would otherwise make us queue
  // without bound: past the high mark the socket stops reading until the queue falls
  // to the low mark. The gap keeps a steady stream of answers from switching reading
  // off and on for every block, and reading resumes while some output is still
  // queued, so a pipelining peer does not see its connection go idle.
  static constexpr std::int64_t kOutputHighWater = 64 * 1024;
  static constexpr std::int64_t kOutputLowWater = 16 * 1024;
  // The most one readiness event takes from the descriptor; the rest waits for the
  // next turn of the loop, so one busy peer cannot hold every other connection.
  static constexpr std::int32_t kReadBudget = 64 * 1024;

  TCustomWSocket();
  virtual ~TCustomWSocket();
  TCustomWSocket(const TCustomWSocket&) = delete;
  TCustomWSocket& operator=(const TCustomWSocket&) = delete;

  // ---- Events (unset ones are skipped) ----
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSendData OnSendData;
  TSessionClosed OnSessionClosed;
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TChangeState OnChangeState;
  TDnsLookupDone OnDnsLookupDone;
  // When set, failures fire it (read LastError/LastErrorText) instead of raising.
  TNotifyEvent OnError;
  TBgExceptionEvent OnBgException;
  // The end of a handshake StartTls or AcceptTlsIfOffered began, or the refusal of
  // one RefuseTlsIfOffered made; after a failure or refusal the socket closes.
  TTlsDoneEvent OnTlsDone;
  // Runs the posted FreeLater: the owner of this object destroys it here. Without
  // one, FreeLater only closes the socket.
  TNotifyEvent FreeLaterHandler;

  // ---- Properties ----
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  std::intptr_t Tag() const { return tag_; }
  void SetTag(std::intptr_t tag) { tag_ = tag; }

  const std::string& Addr() const { return addr_; }
  void SetAddr(std::string_view value);
  const std::string& Port() const { return port_; }
  virtual void SetPort(std::string_view value);
  const std::string& Proto() const { return proto_; }
  virtual void SetProto(std::string_view value);
  const std::string& LocalAddr() const { return localAddr_; }
  void SetLocalAddr(std::string_view value);
  const std::string& LocalPort() const { return localPort_; }
  void SetLocalPort(std::string_view value);

  // Dotted address and decimal port of the peer; "error" when not connected.
  virtual std::string PeerAddr() const;
  virtual std::string PeerPort() const;
  // "error" unless bound, connected or listening.
  virtual std::string LocalBoundAddr() const;
  virtual std::string LocalBoundPort() const;
  // 0, or -1 with LastError set.
  virtual int PeerName(native::TSockAddrIn& out);
  virtual int SockName(native::TSockAddrIn& out);

  const std::string& DnsResult() const { return dnsResult_; }
  const std::vector<std::string>& DnsResultList() const { return dnsResultList_; }

  TSocketState State() const { return state_; }
  int HSocket() const { return handle_.Get(); }
  std::int32_t ReadCount() const { return readCount_; }
  void SetReadCount(std::int32_t n) { readCount_ = n; }
  // Bytes waiting to be read (in line mode: the pending line's length); -1 on failure.
  virtual std::int32_t RcvdCount();
  std::int32_t LastError() const { return lastError_; }
  void SetLastError(std::int32_t n) { lastError_ = n; }
  // The message of the last failure reported through OnError or raised.
  const std::string& LastErrorText() const { return lastErrorText_; }
  bool MultiThreaded() const { return multiThreaded_; }
  void SetMultiThreaded(bool on) { multiThreaded_ = on; }
  TWSocketOptions ComponentOptions() const { return options_; }
  void SetComponentOptions(TWSocketOptions options) { options_ = options; }
  TSocketSendFlags SendFlags() const { return sendFlags_; }
  void SetSendFlags(TSocketSendFlags flags);
  TSocketLingerOnOff LingerOnOff() const { return lingerOnOff_; }
  void SetLingerOnOff(TSocketLingerOnOff value) { lingerOnOff_ = value; }
  std::int32_t LingerTimeout() const { return lingerTimeout_; }
  void SetLingerTimeout(std::int32_t seconds) { lingerTimeout_ = seconds; }
  bool Paused() const { return paused_; }
  // True when nothing is left in the send queue.
  bool AllSent() const { return sendQueueEmpty_; }
  std::int64_t BufferedByteCount() const { return queuedBytes_; }
  // Unsent output passed kOutputHighWater and has not fallen to kOutputLowWater yet:
  // nothing is read meanwhile.
  bool OutputBlocked() const { return outputBlocked_; }
  std::size_t SendQueueBlockCount() const { return sendQueue_.size(); }
  std::int32_t SendBlockSize() const { return sendBlockSize_; }

  // ---- Operations ----
  virtual void Connect();
  virtual void Listen();
  // A pending connection's descriptor, now owned by the caller (hand it to
  // SetSocketHandle), or -1. Transient failures (a connection reset before it was
  // taken, descriptors exhausted) answer -1 without an error: a server keeps
  // listening and, when descriptors ran out, pauses accepting briefly.
  virtual int Accept();
  // Adopts an accepted connection: linger option, notifications, wsConnected.
  virtual void SetSocketHandle(int handle);

  // Queue and start sending; OnDataSent follows from the loop, never from inside.
  virtual int Send(const void* data, std::int32_t len);
  // Sends length bytes of the regular file fd from offset, after whatever is queued,
  // straight from the file to the socket: no copy through the program and no turn of
  // the loop per block. OnSendData reports each step, OnDataSent follows once all of
  // it has left (or the file ended early). The caller keeps fd open until then; a
  // close drops what is left. REQUIRES: no file range pending already.
  void SendFileRange(int fd, std::int64_t offset, std::int64_t length);
  // The most one step takes, and the most one turn of the loop sends of a file range,
  // so that a bulk download never holds the other sessions up for long.
  static constexpr std::int64_t kFileStep = 1 << 20;
  static constexpr std::int64_t kFileTurnBudget = 4 << 20;
  virtual int SendText(std::string_view text);
  void QueueData(const void* data, std::int32_t len);
  void QueueText(std::string_view text) { QueueData(text.data(), static_cast<std::int32_t>(text.size())); }

  // Bytes read, 0 at end of stream, -1 on error (LastError; 10035 when none waits).
  virtual int Receive(void* buffer, std::int32_t size);
  virtual std::string ReceiveText();
  // Input that may go straight from the descriptor into a file: in clear, and not
  // held back by a derived class.
  virtual bool CanReceiveToFile() const { return handle_.Valid() && tlsPhase_ == tlsOff; }
  // As Receive, into the regular file fileFd at its position without passing through
  // the program. When the file refused bytes already taken, -1 with fileErrno set.
  int ReceiveToFile(int fileFd, std::int32_t size, int& fileErrno);

  virtual void Close();
  virtual void CloseLater();
  virtual void FreeLater();
  virtual void Abort();
  // Ends the connection with a reset: what the kernel still holds for the peer is
  // dropped, where after Abort an orphaned socket would go on sending it. For a peer
  // cut for not reading, whose unread megabytes would otherwise stay in memory.
  void AbortWithReset();
  // how: 0 receiving, 1 sending, 2 both.
  virtual void Shutdown(int how);
  // While on, a peer that ends its sending side (and nothing worse) no longer
  // closes the connection: reading stops, and the owner closes once its answer is
  // out. PeerEnded tells that it happened.
  void KeepOpenOnPeerEnd(bool on) { keepOpenOnPeerEnd_ = on; }
  // Whether the peer has taken bytes the kernel held for it since sending last
  // stalled (or since the last call): a slow reader may drain a send buffer of
  // megabytes for minutes while the socket never becomes writable.
  bool PeerTookSentBytes();
  // Starts what PeerTookSentBytes compares with from what the kernel holds now.
  void NoteSendStalled();
  // Bytes the kernel still holds for the peer, sent or not, until acknowledged;
  // -1 when unknown.
  int UnsentByteCount() const;
  bool PeerEnded() const { return peerEnded_; }
  // The peer has ended its side and the system holds nothing more from it: asked of
  // a connection that is not being read at that moment.
  bool PeerEndedQuietly() const;
  // Waits (running the loop) until the send queue is empty or the socket closes.
  virtual void Flush();
  // Runs the loop, offering input to OnDataAvailable, until the socket closes.
  virtual void WaitForClose();
  virtual void Pause();
  virtual void Resume();

  virtual void DnsLookup(const std::string& host);
  virtual void ReverseDnsLookup(const std::string& dottedAddr);
  virtual void CancelDnsLookup();

  virtual void PumpMessages();

  // ---- Encryption (this side is always the TLS server) ----
  // Once everything queued has left (the plain reply that announced it), runs the
  // handshake on this connection; its input is not read meanwhile, and afterwards
  // every byte in either direction is encrypted. withoutTickets: for connections
  // that resume another's session (FTP data). REQUIRES: context outlives the
  // connection.
  void StartTls(TTlsContext& context, bool withoutTickets = false);
  // Serves TLS when the peer's first byte opens a handshake, plain otherwise (then
  // OnTlsDone never fires).
  void AcceptTlsIfOffered(TTlsContext& context);
  // For a server with no certificate to serve: a peer whose first byte opens a
  // handshake gets a handshake_failure alert and the connection closes, with
  // OnTlsDone saying why; a plain peer goes on as if nothing happened.
  void RefuseTlsIfOffered();
  // The handshake is done and the connection encrypted.
  bool TlsActive() const { return tlsPhase_ == tlsOn; }
  // See TTlsSession::OfferTicket; nothing on a plain connection.
  void TlsOfferTicket() {
    if (tlsPhase_ == tlsOn && tls_) tls_->OfferTicket();
  }
  // The peer ended its encrypted stream without close_notify: anyone on the path
  // can forge such an end, so what came may be cut short.
  bool TlsEndedUncleanly() const { return tlsEndedUncleanly_; }
  // Still deciding or negotiating: nothing may be sent meanwhile.
  bool TlsPending() const { return tlsPhase_ != tlsOff && tlsPhase_ != tlsOn; }
  const TTlsSession* TlsSession() const { return tls_.get(); }

  // Name resolution, raising ESocketException with the messages users see.
  static std::uint32_t ResolveHost(const std::string& host);
  static std::uint16_t ResolvePort(const std::string& port, const std::string& proto);
  static int ResolveProto(const std::string& proto);
  // "a.b.c.d", each group decimal and <= 255, blanks allowed around the whole.
  static bool ParseDottedQuad(std::string_view text, std::uint32_t& hostOrderAddr);

  // Expires when this object is destroyed; check it after firing an event.
  std::weak_ptr<bool> AliveToken() const { return life_; }

protected:
  // Hooks a derived class overrides to change what an event means.
  virtual void TriggerDataAvailable(std::uint16_t error);
  virtual void TriggerSessionAvailable(std::uint16_t error);
  virtual void TriggerSessionConnected(std::uint16_t error);
  virtual void TriggerSessionClosed(std::uint16_t error);
  virtual void TriggerDataSent(std::uint16_t error);
  virtual void TriggerSendData(std::int32_t bytesSent);
  virtual void TriggerChangeState(TSocketState oldState, TSocketState newState);
  virtual void TriggerDnsLookupDone(std::uint16_t error);
  virtual void TriggerError();
  // Raw receive behind Receive/ReceiveText; line mode serves its own buffer first.
  virtual int DoRecv(void* buffer, std::int32_t size);
  // An exception escaped an event handler: OnBgException, then Abort unless cleared.
  virtual void HandleBackgroundException(const std::exception& e);

  // Reads from the descriptor itself.
  int PlatformRecv(void* buffer, std::int32_t size);
  // The descriptor's pending byte count, or -1 without raising.
  int PendingBytesQuiet() const;
  // "Error n in function op" + CR LF + text; closes on 10054/10057; then OnError or raise.
  void SocketError(const std::string& op, int error);
  // A plain message: OnError or ESocketException.
  void RaiseException(const std::string& message, int code = 0);
  void InternalClose(bool shutFirst, std::uint16_t error);
  void ChangeState(TSocketState newState);
  // Runs fn; an exception escaping it goes to the background exception step.
  void Guarded(const std::function<void()>& fn);
  const TEndpoint& Endpoint() const { return endpoint_; }
  bool Destroying() const { return destroying_; }
  // Counts reads of input, so loops can tell whether a handler took anything.
  std::uint64_t PlatformReads() const { return platformReads_; }
  // A handler took input, from the descriptor or from bytes a derived class held back:
  // it is offered input again, as a read re-enabled the notice on the original platform.
  void NoteInputTaken();
  void CountRead(int n);
  // A derived class that holds complete input it has not delivered yet (and will
  // deliver from a posted notification of its own) stops reading meanwhile.
  void SetInputHeld(bool held);
  bool InputHeld() const { return inputHeld_; }
  // Posted once unsent output has fallen to kOutputLowWater and reading resumed; a
  // class that holds input of its own delivers it again from here, since no read
  // notice may ever come for bytes that already left the descriptor.
  virtual void DeliverHeldInput() {}

private:
  void ResetToInitialState();
  void ClearSendQueue();
  void TryToSend();
  void WriteReady(std::uint16_t error);
  void PostWriteNotification();
  void HandleReadiness(std::uint32_t events);
  void DispatchReadiness(std::uint32_t events);
  void ReceiveLoop(bool loop, std::uint16_t error, std::uint64_t budgetEnd);
  bool CloseWaitsForInput(std::uint32_t events, std::uint64_t budgetEnd);
  void AppendToQueue(const void* data, std::int32_t len);
  void CheckOutputLevel();
  // Sends from the pending file range; false when the socket was closed meanwhile.
  bool SendFromFile();
  void UpdateWatch();
  void StopWatching();
  void DropHandle();
  bool ApplyLinger();
  void ResolveEndpoints(bool localPortToo);  // throws ESocketException
  bool BindLocal();
  bool SetOption(int (*setter)(int), const char* op);
  void StartAcceptBackoff();
  void LookupDone(int error, std::vector<std::string> results, bool reverse);
  void RunGuardedPosted(const std::function<void()>& fn);
  bool CachedPeer(native::TSockAddrIn& out) const;
  // Encryption steps; false when the socket went away meanwhile.
  bool SniffTls();
  void RefuseHandshake();
  void PostHandshakeStart();
  void BeginHandshake();
  void HandshakeStep();
  int TlsRecv(void* buffer, std::int32_t size);
  long TlsSendQueued(int& err);
  long TlsSendFromFile(std::size_t count, int& err);
  long TlsMapWrite(const TTlsResult& r, int& err);
  void PostTlsInput(std::uint32_t events);

  // First, so it goes last: the session's memory is freed by the time it is uncounted.
  TTalliedConnection tallied_;
  EventLoop& loop_;
  TEndpoint endpoint_;
  std::shared_ptr<bool> life_ = std::make_shared<bool>(true);
  std::string name_;
  std::intptr_t tag_ = 0;

  FileHandle handle_;
  std::uint64_t generation_ = 0;  // changes with every descriptor adopted or dropped
  mutable std::uint64_t peerGeneration_ = ~std::uint64_t{0};  // peer_ is of that descriptor
  mutable native::TSockAddrIn peer_{};
  bool sendShut_ = false;  // the sending side was shut already
  bool lastReadShort_ = false;  // the last read from the descriptor emptied it
  static constexpr int kNoMemo = -2;
  bool memoPending_ = false;    // within a readiness: PendingBytesQuiet may answer from
  mutable int pendingMemo_ = kNoMemo;  // what it found, until the next read
  int watchedFd_ = -1;
  TSocketState state_ = wsClosed;

  std::string addr_, port_, proto_ = "tcp", localAddr_ = "0.0.0.0", localPort_ = "0";
  bool addrAssigned_ = false, portAssigned_ = false, protoAssigned_ = true;
  bool addrResolved_ = false, portResolved_ = false, protoResolved_ = false;
  bool localPortResolved_ = false;
  std::uint32_t resolvedAddr_ = 0;
  std::uint16_t resolvedPort_ = 0, resolvedLocalPort_ = 0;
  int resolvedProto_ = 0;

  std::deque<TBuffer> sendQueue_;
  int fileFd_ = -1;  // a file range after the queue; not owned
  std::int64_t fileOffset_ = 0;
  std::int64_t fileLeft_ = 0;
  std::int64_t queuedBytes_ = 0;  // kept with the queue: a flood may queue thousands of blocks
  bool outputBlocked_ = false;
  bool inputHeld_ = false;
  std::int32_t sendBlockSize_ = kSendBlockSize;
  bool sendQueueEmpty_ = true;
  bool sessionClosedFired_ = false;
  bool paused_ = false;
  bool readSuspended_ = false;    // a handler left input unread; re-armed by a read
  bool acceptSuspended_ = false;  // a handler left a connection unaccepted
  bool acceptCalled_ = false;
  bool receiveShut_ = false;
  bool keepOpenOnPeerEnd_ = false;
  bool peerEnded_ = false;  // the peer ended its sending side while kept open
  int unsentAtStall_ = -1;  // the kernel's unacknowledged bytes when sending stalled
  void AbortClosing(bool reset);
  void ResetInputState();
  EventLoop::TimerId acceptBackoff_ = 0;
  std::uint64_t platformReads_ = 0;
  std::uint64_t bytesTaken_ = 0;  // from the descriptor, for the budget of one event

  std::string dnsResult_;
  std::vector<std::string> dnsResultList_;
  std::unique_ptr<TAsyncLookup> lookup_;

  std::int32_t readCount_ = 0;
  std::int32_t lastError_ = 0;
  std::string lastErrorText_;
  bool multiThreaded_ = false;
  TWSocketOptions options_;
  TSocketSendFlags sendFlags_ = wsSendNormal;
  TSocketLingerOnOff lingerOnOff_ = wsLingerOn;
  std::int32_t lingerTimeout_ = 0;
  bool destroying_ = false;

  enum TTlsPhase : std::uint8_t { tlsOff, tlsSniffing, tlsFlushing, tlsHandshaking, tlsOn };
  TTlsPhase tlsPhase_ = tlsOff;
  TTlsContext* tlsContext_ = nullptr;
  bool tlsWithoutTickets_ = false;
  std::unique_ptr<TTlsSession> tls_;
  // What the last TLS call waited for against its direction (a read that must
  // send, a write that must receive, or the handshake's next step).
  TTlsStatus tlsWaitsFor_ = tlsDone;
  bool tlsEndedUncleanly_ = false;
  bool tlsPeerEnded_ = false;  // close_notify read: the end comes without a hang-up
  std::uint32_t tlsPostedEvents_ = 0;  // readiness owed to bytes the descriptor never shows
  std::vector<char> tlsScratch_;  // plain bytes gathered into one record
};

// The proxy layer of the tree; the program never configures one, so it passes
// everything through.
class TCustomSocksWSocket : public TCustomWSocket {};

using TLineLimitEvent =
    std::function<void(TCustomWSocket& sender, std::int32_t rcvdLength, bool& clearData)>;

// Line mode: when on, input collects in the socket's own buffer and OnDataAvailable
// fires once per complete line; RcvdCount is that line's length and Receive/
// ReceiveText return exactly it, line end included.
class TCustomLineWSocket : public TCustomSocksWSocket {
public:
  static constexpr std::int32_t kDefaultLineLimit = 65536;
  // Lines handed out per turn of the loop; the rest follow from a posted
  // notification, and nothing more is read until they are all taken.
  static constexpr int kLinesPerTurn = 1024;

  TLineLimitEvent OnLineLimitExceeded;

  bool LineMode() const { return lineMode_; }
  virtual void SetLineMode(bool on);
  const std::string& LineEnd() const { return lineEnd_; }
  void SetLineEnd(std::string lineEnd) { lineEnd_ = std::move(lineEnd); }
  std::int32_t LineLimit() const { return lineLimit_; }
  void SetLineLimit(std::int32_t limit) { lineLimit_ = limit; }
  bool LineEcho() const { return lineEcho_; }
  void SetLineEcho(bool on) { lineEcho_ = on; }
  bool LineEdit() const { return lineEdit_; }
  void SetLineEdit(bool on) { lineEdit_ = on; }
  bool LineReceived() const { return lineReceived_; }
  bool CanReceiveToFile() const override {
    return !lineMode_ && LineBufferCount() == 0 && TCustomSocksWSocket::CanReceiveToFile();
  }
  // Bytes held in the line buffer (complete lines not yet taken included).
  std::int32_t LineBufferCount() const { return static_cast<std::int32_t>(lineBuffer_.size() - lineStart_); }

  std::int32_t RcvdCount() override;

protected:
  void TriggerDataAvailable(std::uint16_t error) override;
  void TriggerSessionClosed(std::uint16_t error) override;
  int DoRecv(void* buffer, std::int32_t size) override;
  void DeliverHeldInput() override;
  virtual void TriggerLineLimitExceeded(std::int32_t rcvdLength, bool& clearData);
  // Applies backspace and tab to the bytes read after `oldCount`; returns where the
  // search for a line end must start. REQUIRES: the held bytes start the buffer.
  virtual std::size_t EditLine(std::size_t oldCount, std::size_t searchStart);

private:
  bool LineModeActive() const { return lineMode_ && !lineEnd_.empty(); }
  void DeliverLines(std::size_t searchStart);
  void HoldLines();
  void LineDataPending();
  void OfferLastLines();
  void MakeRoom(std::size_t count);
  void DropHeld(std::size_t count);
  int TakeHeld(void* buffer, std::int32_t size, std::int32_t available);

  bool lineMode_ = false;
  std::string lineEnd_ = "\r\n";
  std::int32_t lineLimit_ = kDefaultLineLimit;
  bool lineEcho_ = false;
  bool lineEdit_ = false;
  // Held bytes are lineBuffer_[lineStart_, size()): taking a line moves the start
  // instead of the bytes behind it, which a flood of short lines made quadratic.
  std::string lineBuffer_;
  std::size_t lineStart_ = 0;
  std::int32_t pendingLineLength_ = 0;
  bool clearData_ = false;
  bool lineReceived_ = false;
  bool deliveryPosted_ = false;
};

// Adds bounded waits for callers that must block their own flow (not the program:
// the loop keeps running while they wait).
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
  // Runs the loop until ready() holds or the timeout passes; true when it holds.
  bool WaitUntilReady(const std::function<bool()>& ready, std::chrono::milliseconds timeout);
};

class TWSocket : public TCustomSyncWSocket {};

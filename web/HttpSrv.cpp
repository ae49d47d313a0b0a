#include "web/HttpSrv.h"

#include <algorithm>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kHeaderDeadlineCap = 30;  // seconds for a whole request header, at most
constexpr int kLingerCap = 5;  // seconds a peer that has its whole answer is given to close

}  // namespace

// ---------------------------------------------------------------- THttpConnection

THttpConnection::THttpConnection() {
  OnDataAvailable = [this](TCustomWSocket&, std::uint16_t error) {
    ConnectionDataAvailable(error);
  };
}

THttpConnection::~THttpConnection() = default;

void THttpConnection::ConnectionDataAvailable(std::uint16_t error) {
  if (phase_ == 2) {
    if (acceptPostedData_ && OnPostedData) {
      OnPostedData(*this, error);
      return;
    }
    ReceiveText();  // further request bytes while an answer is pending are dropped
    return;
  }
  if (sendShut_) {
    // The answer side is shut, so a kept-alive peer that asks again can get nothing:
    // the connection ends, once the peer has the whole answer. Closed before, the
    // kernel answered the peer's next bytes with a reset and dropped the rest.
    ReceiveText();
    if (UnsentByteCount() == 0) CloseLater();
    return;
  }
  ProcessLine(StripLineEnd(ReceiveText()));
}

void THttpConnection::ProcessLine(const std::string& line) {
  if (phase_ == 0) {
    headers_ = THttpRequestHeaders{};
    headerBytes_ = 0;
    request_ = ParseRequestLine(line);
    phase_ = 1;
    return;
  }
  if (!line.empty()) {
    headerBytes_ += line.size();
    if (headers_.HeaderLines.size() >= kMaxHeaderLines || headerBytes_ > kMaxHeaderBytes) {
      // Not a browser: drop what was kept and end the connection; phase 2 reads
      // and drops whatever still comes before the close. Refused without a word,
      // neither the client nor the owner learnt why.
      headers_ = THttpRequestHeaders{};
      phase_ = 2;
      SendAnswerText(HeaderTooLargeAnswer(request_.RequestVersion), true);
      CloseLater();
      if (OnLimit) OnLimit(*this, "Request header too large");
      return;
    }
    ApplyHeaderLine(line, headers_);
    return;
  }
  phase_ = 2;
  // A client may end its sending side once the request is out (HTTP/1.0 scripts
  // do); it still reads the answer, which must not be cut short. A request without
  // a path gets no answer, so nothing is worth keeping its connection for.
  KeepOpenOnPeerEnd(!request_.Path.empty());
  lastProgress_ = Clock::now();
  ArmLimits();
  Dispatch();
}

void THttpConnection::Dispatch() {
  if (request_.Path.empty()) return;
  if (requireTls_ && !TlsActive()) {
    RedirectToTls();
    return;
  }
  document_ = MapDocument(docDir_, request_.Path, defaultDoc_);
  const std::string& method = request_.RequestMethod;
  if (method == "GET") {
    ProcessGetOrHead(true);
  } else if (method == "POST") {
    ProcessPost();
  } else if (method == "HEAD") {
    ProcessGetOrHead(false);
  } else {
    SendNotFound();
    CloseLater();
  }
}

void THttpConnection::RedirectToTls() {
  const std::string target = request_.Params.empty() ? request_.Path
                                                     : request_.Path + "?" + request_.Params;
  const std::string authority =
      TlsAuthority(headers_.ReqHost, LocalBoundAddr(), LocalBoundPort());
  SendAnswerText(MovedToTlsAnswer(request_.RequestVersion, authority, target),
                 request_.RequestMethod != "HEAD");
  CloseLater();
  // The request never reaches the document handler, which logs the others.
  if (OnLimit)
    OnLimit(*this, request_.RequestMethod + " " + request_.Path + " (redirected to https)");
}

void THttpConnection::ProcessGetOrHead(bool isGet) {
  THttpGetFlag flags = hgSendDoc;
  auto alive = AliveToken();
  if (isGet)
    TriggerGetDocument(flags);
  else
    TriggerHeadDocument(flags);
  if (alive.expired()) return;
  switch (flags) {
    case hgSendDoc:
      if (DocumentStaysInside(document_) && SendFileDocument(isGet)) return;
      SendNotFound(isGet);
      CloseLater();
      return;
    case hgSendStream:
      SendDocumentStream();
      return;
    case hgWillSendMySelf:
      return;
    case hg404:
      SendNotFound(isGet);
      CloseLater();
      return;
    default:
      CloseLater();
      return;
  }
}

void THttpConnection::ProcessPost() {
  THttpGetFlag flags = hg404;
  auto alive = AliveToken();
  TriggerPostDocument(flags);
  if (alive.expired()) return;
  if (flags == hg404) {
    SendNotFound();
    CloseLater();
  } else if (flags == hgAcceptData) {
    acceptPostedData_ = true;
  }
}

void THttpConnection::TriggerGetDocument(THttpGetFlag& flags) {
  if (OnGetDocument) OnGetDocument(*this, flags);
}

void THttpConnection::TriggerHeadDocument(THttpGetFlag& flags) {
  if (OnHeadDocument) OnHeadDocument(*this, flags);
}

void THttpConnection::TriggerPostDocument(THttpGetFlag& flags) {
  if (OnPostDocument) OnPostDocument(*this, flags);
}

void THttpConnection::ReturnToLineMode() { SetLineMode(true); }

bool THttpConnection::SendFileDocument(bool withBody) {
  auto stream = THttpFileStream::Open(document_);
  if (!stream) return false;
  std::int64_t modified = 0;
  bool known = HostFs::FileModTime(document_, modified);
  answerContentType_ = MimeTypeOf(document_);
  SendDocumentAnswer(std::move(stream), answerContentType_, known ? &modified : nullptr,
                     withBody);
  return true;
}

void THttpConnection::SendDocumentAnswer(std::unique_ptr<THttpStream> body,
                                         const std::string& contentType,
                                         const std::int64_t* lastModified, bool withBody) {
  THttpAnswerHead head;
  head.ContentType = contentType;
  head.ContentLength = body->Size();
  if (lastModified) head.LastModified = *lastModified;
  SendAnswer(head, std::move(body), withBody);
}

void THttpConnection::SendAnswer(const THttpAnswerHead& head, std::unique_ptr<THttpStream> body,
                                 bool withBody) {
  if (!withBody) body->SeekToEnd();
  DocumentStream = std::move(body);
  QueueText(AnswerHead(request_.RequestVersion, head));
  SendDocumentStream();
}

void THttpConnection::SendAnswerText(const std::string& text, bool withBody) {
  const std::size_t headEnd = text.find("\r\n\r\n");
  DocumentStream = std::make_unique<THttpMemoryStream>(
      withBody || headEnd == std::string::npos ? text : text.substr(0, headEnd + 4));
  SendDocumentStream();
}

void THttpConnection::SendDocumentStream() {
  if (!DocumentStream) {
    CloseLater();
    return;
  }
  if (!sendBuffer_) sendBuffer_ = std::make_unique<char[]>(kAnswerChunk);
  OnDataSent = [this](TCustomWSocket&, std::uint16_t) { SendChunk(); };
  // A file range moves in large steps with no OnDataSent between them.
  OnSendData = [this](TCustomWSocket&, std::int32_t) { lastProgress_ = Clock::now(); };
  lastProgress_ = Clock::now();
  ArmLimits();
  SendChunk();
}

void THttpConnection::SendChunk() {
  if (!DocumentStream) return;
  lastProgress_ = Clock::now();
  int fd = -1;
  std::int64_t offset = 0, length = 0;
  // A small file goes with its head in one send; a copy costs less than setting up
  // a file range for it.
  if (State() == wsConnected && DocumentStream->TakeFileRange(fd, offset, length, kAnswerChunk)) {
    SendFileRange(fd, offset, length);
    return;
  }
  const std::int64_t n = DocumentStream->Read(sendBuffer_.get(), kAnswerChunk);
  if (n <= 0) {
    if (n == 0 && BufferedByteCount() > 0 && State() == wsConnected) {
      // An empty body behind a queued head: shutting down now would lose the head,
      // so let it go out first and finish on its OnDataSent.
      Send(nullptr, 0);
      return;
    }
    DocumentStream.reset();
    Shutdown(1);
    sendShut_ = true;
    Endpoint().Post([this] { DocumentDone(); });
    return;
  }
  if (State() == wsConnected) Send(sendBuffer_.get(), static_cast<std::int32_t>(n));
}

void THttpConnection::DocumentDone() {
  phase_ = 0;
  headerSince_ = Clock::now();
  KeepOpenOnPeerEnd(false);
  // Closed while the kernel still held part of the answer, a byte from the peer (a
  // pipelined request, a stray line end) made it reset the connection and drop that
  // part: the connection stays until the peer has it all.
  if (PeerEnded() || (!WantsKeepAlive(headers_.ReqConnection) && UnsentByteCount() == 0)) {
    CloseLater();
    return;
  }
  lastProgress_ = lastLook_ = headerSince_;
  NoteSendStalled();
  ArmLimits();
}

void THttpConnection::DelayAnswer(std::chrono::milliseconds delay, std::function<void()> send) {
  if (!limits_.TimeLimitsOn()) {
    send();
    return;
  }
  Pause();
  answerTimer_.Start(delay, [this, send = std::move(send)] {
    Resume();
    send();
  });
}

void THttpConnection::Refuse() {
  refused_ = true;
  Close();
}

// ---------------------------------------------------------------- time limits
// One timer per connection, armed for its nearest deadline; progress only moves
// deadlines later, so the timer is re-armed when it fires.

void THttpConnection::StartLimits(const TLimitSettings& limits) {
  limits_ = limits;
  headerSince_ = Clock::now();
  ArmLimits();
}

bool THttpConnection::AnswerPending() const {
  return DocumentStream != nullptr || BufferedByteCount() > 0;
}

void THttpConnection::ArmLimits() {
  if (!limits_.TimeLimitsOn() || State() != wsConnected) return;
  TTime next;
  if (phase_ == 2)
    // A request left unanswered (one without a path gets no answer at all) would
    // otherwise hold its connection for ever.
    next = std::min(lastProgress_ + limits_.Idle(),
                    std::max(lastProgress_, lastLook_) + limits_.LookEvery());
  else if (sendShut_)
    next = std::max(lastProgress_, lastLook_) + limits_.LookEvery();
  else
    next = headerSince_ + limits_.Capped(kHeaderDeadlineCap);
  if (limitTimer_.Armed() && limitTimerFor_ <= next) return;
  limitTimerFor_ = next;
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
  limitTimer_.Start(std::max(wait, std::chrono::milliseconds(0)), [this] { CheckLimits(); });
}

void THttpConnection::CheckLimits() {
  if (State() != wsConnected) return;
  const TTime now = Clock::now();
  std::string reason;
  if (phase_ != 2 && sendShut_) {
    // The whole answer is with the kernel, on its way to a peer that may read it
    // slowly: that is no idle client, and no header is late. It is looked at every
    // LookEvery(), so a reader that stops is cut at most that much past the limit.
    if (now >= std::max(lastProgress_, lastLook_) + limits_.LookEvery()) {
      lastLook_ = now;
      if (PeerTookSentBytes()) lastProgress_ = now;
    }
    if (now >= lastProgress_ + limits_.Capped(kLingerCap) && UnsentByteCount() == 0) {
      Close();  // it has had everything for a while and keeps the connection: done
      return;
    }
    if (now >= lastProgress_ + limits_.Idle())
      reason = "Answer not read for " + std::to_string(limits_.IdleTimeout) + " seconds";
  } else if (phase_ != 2) {
    if (now >= headerSince_ + limits_.Capped(kHeaderDeadlineCap))
      reason = "Request header not complete within " +
               std::to_string(limits_.Capped(kHeaderDeadlineCap).count() / 1000) + " seconds";
  } else {
    if (now >= std::max(lastProgress_, lastLook_) + limits_.LookEvery()) {
      if (AnswerPending() && PeerTookSentBytes()) lastProgress_ = now;  // a slow reader
      lastLook_ = now;
    }
    if (now >= lastProgress_ + limits_.Idle())
      reason = (AnswerPending() ? "Answer not read for " : "Request not answered within ") +
               std::to_string(limits_.IdleTimeout) + " seconds";
  }
  if (reason.empty()) {
    ArmLimits();
    return;
  }
  auto alive = AliveToken();
  try {
    if (OnLimit) OnLimit(*this, reason);
  } catch (...) {
    // The log line is lost; the limit holds all the same.
  }
  if (alive.expired()) return;
  // What a reader that stopped left queued goes with a reset; closed in the ordinary
  // way, an orphaned socket kept the megabytes and went on sending them.
  const bool unread = AnswerPending() || UnsentByteCount() > 0;
  DocumentStream.reset();
  if (unread)
    AbortWithReset();
  else
    Abort();
}

void THttpConnection::SendNotFound(bool withBody) {
  const std::string answer = NotFoundAnswer(request_.RequestVersion, request_.Path);
  SendText(withBody ? answer : answer.substr(0, answer.find("\r\n\r\n") + 4));
}

// -------------------------------------------------------------------- THttpServer

THttpServer::THttpServer() = default;

THttpServer::~THttpServer() {
  if (!wsocket_) return;
  // The listening socket and its connections die after this object's members are
  // gone; no event of theirs may reach it on the way.
  wsocket_->OnClientConnect = nullptr;
  wsocket_->OnClientDisconnect = nullptr;
  wsocket_->OnSessionClosed = nullptr;
  wsocket_->OnChangeState = nullptr;
  for (int i = ClientCount() - 1; i >= 0; --i) {
    THttpConnection* c = Client(i);
    c->OnGetDocument = nullptr;
    c->OnHeadDocument = nullptr;
    c->OnPostDocument = nullptr;
    c->OnPostedData = nullptr;
    c->OnLimit = nullptr;
    c->OnTlsDone = nullptr;
  }
  wsocket_.reset();
}

std::string THttpServer::SrcVersion() {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d.%02d", 1, 6);
  return buf;
}

void THttpServer::SetPort(const std::string& port) {
  if (port == port_) return;
  port_ = port;
  if (wsocket_ && wsocket_->State() == wsListening) {
    wsocket_->Close();
    Start();
  }
}

void THttpServer::SetAddr(const std::string& addr) {
  if (addr == addr_) return;
  addr_ = addr;
  if (wsocket_ && wsocket_->State() == wsListening) {
    wsocket_->Close();
    Start();
  }
}

void THttpServer::Start() {
  if (!wsocket_)
    wsocket_ = std::make_unique<TWSocketServer>();
  else if (wsocket_->State() == wsListening)
    return;
  TWSocketServer& s = *wsocket_;
  s.SetComponentOptions({wsoTcpNoDelay});
  s.ClientClass = [this]() -> std::unique_ptr<TWSocketClient> {
    if (ClientClass) return ClientClass();
    return std::make_unique<THttpConnection>();
  };
  s.OnClientCreate = [this](TCustomWSocketServer&, TWSocketClient& client) {
    client.SetLingerOnOff(lingerOnOff_);
    client.SetLingerTimeout(lingerTimeout_);
  };
  s.OnClientConnect = [this](TCustomWSocketServer&, TWSocketClient& client,
                             std::uint16_t error) {
    auto& connection = static_cast<THttpConnection&>(client);
    if (RefuseConnection(connection)) return;
    WireConnection(connection);
    // Without a certificate a server that requires TLS still sends everyone away:
    // its passwords never cross in clear.
    connection.SetRequireTls(RequireTls);
    connection.OnTlsDone = [this, &connection, offered = Tls != nullptr](
                               TCustomWSocket&, const std::string& error) {
      if (!error.empty())
        FireLimit(connection, (offered ? "TLS handshake failed: " : "TLS refused: ") + error);
    };
    // Without a usable certificate an https client would otherwise wait out the
    // header time limit, its hello taken for a request line that never ends.
    if (Tls)
      connection.AcceptTlsIfOffered(*Tls);
    else
      connection.RefuseTlsIfOffered();
    connection.StartLimits(Limits);
    TriggerClientConnect(connection, error);
  };
  s.OnClientDisconnect = [this](TCustomWSocketServer&, TWSocketClient& client,
                                std::uint16_t error) {
    auto& connection = static_cast<THttpConnection&>(client);
    if (!connection.Refused()) TriggerClientDisconnect(connection, error);
  };
  s.OnSessionClosed = [this](TCustomWSocket&, std::uint16_t) { TriggerServerStopped(); };
  s.OnChangeState = [this](TCustomWSocket&, TSocketState, TSocketState newState) {
    if (newState == wsListening) TriggerServerStarted();
  };
  s.SetBanner("");
  s.SetProto("tcp");
  s.SetPort(port_);
  s.SetAddr(addr_);
  s.Listen();
}

void THttpServer::Stop() {
  if (!wsocket_) return;
  wsocket_->Close();
  for (int i = ClientCount() - 1; i >= 0; --i) {
    try {
      if (THttpConnection* c = Client(i)) c->Abort();
    } catch (const std::exception&) {
      // a connection that cannot even be aborted is freed with the server
    }
  }
}

int THttpServer::ClientCount() const { return wsocket_ ? wsocket_->ClientCount() : 0; }

THttpConnection* THttpServer::Client(int index) const {
  if (!wsocket_) return nullptr;
  return static_cast<THttpConnection*>(wsocket_->Client(index));
}

std::string THttpServer::ListeningPort() const {
  return wsocket_ ? wsocket_->LocalBoundPort() : "error";
}

// A blocked address, or one past its connection cap, is closed before anything is
// read or reported; the block itself was logged once, when it began.
bool THttpServer::RefuseConnection(THttpConnection& client) {
  const std::string addr = client.PeerAddr();
  if (guard_.Blocked(addr)) {
    client.Refuse();
    return true;
  }
  int count = 0;
  for (int i = 0; i < ClientCount(); ++i)
    if (Client(i)->PeerAddr() == addr) ++count;
  if (!Limits.OverAddressCap(count)) return false;
  FireLimit(client, std::string("Deny: ") + kMsgTooManyFromAddress);
  client.Refuse();
  return true;
}

void THttpServer::FireLimit(THttpConnection& client, const std::string& text) {
  if (OnLimit) OnLimit(*this, client, text);
}

void THttpServer::WireConnection(THttpConnection& c) {
  c.SetLineMode(true);
  c.SetLineEdit(false);
  c.SetLineEnd("\n");
  c.SetDocDir(docDir_);
  c.SetDefaultDoc(defaultDoc_);
  c.OnGetDocument = [this](THttpConnection& sender, THttpGetFlag& flags) {
    TriggerGetDocument(sender, flags);
  };
  c.OnHeadDocument = [this](THttpConnection& sender, THttpGetFlag& flags) {
    TriggerHeadDocument(sender, flags);
  };
  c.OnPostDocument = [this](THttpConnection& sender, THttpGetFlag& flags) {
    TriggerPostDocument(sender, flags);
  };
  c.OnPostedData = [this](THttpConnection& sender, std::uint16_t error) {
    TriggerPostedData(sender, error);
  };
  c.OnLimit = [this](THttpConnection& sender, const std::string& text) { FireLimit(sender, text); };
}

void THttpServer::TriggerServerStarted() {
  if (OnServerStarted) OnServerStarted(*this);
}

void THttpServer::TriggerServerStopped() {
  if (OnServerStopped) OnServerStopped(*this);
}

void THttpServer::TriggerClientConnect(THttpConnection& client, std::uint16_t error) {
  if (OnClientConnect) OnClientConnect(*this, client, error);
}

void THttpServer::TriggerClientDisconnect(THttpConnection& client, std::uint16_t error) {
  if (OnClientDisconnect) OnClientDisconnect(*this, client, error);
}

void THttpServer::TriggerGetDocument(THttpConnection& client, THttpGetFlag& flags) {
  if (OnGetDocument) OnGetDocument(*this, client, flags);
}

void THttpServer::TriggerHeadDocument(THttpConnection& client, THttpGetFlag& flags) {
  if (OnHeadDocument) OnHeadDocument(*this, client, flags);
}

void THttpServer::TriggerPostDocument(THttpConnection& client, THttpGetFlag& flags) {
  if (OnPostDocument) OnPostDocument(*this, client, flags);
}

void THttpServer::TriggerPostedData(THttpConnection& client, std::uint16_t error) {
  if (OnPostedData) OnPostedData(*this, client, error);
}

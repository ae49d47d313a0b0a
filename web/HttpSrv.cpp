#include "web/HttpSrv.h"

#include <cstdio>

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
  std::string line = StripLineEnd(ReceiveText());
  if (phase_ == 0 && sendShut_) {
    // A kept-alive peer asks again, but the answer side is already shut down:
    // nothing could reach it, so end the connection rather than leave it hanging.
    CloseLater();
    return;
  }
  ProcessLine(line);
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
      // and drops whatever still comes before the close.
      headers_ = THttpRequestHeaders{};
      phase_ = 2;
      CloseLater();
      return;
    }
    ApplyHeaderLine(line, headers_);
    return;
  }
  phase_ = 2;
  Dispatch();
}

void THttpConnection::Dispatch() {
  if (request_.Path.empty()) return;
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
      SendNotFound();
      CloseLater();
      return;
    case hgSendStream:
      SendDocumentStream();
      return;
    case hgWillSendMySelf:
      return;
    case hg404:
      SendNotFound();
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
  const std::int64_t size = body->Size();
  if (!withBody) body->SeekToEnd();
  DocumentStream = std::move(body);
  QueueText(OkHeader(request_.RequestVersion, contentType, size, lastModified));
  SendDocumentStream();
}

void THttpConnection::SendDocumentStream() {
  if (!DocumentStream) {
    CloseLater();
    return;
  }
  if (!sendBuffer_) sendBuffer_ = std::make_unique<char[]>(kSendBlockSize);
  OnDataSent = [this](TCustomWSocket&, std::uint16_t) { SendChunk(); };
  SendChunk();
}

void THttpConnection::SendChunk() {
  if (!DocumentStream) return;
  const std::int64_t n = DocumentStream->Read(sendBuffer_.get(), kSendBlockSize);
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
  if (!WantsKeepAlive(headers_.ReqConnection)) CloseLater();
}

void THttpConnection::SendNotFound() {
  SendText(NotFoundAnswer(request_.RequestVersion, request_.Path));
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
    WireConnection(connection);
    TriggerClientConnect(connection, error);
  };
  s.OnClientDisconnect = [this](TCustomWSocketServer&, TWSocketClient& client,
                                std::uint16_t error) {
    TriggerClientDisconnect(static_cast<THttpConnection&>(client), error);
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

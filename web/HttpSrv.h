#pragma once
// The HTTP/1.0 engine behind every web server: THttpServer owns a listening socket
// and makes one THttpConnection (or the program's subclass) per accepted peer; the
// connection reads the request in line mode and either answers from DocDir by
// itself or asks its owner through the document events, whose Flags answer says
// what to send.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/ClientLimits.h"
#include "net/WSocketS.h"
#include "web/HttpSrvParse.h"
#include "web/HttpSrvStream.h"

enum THttpGetFlag : std::uint8_t {
  hgSendDoc = 0,         // the engine serves Document from DocDir
  hgSendStream = 1,      // the handler set DocumentStream; the engine sends it
  hgWillSendMySelf = 2,  // the handler answers (or has answered) by itself
  hg404 = 3,
  hgAcceptData = 4,      // POST: the body goes to OnPostedData
};

class THttpConnection;
class THttpServer;

using THttpGetConnEvent = std::function<void(THttpConnection& sender, THttpGetFlag& flags)>;
using THttpPostedDataConnEvent =
    std::function<void(THttpConnection& sender, std::uint16_t error)>;

// One peer of a web server: request state, answer streaming and the keep-alive rule.
// Owned by the server's listening socket; freed after OnClientDisconnect.
class THttpConnection : public TWSocketClient {
public:
  THttpConnection();
  ~THttpConnection() override;

  // Set by the server to its own triggers when the connection is accepted.
  THttpGetConnEvent OnGetDocument;
  THttpGetConnEvent OnHeadDocument;
  THttpGetConnEvent OnPostDocument;
  THttpPostedDataConnEvent OnPostedData;

  const std::string& DocDir() const { return docDir_; }
  void SetDocDir(std::string v) { docDir_ = std::move(v); }
  const std::string& DefaultDoc() const { return defaultDoc_; }
  void SetDefaultDoc(std::string v) { defaultDoc_ = std::move(v); }
  const std::string& Document() const { return document_; }
  void SetDocument(std::string v) { document_ = std::move(v); }
  // The request target up to "?", exactly as received; a handler may replace it.
  const std::string& Path() const { return request_.Path; }
  void SetPath(std::string v) { request_.Path = std::move(v); }
  const std::string& Params() const { return request_.Params; }
  const std::string& RequestMethod() const { return request_.RequestMethod; }
  const std::string& RequestVersion() const { return request_.RequestVersion; }
  // Recognised header values and every header line of the current request.
  const THttpRequestHeaders& Headers() const { return headers_; }
  THttpRequestHeaders& Headers() { return headers_; }
  const std::vector<std::string>& HeaderLines() const { return headers_.HeaderLines; }
  // 0 waiting for the request line, 1 reading headers, 2 request complete.
  std::uint8_t ConnectionPhase() const { return phase_; }
  bool AcceptPostedData() const { return acceptPostedData_; }
  const std::string& AnswerContentType() const { return answerContentType_; }

  // The answer body; the connection owns it and frees it once sent.
  std::unique_ptr<THttpStream> DocumentStream;

  // Streams DocumentStream exactly as it is, adding nothing, one block per
  // OnDataSent; shuts down the sending side and ends the document at its end.
  void SendDocumentStream();
  // A complete answer: head, then (withBody) the stream's bytes, of which there must
  // be exactly head.ContentLength.
  void SendAnswer(const THttpAnswerHead& head, std::unique_ptr<THttpStream> body,
                  bool withBody);
  // Text made whole (head and body, as the 401 and 503 answers are), with or without
  // its body.
  void SendAnswerText(const std::string& text, bool withBody);
  // A complete 200 answer: the head (type, exact length, Last-Modified when given)
  // and, withBody, the stream's bytes.
  void SendDocumentAnswer(std::unique_ptr<THttpStream> body, const std::string& contentType,
                          const std::int64_t* lastModified, bool withBody = true);
  // Serves Document; false (nothing sent) when it cannot be opened.
  bool SendFileDocument(bool withBody);
  // The 404 page for Path; its head alone for HEAD.
  void SendNotFound(bool withBody = true);
  // Turns line mode back on after a handler took the connection over.
  virtual void ReturnToLineMode();
  // Runs send after delay, reading nothing meanwhile (the pause after a wrong
  // password); at once when the server's time limits are off.
  void DelayAnswer(std::chrono::milliseconds delay, std::function<void()> send);

  // The server's limits, copied when the connection is accepted.
  void StartLimits(const TLimitSettings& limits);
  // Fired when a time limit ends the connection or a plain request is sent to https;
  // text is the log's wording.
  std::function<void(THttpConnection& sender, const std::string& text)> OnLimit;
  // Turned away on accept: no connect or disconnect is reported for it.
  bool Refused() const { return refused_; }
  void Refuse();
  // Plain requests get a redirect to the https address instead of an answer.
  void SetRequireTls(bool on) { requireTls_ = on; }

protected:
  virtual void TriggerGetDocument(THttpGetFlag& flags);
  virtual void TriggerHeadDocument(THttpGetFlag& flags);
  virtual void TriggerPostDocument(THttpGetFlag& flags);

private:
  void ConnectionDataAvailable(std::uint16_t error);
  void ProcessLine(const std::string& line);
  void Dispatch();
  void RedirectToTls();
  void ProcessGetOrHead(bool isGet);
  void ProcessPost();
  void SendChunk();
  void DocumentDone();
  void ArmLimits();
  void CheckLimits();
  bool AnswerPending() const;

  std::string docDir_ = "c:\\wwwroot";
  std::string defaultDoc_ = "index.html";
  std::string document_;
  THttpRequestLine request_;
  THttpRequestHeaders headers_;
  std::size_t headerBytes_ = 0;  // header line bytes of the current request
  std::uint8_t phase_ = 0;
  bool acceptPostedData_ = false;
  bool sendShut_ = false;  // the sending side is shut: no further answer can go out
  std::string answerContentType_;
  // What one step of the answer reads from a stream the socket cannot take whole.
  static constexpr std::int64_t kAnswerChunk = 16 * 1024;
  std::unique_ptr<char[]> sendBuffer_;
  TLimitSettings limits_{0, 0};  // off until the server hands its own over
  using TTime = std::chrono::steady_clock::time_point;
  TTime headerSince_{};   // accepted, or the previous answer ended
  TTime lastProgress_{};  // the answer last moved
  TTime lastLook_{};      // what the kernel holds for the peer was last looked at
  TLoopTimer limitTimer_;
  TTime limitTimerFor_{};
  TLoopTimer answerTimer_;
  bool refused_ = false;
  bool requireTls_ = false;
};

using THttpConnectEvent =
    std::function<void(THttpServer& sender, THttpConnection& client, std::uint16_t error)>;
using THttpGetEvent =
    std::function<void(THttpServer& sender, THttpConnection& client, THttpGetFlag& flags)>;
using THttpPostedDataEvent = THttpConnectEvent;
using THttpServerEvent = std::function<void(THttpServer& sender)>;
// A time limit, block, refusal or redirect to https hit a client; text is the log's
// wording without the client's address.
using THttpLimitEvent =
    std::function<void(THttpServer& sender, THttpConnection& client, const std::string& text)>;

class THttpServer {
public:
  using TConnectionFactory = std::function<std::unique_ptr<THttpConnection>()>;

  THttpServer();
  virtual ~THttpServer();
  THttpServer(const THttpServer&) = delete;
  THttpServer& operator=(const THttpServer&) = delete;

  THttpServerEvent OnServerStarted;
  THttpServerEvent OnServerStopped;
  THttpConnectEvent OnClientConnect;
  // The connection has closed; it is freed right after this returns.
  THttpConnectEvent OnClientDisconnect;
  THttpGetEvent OnGetDocument;
  THttpGetEvent OnHeadDocument;
  THttpGetEvent OnPostDocument;
  THttpPostedDataEvent OnPostedData;
  THttpLimitEvent OnLimit;

  // Time limits and the per-address cap, read as each connection is accepted.
  TLimitSettings Limits;
  // Serves TLS to connections that open with a handshake when set (the owner keeps
  // it alive while the server runs); RequireTls sends plain requests to https.
  TTlsContext* Tls = nullptr;
  bool RequireTls = false;
  // Failed authorizations per address, for the owner's document handler to count.
  TAddressGuard& Guard() { return guard_; }

  // The connection class; THttpConnection when unset. Set before Start.
  TConnectionFactory ClientClass;
  template <typename T>
  void SetClientClass() {
    ClientClass = [] { return std::make_unique<T>(); };
  }

  std::intptr_t Tag() const { return tag_; }
  void SetTag(std::intptr_t tag) { tag_ = tag; }
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& port);
  const std::string& Addr() const { return addr_; }
  void SetAddr(const std::string& addr);
  const std::string& DocDir() const { return docDir_; }
  void SetDocDir(std::string v) { docDir_ = std::move(v); }
  const std::string& DefaultDoc() const { return defaultDoc_; }
  void SetDefaultDoc(std::string v) { defaultDoc_ = std::move(v); }
  TSocketLingerOnOff LingerOnOff() const { return lingerOnOff_; }
  void SetLingerOnOff(TSocketLingerOnOff v) { lingerOnOff_ = v; }
  std::int32_t LingerTimeout() const { return lingerTimeout_; }
  void SetLingerTimeout(std::int32_t v) { lingerTimeout_ = v; }
  static std::string SrcVersion();

  // Begins listening; throws ESocketException when it cannot (port in use: 10048).
  virtual void Start();
  // Stops listening and aborts every connection, last first.
  virtual void Stop();
  int ClientCount() const;
  THttpConnection* Client(int index) const;
  // The port actually listened on (useful after Port "0"); "error" when not listening.
  std::string ListeningPort() const;

protected:
  virtual void TriggerServerStarted();
  virtual void TriggerServerStopped();
  virtual void TriggerClientConnect(THttpConnection& client, std::uint16_t error);
  virtual void TriggerClientDisconnect(THttpConnection& client, std::uint16_t error);
  virtual void TriggerGetDocument(THttpConnection& client, THttpGetFlag& flags);
  virtual void TriggerHeadDocument(THttpConnection& client, THttpGetFlag& flags);
  virtual void TriggerPostDocument(THttpConnection& client, THttpGetFlag& flags);
  virtual void TriggerPostedData(THttpConnection& client, std::uint16_t error);

private:
  void WireConnection(THttpConnection& client);
  bool RefuseConnection(THttpConnection& client);
  void FireLimit(THttpConnection& client, const std::string& text);

  std::unique_ptr<TWSocketServer> wsocket_;
  std::intptr_t tag_ = 0;
  std::string port_ = "80";
  std::string addr_ = "0.0.0.0";
  std::string docDir_ = "c:\\wwwroot";
  std::string defaultDoc_ = "index.html";
  TSocketLingerOnOff lingerOnOff_ = wsLingerNoSet;
  std::int32_t lingerTimeout_ = 0;
  TAddressGuard guard_;
};

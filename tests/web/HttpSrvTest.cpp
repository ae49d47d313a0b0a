#include "web/HttpSrv.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <optional>
#include <thread>

#include "platform/EventLoop.h"
#include "tests/support/TempFolder.h"
#include "tests/web/HttpPeer.h"

using namespace std::chrono_literals;

namespace {

// What the document event saw of one request.
struct TSeenRequest {
  std::string method, path, params, version, document, host, connection;
  std::int64_t contentLength = -1;
  std::vector<std::string> lines;
};

// A peer that sends from a thread of its own over a blocking socket, so it keeps the
// kernel's buffers full while the test's loop, and the server on it, turns.
class TFloodSender {
public:
  TFloodSender(int port, std::size_t size) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return;
    thread_ = std::thread([this, size] {
      const std::string chunk(64 << 10, '\n');
      while (sent_ < size) {
        ssize_t n = ::send(fd_, chunk.data(), std::min(chunk.size(), size - sent_), MSG_NOSIGNAL);
        if (n <= 0) return;
        sent_ += static_cast<std::size_t>(n);
      }
    });
  }
  ~TFloodSender() {
    ::shutdown(fd_, SHUT_RDWR);  // wakes a send still blocked
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  std::size_t Sent() const { return sent_; }

private:
  int fd_;
  std::atomic<std::size_t> sent_{0};
  std::thread thread_;
};

class HttpEngineTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string docDir = docs_.Drive();
    docDir.pop_back();  // DocDir carries no trailing backslash
    server_.SetDocDir(docDir);
    server_.SetAddr("127.0.0.1");
    server_.SetPort("0");
    server_.OnGetDocument = [this](THttpServer&, THttpConnection& c, THttpGetFlag& flags) {
      Record(c);
      if (getAnswer_) flags = *getAnswer_;
    };
    server_.OnClientDisconnect = [this](THttpServer&, THttpConnection&, std::uint16_t) {
      ++disconnects_;
    };
    server_.Start();
    port_ = std::stoi(server_.ListeningPort());
  }
  void TearDown() override { server_.Stop(); }

  void Record(THttpConnection& c) {
    TSeenRequest r;
    r.method = c.RequestMethod();
    r.path = c.Path();
    r.params = c.Params();
    r.version = c.RequestVersion();
    r.document = c.Document();
    r.host = c.Headers().ReqHost;
    r.connection = c.Headers().ReqConnection;
    r.contentLength = c.Headers().ReqContentLength;
    r.lines = c.HeaderLines();
    seen_ = r;
  }

  // Sends one request on a new connection and returns everything until the
  // server ends its answer.
  std::string Exchange(const std::string& request) {
    THttpPeer peer(port_);
    peer.Send(request);
    return peer.ReadToEnd();
  }
  bool WaitForDisconnects(int n) {
    return EventLoop::Instance().WaitFor([&] { return disconnects_ >= n; }, 5s);
  }
  std::string Doc(const std::string& rel) { return docs_.Drive(rel); }

  TTempFolder docs_;
  THttpServer server_;
  int port_ = 0;
  std::optional<TSeenRequest> seen_;
  std::optional<THttpGetFlag> getAnswer_;
  int disconnects_ = 0;
};

TEST_F(HttpEngineTest, RequestLineAndHeadersReachTheHandler) {
  docs_.WriteFile("a b.txt", "0123456789");
  getAnswer_ = hg404;
  Exchange(
      "GET /a%20b.txt?x=1 HTTP/1.1\r\nHOST:    example.org\r\nno colon line\r\n"
      "Content-Length: many\r\nconnection: close\r\n\r\n");
  ASSERT_TRUE(seen_);
  EXPECT_EQ(seen_->method, "GET");
  EXPECT_EQ(seen_->path, "/a%20b.txt");
  EXPECT_EQ(seen_->params, "x=1");
  EXPECT_EQ(seen_->version, "HTTP/1.1");
  EXPECT_EQ(seen_->document, Doc("a b.txt"));
  EXPECT_EQ(seen_->host, "example.org");
  EXPECT_EQ(seen_->connection, "close");
  EXPECT_EQ(seen_->contentLength, 0);
  EXPECT_EQ(seen_->lines,
            (std::vector<std::string>{"HOST:    example.org", "no colon line",
                                      "Content-Length: many", "connection: close"}));
}

TEST_F(HttpEngineTest, RequestSplitAtEveryOffsetParsesTheSame) {
  const std::string request = "GET /x?q HTTP/1.1\r\nHost: h\r\n\r\n";
  getAnswer_ = hg404;
  for (std::size_t cut = 1; cut < request.size(); cut += 3) {
    SCOPED_TRACE(cut);
    seen_.reset();
    THttpPeer peer(port_);
    peer.Send(request.substr(0, cut));
    EventLoop::Instance().WaitFor([] { return false; }, 5ms);
    peer.Send(request.substr(cut));
    peer.ReadToEnd();
    ASSERT_TRUE(seen_);
    EXPECT_EQ(seen_->path, "/x");
    EXPECT_EQ(seen_->params, "q");
    EXPECT_EQ(seen_->host, "h");
  }
}

TEST_F(HttpEngineTest, FileIsServedWithExactHead) {
  docs_.WriteFile("a b.txt", "0123456789");
  docs_.SetModified("a b.txt", 1700000000);
  std::string answer = Exchange("GET /a%20b.txt?x=1 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(answer,
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n"
            "Last-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\nConnection: close\r\n\r\n"
            "0123456789");
}

TEST_F(HttpEngineTest, RootMapsToDefaultDocumentWithVersionDefault) {
  docs_.WriteFile("index.html", "<p>hi</p>");
  std::string answer = Exchange("GET /\r\n\r\n");
  EXPECT_EQ(SplitAnswer(answer).body, "<p>hi</p>");
  EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 9\r\n", 0),
            0u);
}

TEST_F(HttpEngineTest, LargeFileArrivesWhole) {
  std::string content;
  for (int i = 0; content.size() < 300000; ++i) content += std::to_string(i) + ",";
  docs_.WriteFile("big.bin", content);
  THttpAnswer a = SplitAnswer(Exchange("GET /big.bin HTTP/1.0\r\n\r\n"));
  EXPECT_NE(a.head.find("Content-Type: application/binary\r\nContent-Length: " +
                        std::to_string(content.size()) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(a.body, content);
}

TEST_F(HttpEngineTest, EmptyFileStillGetsItsHead) {
  // The body's end was reached before the head had left, and shutting down the
  // sending side there dropped the head: the peer got nothing at all.
  docs_.WriteFile("empty.txt", "");
  std::string answer = Exchange("GET /empty.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n", 0),
            0u);
  EXPECT_EQ(SplitAnswer(answer).body, "");
}

TEST_F(HttpEngineTest, MissingFileGetsExactNotFoundPageAndClose) {
  std::string answer = Exchange("GET /nope%41.html HTTP/1.1\r\n\r\n");
  const std::string body =
      "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>404 Not Found</H1>The "
      "requested URL /nope%41.html was not found on this server.<P></BODY></HTML>\r\n";
  EXPECT_EQ(answer, "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  EXPECT_TRUE(WaitForDisconnects(1));
}

TEST_F(HttpEngineTest, EscapesOutOfDocDirAreNotFound) {
  // The engine decoded %2e%2e after mapping and served any file of the disk.
  docs_.MakeFolder("www");
  docs_.WriteFile("secret.txt", "secret");
  std::string docDir = docs_.Drive("www");
  server_.Stop();
  server_.SetDocDir(docDir);
  server_.Start();
  port_ = std::stoi(server_.ListeningPort());
  for (const char* path : {"/../secret.txt", "/%2e%2e/secret.txt", "/x%2f..%2f..%2fsecret.txt",
                           "/..%5csecret.txt", "/secret.txt%00.html"}) {
    SCOPED_TRACE(path);
    std::string answer = Exchange(std::string("GET ") + path + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u);
    EXPECT_EQ(answer.find("secret\r\n"), std::string::npos);
  }
}

TEST_F(HttpEngineTest, FileGrowingDuringTheAnswerSendsTheAnnouncedLength) {
  // A shared file appended to while it was being sent went out whole, past the
  // Content-Length already announced, so a client saw the extra bytes as garbage.
  docs_.WriteFile("log.txt", "0123456789");
  server_.OnGetDocument = [this](THttpServer&, THttpConnection& c, THttpGetFlag& flags) {
    c.SendDocumentAnswer(THttpFileStream::Open(Doc("log.txt")), "text/plain", nullptr);
    std::ofstream(docs_.Native("log.txt"), std::ios::binary | std::ios::app)
        << std::string(5000, 'x');
    flags = hgWillSendMySelf;
  };
  std::string answer = Exchange("GET /log.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(answer, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n"
                    "Connection: close\r\n\r\n0123456789");
}

TEST_F(HttpEngineTest, HeadAnswersTheHeadOnly) {
  docs_.WriteFile("ten.txt", "0123456789");
  THttpAnswer a = SplitAnswer(Exchange("HEAD /ten.txt HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(a.head.rfind("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n", 0),
            0u);
  EXPECT_EQ(a.body, "");
  EXPECT_TRUE(WaitForDisconnects(1));
  THttpAnswer none = SplitAnswer(Exchange("HEAD /none.txt HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(none.head.rfind("HTTP/1.0 404 Not Found", 0), 0u);
  EXPECT_EQ(none.body, "");
}

// A client may end its sending side once its request is out, and still reads; the
// answer used to stop a few mebibytes in.
TEST_F(HttpEngineTest, PeerThatEndsItsSendingSideGetsTheWholeAnswer) {
  docs_.WriteFile("big.bin");
  ASSERT_EQ(::truncate(docs_.Native("big.bin").c_str(), 32 << 20), 0);
  THttpPeer peer(port_);
  peer.Send("GET /big.bin HTTP/1.0\r\n\r\n");
  peer.EndSending();
  EXPECT_EQ(SplitAnswer(peer.ReadToEnd()).body.size(), 32u << 20);
  // A request that gets no answer is not worth keeping its connection for.
  THttpPeer pathless(port_);
  pathless.Send("\r\n\r\n");
  pathless.EndSending();
  EXPECT_EQ(pathless.ReadToEnd(std::chrono::seconds(5)), "");
  EXPECT_TRUE(pathless.Ended()) << "the connection was kept";
}

TEST_F(HttpEngineTest, LengthOfFilesPastTwoGiBIsExact) {
  docs_.WriteFile("huge.bin");
  ASSERT_EQ(::truncate(docs_.Native("huge.bin").c_str(), 3221225472), 0);  // sparse
  THttpAnswer a = SplitAnswer(Exchange("HEAD /huge.bin HTTP/1.0\r\n\r\n"));
  EXPECT_NE(a.head.find("\r\nContent-Length: 3221225472\r\n"), std::string::npos) << a.head;
}

TEST_F(HttpEngineTest, PostWithoutHandlerAndOtherMethodsGetNotFound) {
  for (const char* request : {"POST /form HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc",
                              "OPTIONS / HTTP/1.0\r\n\r\n", "get / HTTP/1.0\r\n\r\n"}) {
    SCOPED_TRACE(request);
    docs_.WriteFile("index.html", "x");
    std::string answer = Exchange(request);
    EXPECT_EQ(answer.rfind("HTTP/1.0 ", 0), 0u);
    if (std::string(request).rfind("get", 0) == 0)
      EXPECT_NE(answer.find(" 200 OK"), std::string::npos);  // the method is upper-cased
    else
      EXPECT_NE(answer.find(" 404 Not Found"), std::string::npos);
  }
  EXPECT_FALSE(seen_ && seen_->method != "GET");
}

TEST_F(HttpEngineTest, PostedBodyReachesAcceptingHandler) {
  std::string posted;
  server_.OnPostDocument = [](THttpServer&, THttpConnection&, THttpGetFlag& flags) {
    flags = hgAcceptData;
  };
  server_.OnPostedData = [&](THttpServer&, THttpConnection& c, std::uint16_t) {
    posted += c.ReceiveText();
  };
  THttpPeer peer(port_);
  peer.Send("POST /f HTTP/1.0\r\nContent-Length: 6\r\n\r\nname=x\n");
  EXPECT_TRUE(EventLoop::Instance().WaitFor([&] { return posted == "name=x\n"; }, 5s));
}

TEST_F(HttpEngineTest, KeepAliveLeavesTheConnectionOpenUntilTheNextRequest) {
  docs_.WriteFile("k.txt", "kk");
  THttpPeer peer(port_);
  peer.Send("GET /k.txt HTTP/1.1\r\nConnection: KEEP-alive\r\n\r\n");
  EXPECT_EQ(SplitAnswer(peer.ReadToEnd()).body, "kk");  // the sending side ends
  EventLoop::Instance().WaitFor([] { return false; }, 100ms);
  EXPECT_EQ(server_.ClientCount(), 1);
  EXPECT_EQ(disconnects_, 0);
  // Nothing can be answered any more, so a second request ends the connection.
  peer.Send("GET /k.txt HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(WaitForDisconnects(1));
  EXPECT_EQ(server_.ClientCount(), 0);
}

TEST_F(HttpEngineTest, WithoutKeepAliveTheConnectionCloses) {
  docs_.WriteFile("k.txt", "kk");
  for (const char* connection : {"", "Connection: close\r\n", "Connection: keep-alive, x\r\n"}) {
    SCOPED_TRACE(connection);
    int before = disconnects_;
    Exchange(std::string("GET /k.txt HTTP/1.1\r\n") + connection + "\r\n");
    EXPECT_TRUE(WaitForDisconnects(before + 1));
  }
}

TEST_F(HttpEngineTest, HeaderPastTheLimitsIsRefusedWithItsReason) {
  std::string said;
  server_.OnLimit = [&](THttpServer&, THttpConnection&, const std::string& text) { said = text; };
  std::string request = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 300; ++i) request += "X-" + std::to_string(i) + ": y\r\n";
  EXPECT_EQ(Exchange(request + "\r\n"),
            "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n"
            "Connection: close\r\n\r\n");
  EXPECT_EQ(said, "Request header too large");
}

// Closed as soon as the last byte was queued, a connection whose peer then sent
// anything (a pipelined request, a stray line end) was reset by the kernel, and the
// megabytes it still held for the peer were lost.
TEST_F(HttpEngineTest, BytesAfterTheRequestDoNotCutALargeAnswerShort) {
  const std::size_t size = 6 << 20;
  docs_.WriteFile("big.bin", std::string(size, 'b'));
  THttpPeer peer(port_);
  peer.Send("GET /big.bin HTTP/1.1\r\n\r\n");
  peer.ReadAtLeast(size / 2);
  EventLoop::Instance().WaitFor([] { return false; }, 300ms);  // the rest is queued
  peer.Send("\r\n");
  EXPECT_EQ(SplitAnswer(peer.ReadToEnd()).body.size(), size);
}

TEST_F(HttpEngineTest, StrayEmptyLineLeavesTheRequestUnanswered) {
  docs_.WriteFile("index.html", "x");
  THttpPeer peer(port_);
  peer.Send("\r\nGET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(peer.ReadAtLeast(1, 200ms), "");
  EXPECT_FALSE(peer.Ended());
  EXPECT_FALSE(seen_);
  EXPECT_EQ(server_.ClientCount(), 1);
}

TEST_F(HttpEngineTest, HandlerFlagsChooseTheAnswer) {
  docs_.WriteFile("f.txt", "file");
  server_.OnGetDocument = [](THttpServer&, THttpConnection& c, THttpGetFlag& flags) {
    if (c.Path() == "/stream") {
      c.DocumentStream = std::make_unique<THttpMemoryStream>("raw bytes");
      flags = hgSendStream;
    } else if (c.Path() == "/404") {
      flags = hg404;
    } else if (c.Path() == "/accept") {
      flags = hgAcceptData;
    }
  };
  EXPECT_EQ(Exchange("GET /stream HTTP/1.0\r\n\r\n"), "raw bytes");
  EXPECT_EQ(Exchange("GET /404 HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404 Not Found", 0), 0u);
  EXPECT_EQ(Exchange("GET /accept HTTP/1.0\r\n\r\n"), "");  // closed without an answer
  EXPECT_EQ(SplitAnswer(Exchange("GET /f.txt HTTP/1.0\r\n\r\n")).body, "file");
}

TEST_F(HttpEngineTest, EndlessHeaderLinesEndTheConnection) {
  // Every header line was kept until the blank line, so one peer that never sent
  // it could grow the program by hundreds of megabytes.
  docs_.WriteFile("h.txt", "hh");
  THttpPeer flood(port_);
  flood.Send("GET /h.txt HTTP/1.0\r\n");
  const std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
  for (int i = 0; i < 4000 && !flood.Ended(); ++i) flood.Send(line);
  EXPECT_TRUE(flood.ClosedByServer());
  EXPECT_FALSE(seen_);
  // A request with the headers a browser sends is still answered.
  std::string headers;
  for (int i = 0; i < 60; ++i) headers += "X-Header-" + std::to_string(i) + ": value\r\n";
  EXPECT_EQ(SplitAnswer(Exchange("GET /h.txt HTTP/1.0\r\n" + headers + "\r\n")).body, "hh");
  ASSERT_TRUE(seen_);
  EXPECT_EQ(seen_->lines.size(), 60u);
}

TEST_F(HttpEngineTest, FloodOfEmptyLinesOnOneConnectionDoesNotHoldTheOthers) {
  // One read took in all the connection had and every line taken moved the rest
  // to the front: 4 MB of bare LF bytes on one connection held every server of the
  // program for over a minute.
  docs_.WriteFile("a.txt", "probe");
  constexpr std::size_t kFlood = 4 << 20;
  TFloodSender flood(port_, kFlood);
  auto& loop = EventLoop::Instance();
  ASSERT_TRUE(loop.WaitFor([&] { return flood.Sent() >= (1u << 20); }, 10s));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SplitAnswer(Exchange("GET /a.txt HTTP/1.0\r\n\r\n")).body, "probe");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_TRUE(loop.WaitFor([&] { return flood.Sent() == kFlood; }, 20s));
}

TEST_F(HttpEngineTest, PlainRequestUnderRequireTlsIsRedirectedAndLogged) {
  std::vector<std::string> logged;
  server_.OnLimit = [&](THttpServer&, THttpConnection&, const std::string& text) {
    logged.push_back(text);
  };
  server_.RequireTls = true;
  const std::string host = "127.0.0.1:" + std::to_string(port_);
  const std::string answer = Exchange("GET /x?y=1 HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.1 301 Moved Permanently\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("\r\nLocation: https://127.0.0.1:" + std::to_string(port_) +
                        "/x?y=1\r\n"),
            std::string::npos)
      << answer;
  EXPECT_FALSE(seen_);
  EXPECT_EQ(logged, std::vector<std::string>{"GET /x (redirected to https)"});
}

TEST_F(HttpEngineTest, HandshakeWithoutCertificateIsRefusedAtOnce) {
  // With no usable certificate the hello was read as a request line, and an https
  // client waited out the 30-second header limit.
  std::vector<std::string> logged;
  server_.OnLimit = [&](THttpServer&, THttpConnection&, const std::string& text) {
    logged.push_back(text);
  };
  THttpPeer peer(port_);
  peer.Send(std::string("\x16\x03\x01\x00\x05\x01\x00\x00\x01\x03", 10));
  const std::string alert = peer.ReadToEnd(2s);
  EXPECT_TRUE(peer.Ended());
  EXPECT_EQ(alert, std::string("\x15\x03\x03\x00\x02\x02\x28", 7));
  EXPECT_TRUE(WaitForDisconnects(1));
  EXPECT_EQ(logged,
            std::vector<std::string>{"TLS refused: encryption is not available on this server"});
  // Plain requests on the same server are unaffected.
  docs_.WriteFile("p.txt", "plain");
  EXPECT_EQ(SplitAnswer(Exchange("GET /p.txt HTTP/1.0\r\n\r\n")).body, "plain");
}

TEST(HttpServer, TakenPortFailsToStartAndCountsNoClient) {
  THttpServer first, second;
  first.SetAddr("127.0.0.1");
  first.SetPort("0");
  first.Start();
  second.SetAddr("127.0.0.1");
  second.SetPort(first.ListeningPort());
  try {
    second.Start();
    FAIL() << "a taken port started";
  } catch (const ESocketException& e) {
    EXPECT_NE(std::string(e.what()).find("10048"), std::string::npos) << e.what();
  }
  EXPECT_EQ(second.ClientCount(), 0);
  EXPECT_EQ(second.Client(0), nullptr);
  EXPECT_EQ(THttpServer::SrcVersion(), "1.06");
}

}  // namespace

#include "platform/Tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <string>

#include "platform/FileHandle.h"

// Failures name the status rather than print it as a character.
void PrintTo(TTlsStatus status, std::ostream* out) {
  static const char* const kNames[] = {"tlsDone", "tlsWantRead", "tlsWantWrite", "tlsClosed",
                                       "tlsError"};
  *out << (status <= tlsError ? kNames[status] : "?");
}

namespace {

namespace fs = std::filesystem;

template <auto Free>
struct TFree {
  template <class T>
  void operator()(T* p) const { Free(p); }
};
using TSslCtx = std::unique_ptr<SSL_CTX, TFree<SSL_CTX_free>>;
using TSsl = std::unique_ptr<SSL, TFree<SSL_free>>;
using TSslSession = std::unique_ptr<SSL_SESSION, TFree<SSL_SESSION_free>>;

class TTempFolder {
public:
  TTempFolder() {
    std::string name = (fs::temp_directory_path() / "dravik-tls-XXXXXX").string();
    path_ = ::mkdtemp(name.data());
  }
  ~TTempFolder() { fs::remove_all(path_); }
  const std::string& Path() const { return path_; }
  std::string File(const char* name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

std::string RandomBytes(std::size_t size) {
  std::mt19937 random(42);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random());
  return data;
}

// A connected loopback TCP pair, both ends non-blocking.
void TcpPair(FileHandle& server, FileHandle& client) {
  FileHandle listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener.Get(), 1), 0);
  ASSERT_EQ(::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
  client = FileHandle(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::connect(client.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  server = FileHandle(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_TRUE(server.Valid());
  ::fcntl(server.Get(), F_SETFL, O_NONBLOCK);
  ::fcntl(client.Get(), F_SETFL, O_NONBLOCK);
}

bool Retry(int sslError) {
  return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
}

// One connection: our session on the server end, the library's client on the other.
struct TConnection {
  FileHandle serverFd, clientFd;
  std::unique_ptr<TTlsSession> server;
  TSsl client;
};

class TlsTest : public ::testing::Test {
protected:
  void SetUp() override {
    certificate_ = EnsureTlsCertificate(folder_.Path(), "test.example");
    ASSERT_TRUE(certificate_.Ok()) << certificate_.error;
    std::string error;
    context_ = TTlsContext::Create(certificate_, error);
    ASSERT_TRUE(context_) << error;
    clientCtx_.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_set_verify(clientCtx_.get(), SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_mode(clientCtx_.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  }

  // Calls step between bounded waits for either end until it answers true.
  bool Drive(TConnection& c, const std::function<bool()>& step) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (step()) return true;
      pollfd fds[2] = {{c.serverFd.Get(), POLLIN, 0}, {c.clientFd.Get(), POLLIN, 0}};
      ::poll(fds, 2, 5);
    }
    return false;
  }

  // A connection with its handshake done; the client offers `resume` when set, at
  // most TLS `maxVersion` when nonzero.
  std::unique_ptr<TConnection> Connect(SSL_SESSION* resume = nullptr, int maxVersion = 0,
                                       bool tickets = true) {
    auto c = std::make_unique<TConnection>();
    TcpPair(c->serverFd, c->clientFd);
    c->server = std::make_unique<TTlsSession>(*context_, c->serverFd.Get());
    if (!tickets) c->server->SkipSessionTickets();
    c->client.reset(SSL_new(clientCtx_.get()));
    SSL_set_fd(c->client.get(), c->clientFd.Get());
    if (maxVersion) SSL_set_max_proto_version(c->client.get(), maxVersion);
    if (resume) SSL_set_session(c->client.get(), resume);
    bool clientDone = false;
    const bool done = Drive(*c, [&] {
      if (!clientDone) {
        const int ret = SSL_connect(c->client.get());
        clientDone = ret == 1;
        if (!clientDone && !Retry(SSL_get_error(c->client.get(), ret))) return true;
      }
      const TTlsResult r = c->server->Handshake();
      EXPECT_NE(r.status, tlsError) << r.error;
      return (clientDone && r.status == tlsDone) || r.status == tlsError;
    });
    EXPECT_TRUE(done && clientDone && c->server->HandshakeDone()) << "handshake did not finish";
    return c;
  }

  // The server sends data whole, offering the unsent rest from a fresh copy each
  // time so the buffer moves, while the client reads; answers what the client got.
  std::string ServerToClient(TConnection& c, const std::string& data, int* waits = nullptr) {
    std::string unsent = data, received;
    char buffer[65536];
    Drive(c, [&] {
      if (!unsent.empty()) {
        const std::string moved = unsent;
        const TTlsResult r = c.server->Write(moved.data(), moved.size());
        EXPECT_NE(r.status, tlsError) << r.error;
        if (r.status == tlsError) return true;
        if (r.status == tlsDone) unsent.erase(0, r.bytes);
        if (r.status == tlsWantWrite && waits) ++*waits;
      }
      std::size_t n = 0;
      while (SSL_read_ex(c.client.get(), buffer, sizeof buffer, &n) == 1)
        received.append(buffer, n);
      return received.size() >= data.size();
    });
    return received;
  }

  // The client sends data while the server reads in small pieces; it drains what
  // the session holds before waiting, as an epoll caller must.
  std::string ClientToServer(TConnection& c, const std::string& data, std::size_t piece) {
    std::size_t sent = 0;
    std::string received;
    std::vector<char> buffer(piece);
    Drive(c, [&] {
      std::size_t n = 0;
      if (sent < data.size() &&
          SSL_write_ex(c.client.get(), data.data() + sent, data.size() - sent, &n) == 1)
        sent += n;
      for (;;) {
        const TTlsResult r = c.server->Read(buffer.data(), buffer.size());
        EXPECT_NE(r.status, tlsError) << r.error;
        if (r.status == tlsError) return true;
        if (r.status != tlsDone) break;
        received.append(buffer.data(), r.bytes);
      }
      EXPECT_EQ(c.server->Pending(), 0u) << "a read that wants the socket left bytes behind";
      return received.size() >= data.size();
    });
    return received;
  }

  // The session the client would offer on its next connection: under TLS 1.3 it
  // only arrives with the tickets, read along with the server's first bytes.
  TSslSession ClientSession(TConnection& c) {
    EXPECT_EQ(ServerToClient(c, "hello"), "hello");
    return TSslSession(SSL_get1_session(c.client.get()));
  }

  TTempFolder folder_;
  TTlsCertificate certificate_;
  std::unique_ptr<TTlsContext> context_;
  TSslCtx clientCtx_;
};

TEST(TlsCertificate, MadeOnceThenReusedWithTheKeyPrivate) {
  TTempFolder folder;
  const TTlsCertificate first = EnsureTlsCertificate(folder.Path(), "ann-laptop");
  ASSERT_TRUE(first.Ok()) << first.error;
  EXPECT_TRUE(first.created);
  EXPECT_TRUE(std::regex_match(first.fingerprint, std::regex("([0-9A-F]{2}:){31}[0-9A-F]{2}")))
      << first.fingerprint;
  struct stat key;
  ASSERT_EQ(::stat(first.keyPath.c_str(), &key), 0);
  EXPECT_EQ(key.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.Path()), fs::directory_iterator()), 2)
      << "a temporary file was left behind";

  const std::string certBefore = ReadFile(first.certPath);
  const TTlsCertificate second = EnsureTlsCertificate(folder.Path(), "other-name");
  ASSERT_TRUE(second.Ok()) << second.error;
  EXPECT_FALSE(second.created);
  EXPECT_EQ(second.fingerprint, first.fingerprint);
  EXPECT_EQ(ReadFile(second.certPath), certBefore);

  std::string error;
  const auto context = TTlsContext::Create(second, error);
  ASSERT_TRUE(context) << error;
  EXPECT_EQ(context->Fingerprint(), first.fingerprint);
}

// Files a user put in place are theirs: an unusable pair is reported, never replaced.
TEST(TlsCertificate, UnusableFilesAreReportedAndLeftAlone) {
  TTempFolder other;
  const TTlsCertificate foreign = EnsureTlsCertificate(other.Path(), "elsewhere");
  ASSERT_TRUE(foreign.Ok()) << foreign.error;
  struct TRow {
    const char* description;
    bool brokenCert, dropKey, foreignKey;
    const char* expected;
  };
  for (const TRow row : {TRow{"cert not PEM", true, false, false, "tls-cert.pem could not be read"},
                         TRow{"key missing", false, true, false, "tls-key.pem could not be read"},
                         TRow{"key of another cert", false, false, true, "does not belong"}}) {
    SCOPED_TRACE(row.description);
    TTempFolder folder;
    ASSERT_TRUE(EnsureTlsCertificate(folder.Path(), "mine").Ok());
    if (row.brokenCert) WriteFile(folder.File("tls-cert.pem"), "not a certificate\n");
    if (row.dropKey) fs::remove(folder.File("tls-key.pem"));
    if (row.foreignKey) fs::copy_file(foreign.keyPath, folder.File("tls-key.pem"),
                                      fs::copy_options::overwrite_existing);
    const std::string certBefore = ReadFile(folder.File("tls-cert.pem"));

    const TTlsCertificate result = EnsureTlsCertificate(folder.Path(), "mine");
    EXPECT_FALSE(result.Ok());
    EXPECT_NE(result.error.find(row.expected), std::string::npos) << result.error;
    EXPECT_EQ(ReadFile(folder.File("tls-cert.pem")), certBefore);
    EXPECT_EQ(fs::exists(folder.File("tls-key.pem")), !row.dropKey);
    std::string error;
    EXPECT_FALSE(TTlsContext::Create(result, error));
    EXPECT_FALSE(error.empty());
  }

  // Links whose targets are gone are the user's files all the same; a pipe in the
  // certificate's place must not hold the start.
  TTempFolder links;
  fs::create_symlink(links.File("gone-cert.pem"), links.File("tls-cert.pem"));
  fs::create_symlink(links.File("gone-key.pem"), links.File("tls-key.pem"));
  const TTlsCertificate dangling = EnsureTlsCertificate(links.Path(), "mine");
  EXPECT_NE(dangling.error.find("No such file"), std::string::npos) << dangling.error;
  EXPECT_TRUE(fs::is_symlink(links.File("tls-cert.pem")) && fs::is_symlink(links.File("tls-key.pem")));
  fs::remove(links.File("tls-cert.pem"));
  ASSERT_EQ(::mkfifo(links.File("tls-cert.pem").c_str(), 0600), 0);
  EXPECT_NE(EnsureTlsCertificate(links.Path(), "mine").error.find("tls-cert.pem could not be read"),
            std::string::npos);

  // A key another user put there is one they know.
  if (::geteuid() != 0) return;
  TTempFolder planted;
  ASSERT_TRUE(EnsureTlsCertificate(planted.Path(), "mine").Ok());
  ASSERT_EQ(::chown(planted.File("tls-key.pem").c_str(), 65534, 65534), 0);
  EXPECT_NE(EnsureTlsCertificate(planted.Path(), "mine").error.find("belongs to another user"),
            std::string::npos);
}

TEST_F(TlsTest, DataCrossesBothWaysIntact) {
  auto c = Connect();
  ASSERT_TRUE(c->server->HandshakeDone());
  EXPECT_FALSE(c->server->Protocol().empty());

  EXPECT_EQ(ServerToClient(*c, "220 ready\r\n"), "220 ready\r\n");
  EXPECT_EQ(ClientToServer(*c, "USER ann\r\n", 4096), "USER ann\r\n");
  // Small socket buffers make the sender wait and retry from a moved buffer.
  const int small = 16384;
  ::setsockopt(c->serverFd.Get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(c->clientFd.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string mebibyte = RandomBytes(1 << 20);
  int waits = 0;
  EXPECT_TRUE(ServerToClient(*c, mebibyte, &waits) == mebibyte) << "download corrupted";
  EXPECT_GT(waits, 0) << "the socket never made the writer wait";
  EXPECT_TRUE(ClientToServer(*c, mebibyte, 1000) == mebibyte) << "upload corrupted";
}

// The socket shows nothing new once a record is in, so the rest of a record read
// only in part is known from Pending() alone.
TEST_F(TlsTest, RestOfAPartlyReadRecordIsPending) {
  auto c = Connect();
  const std::string record(10000, 'r');
  std::size_t n = 0;
  ASSERT_EQ(SSL_write_ex(c->client.get(), record.data(), record.size(), &n), 1);
  char buffer[100];
  TTlsResult r;
  Drive(*c, [&] { return (r = c->server->Read(buffer, sizeof buffer)).status == tlsDone; });
  ASSERT_EQ(r.status, tlsDone) << r.error;
  EXPECT_EQ(c->server->Pending(), record.size() - r.bytes);
  pollfd fd{c->serverFd.Get(), POLLIN, 0};
  EXPECT_EQ(::poll(&fd, 1, 0), 0) << "the socket still shows the record";
}

TEST_F(TlsTest, EndOfStreamTellsCloseNotifyFromACutConnection) {
  char buffer[64];
  auto clean = Connect();
  ASSERT_EQ(SSL_shutdown(clean->client.get()), 0);
  TTlsResult r;
  Drive(*clean, [&] { return (r = clean->server->Read(buffer, sizeof buffer)).status != tlsWantRead; });
  EXPECT_EQ(r.status, tlsClosed) << r.error;
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(clean->server->Shutdown().status, tlsDone);
  Drive(*clean, [&] { return SSL_shutdown(clean->client.get()) == 1; });
  EXPECT_EQ(SSL_shutdown(clean->client.get()), 1) << "no close_notify reached the client";

  auto cut = Connect();
  ::shutdown(cut->clientFd.Get(), SHUT_WR);
  Drive(*cut, [&] { return (r = cut->server->Read(buffer, sizeof buffer)).status != tlsWantRead; });
  EXPECT_EQ(r.status, tlsClosed) << r.error;
  EXPECT_NE(r.error, "");
  EXPECT_EQ(cut->server->Shutdown().status, tlsDone);
}

// The default action of SIGPIPE ends the process; this test process keeps it.
TEST_F(TlsTest, PeerGoneMidWriteIsAnErrorNotASignal) {
  auto c = Connect();
  linger reset{1, 0};
  ::setsockopt(c->clientFd.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  c->clientFd.Reset();
  // The socket layer collects the reset itself (SO_ERROR), after which a send
  // fails with EPIPE, the one that raises the signal.
  int pendingError = 0;
  socklen_t size = sizeof pendingError;
  pollfd fd{c->serverFd.Get(), POLLIN, 0};
  ASSERT_EQ(::poll(&fd, 1, 5000), 1);
  ::getsockopt(c->serverFd.Get(), SOL_SOCKET, SO_ERROR, &pendingError, &size);
  EXPECT_EQ(pendingError, ECONNRESET);
  const std::string chunk(16384, 'x');
  const TTlsResult r = c->server->Write(chunk.data(), chunk.size());
  EXPECT_EQ(r.status, tlsError);
  EXPECT_EQ(r.socketError, 10054) << r.error;
}

// A data connection must come from whoever holds the control connection's session;
// resuming a session of one's own, or none, is not enough.
TEST_F(TlsTest, DataConnectionMustResumeTheControlSession) {
  struct TRow {
    const char* description;
    int version;
    bool tickets;
  };
  for (const TRow row : {TRow{"TLS 1.3", TLS1_3_VERSION, true},
                         TRow{"TLS 1.2 with tickets", TLS1_2_VERSION, true},
                         TRow{"TLS 1.2 by session id", TLS1_2_VERSION, false}}) {
    SCOPED_TRACE(row.description);
    const int version = row.version;
    if (row.tickets) SSL_CTX_clear_options(clientCtx_.get(), SSL_OP_NO_TICKET);
    else SSL_CTX_set_options(clientCtx_.get(), SSL_OP_NO_TICKET);
    auto control = Connect(nullptr, version);
    const TSslSession session = ClientSession(*control);
    ASSERT_TRUE(session);

    auto data = Connect(session.get(), version);
    EXPECT_TRUE(data->server->ResumedSession());
    EXPECT_TRUE(data->server->ResumesSessionOf(*control->server));
    // Clients may offer the newest session they hold, which a data connection made.
    const TSslSession later = ClientSession(*data);
    auto nextData = Connect(later.get(), version);
    EXPECT_TRUE(nextData->server->ResumesSessionOf(*control->server));

    auto fresh = Connect(nullptr, version);
    EXPECT_FALSE(fresh->server->ResumedSession());
    EXPECT_FALSE(fresh->server->ResumesSessionOf(*control->server));

    auto strangerControl = Connect(nullptr, version);
    const TSslSession strangerSession = ClientSession(*strangerControl);
    auto stranger = Connect(strangerSession.get(), version);
    EXPECT_TRUE(stranger->server->ResumedSession());
    EXPECT_FALSE(stranger->server->ResumesSessionOf(*control->server));
    EXPECT_TRUE(stranger->server->ResumesSessionOf(*strangerControl->server));
  }
}

bool KernelHasTls(std::string& why) {
  FileHandle server, client;
  TcpPair(server, client);
  if (::setsockopt(client.Get(), SOL_TCP, TCP_ULP, "tls", sizeof "tls") == 0) return true;
  why = std::string("the kernel offers no TLS (TCP_ULP \"tls\": ") + std::strerror(errno) + ")";
  return false;
}

TEST_F(TlsTest, FileGoesOutThroughKernelTls) {
  std::string why;
  if (!KernelHasTls(why)) GTEST_SKIP() << why;
  auto c = Connect();
  ASSERT_TRUE(c->server->KtlsSend()) << "kernel has TLS but the session did not use it ("
                                     << c->server->Cipher() << ")";
  const std::string content = RandomBytes(1 << 20);
  WriteFile(folder_.File("file.bin"), content);
  FileHandle file(::open(folder_.File("file.bin").c_str(), O_RDONLY | O_CLOEXEC));
  std::int64_t offset = 0;
  std::string received;
  char buffer[65536];
  Drive(*c, [&] {
    if (offset < static_cast<std::int64_t>(content.size())) {
      const TTlsResult r = c->server->SendFile(file.Get(), offset, content.size() - offset);
      EXPECT_NE(r.status, tlsError) << r.error;
      if (r.status == tlsDone) offset += static_cast<std::int64_t>(r.bytes);
    }
    std::size_t n = 0;
    while (SSL_read_ex(c->client.get(), buffer, sizeof buffer, &n) == 1) received.append(buffer, n);
    return received.size() >= content.size();
  });
  EXPECT_TRUE(received == content) << "file corrupted on the way";
}

// An upload over TLS 1.3 whose client sends and closes without reading anything:
// a session ticket waiting unread in its socket turns the close into a reset, and
// the reset threw away the upload's last bytes.
TEST_F(TlsTest, UploadClosedWithoutReadingArrivesWhole) {
  auto control = Connect();
  const TSslSession session = ClientSession(*control);
  auto data = Connect(session.get(), 0, false);
  ASSERT_TRUE(data->server->ResumesSessionOf(*control->server));
  const std::string upload = RandomBytes(256 << 10);
  std::size_t sent = 0, n = 0;
  Drive(*data, [&] {
    if (SSL_write_ex(data->client.get(), upload.data() + sent, upload.size() - sent, &n) == 1)
      sent += n;
    return sent == upload.size();
  });
  ASSERT_EQ(sent, upload.size());
  data->clientFd.Reset();
  std::string received;
  char buffer[65536];
  TTlsResult r;
  Drive(*data, [&] {
    while ((r = data->server->Read(buffer, sizeof buffer)).status == tlsDone)
      received.append(buffer, r.bytes);
    return r.status != tlsWantRead;
  });
  EXPECT_EQ(r.status, tlsClosed) << r.error;
  EXPECT_EQ(received.size(), upload.size());
}
}  // namespace

// The socket's side of TLS against a real TLS client on loopback: a plain first
// byte stays plain, a handshake upgrades in place, and a peer that ends with
// close_notify but keeps its TCP connection open still gets its close and ours.
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net/WSocket.h"
#include "platform/Tls.h"
#include "tests/net/NetTestSupport.h"
#include "tests/support/TempFolder.h"

using namespace nettest;

namespace {

struct TSslFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
  void operator()(SSL* s) const { SSL_free(s); }
};

// An OpenSSL client on a peer's non-blocking descriptor; each call pumps the loop
// until the library has what it needs.
class TTlsClient {
public:
  explicit TTlsClient(int fd) : ctx_(SSL_CTX_new(TLS_client_method())), ssl_(SSL_new(ctx_.get())) {
    SSL_set_fd(ssl_.get(), fd);
  }
  bool Step(const std::function<int(SSL*)>& call) {
    bool ok = false;
    WaitUntil([&] {
      const int r = call(ssl_.get());
      const int e = SSL_get_error(ssl_.get(), r);
      if (r > 0 || e == SSL_ERROR_ZERO_RETURN) return ok = true;
      return e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE;
    });
    return ok;
  }
  bool Connect() { return Step(SSL_connect); }
  bool Write(const std::string& data) {
    for (std::size_t done = 0; done < data.size();) {
      int n = 0;
      if (!Step([&](SSL* s) { return n = SSL_write(s, data.data() + done, int(data.size() - done)); }))
        return false;
      done += std::size_t(n);
    }
    return true;
  }
  std::string Read(std::size_t count) {
    std::string got;
    char buf[16384];
    while (got.size() < count) {
      int n = 0;
      if (!Step([&](SSL* s) { return n = SSL_read(s, buf, sizeof buf); }) || n <= 0) break;
      got.append(buf, std::size_t(n));
    }
    return got;
  }
  SSL* Ssl() { return ssl_.get(); }

private:
  std::unique_ptr<SSL_CTX, TSslFree> ctx_;
  std::unique_ptr<SSL, TSslFree> ssl_;
};

class WSocketTlsTest : public ::testing::Test {
protected:
  void SetUp() override {
    TTlsCertificate certificate = EnsureTlsCertificate(folder_.Native(), "localhost");
    ASSERT_TRUE(certificate.Ok()) << certificate.error;
    std::string error;
    context_ = TTlsContext::Create(certificate, error);
    ASSERT_TRUE(context_) << error;
    socket_.SetAddr("127.0.0.1");
    socket_.SetPort(std::to_string(listener_.Port()));
    socket_.Connect();
    peer_ = std::make_unique<Peer>(listener_.Accept());
    ASSERT_TRUE(WaitUntil([&] { return socket_.State() == wsConnected; }));
    socket_.OnDataAvailable = [this](TCustomWSocket& s, std::uint16_t) { received_ += s.ReceiveText(); };
    socket_.OnTlsDone = [this](TCustomWSocket&, const std::string& error) {
      ++tlsDone_;
      tlsError_ = error;
    };
    socket_.OnSessionClosed = [this](TCustomWSocket&, std::uint16_t) { closed_ = true; };
  }

  TTempFolder folder_;
  std::unique_ptr<TTlsContext> context_;
  PeerListener listener_;
  TWSocket socket_;
  std::unique_ptr<Peer> peer_;
  std::string received_;
  int tlsDone_ = 0;
  std::string tlsError_;
  bool closed_ = false;
};

TEST_F(WSocketTlsTest, PlainFirstByteStaysPlain) {
  socket_.AcceptTlsIfOffered(*context_);
  peer_->Send("GET / HTTP/1.0\r\n");
  ASSERT_TRUE(WaitUntil([&] { return received_ == "GET / HTTP/1.0\r\n"; })) << received_;
  socket_.SendText("plain answer");
  EXPECT_EQ(peer_->Read(12), "plain answer");
  EXPECT_EQ(tlsDone_, 0);
  EXPECT_FALSE(socket_.TlsActive());
}

TEST_F(WSocketTlsTest, HandshakeUpgradesBothWaysAndCloseNotifyEndsTheSession) {
  socket_.AcceptTlsIfOffered(*context_);
  TTlsClient client(peer_->Fd());
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(WaitUntil([&] { return tlsDone_ == 1; }));
  EXPECT_EQ(tlsError_, "");
  const std::string up = Pattern(300 * 1024), down = Pattern(500 * 1024 + 3);
  ASSERT_TRUE(client.Write(up));
  ASSERT_TRUE(WaitUntil([&] { return received_.size() >= up.size(); }));
  EXPECT_EQ(received_, up);
  socket_.SendText(down);
  EXPECT_EQ(client.Read(down.size()), down);
  // close_notify while the TCP connection stays open, as a client does that waits
  // for ours before it hangs up.
  EXPECT_EQ(SSL_shutdown(client.Ssl()), 0);
  ASSERT_TRUE(WaitUntil([&] { return closed_; }));
  EXPECT_TRUE(client.Step(SSL_shutdown)) << "our close_notify never came";
}

// A client that answers the go-ahead at once puts its handshake behind the command
// while the server is still reading: that is the handshake, never more input.
TEST_F(WSocketTlsTest, StartTlsSendsTheGoAheadInClearAndReadsNothingPastIt) {
  TTlsClient client(peer_->Fd());
  socket_.OnDataAvailable = [&](TCustomWSocket& s, std::uint16_t) {
    received_ += s.ReceiveText();
    if (received_ != "AUTH\r\n" || s.TlsPending()) return;
    s.SendText("234 go ahead\r\n");
    socket_.StartTls(*context_);
    char reply[14];
    EXPECT_EQ(::recv(peer_->Fd(), reply, sizeof reply, 0), 14);
    EXPECT_EQ(SSL_connect(client.Ssl()), -1);  // the hello is on its way
  };
  peer_->Send("AUTH\r\n");
  ASSERT_TRUE(WaitUntil([&] { return socket_.TlsPending(); }));
  ASSERT_TRUE(client.Connect()) << received_.size() << " bytes taken as input";
  ASSERT_TRUE(WaitUntil([&] { return tlsDone_ == 1 && socket_.TlsActive(); })) << tlsError_;
  ASSERT_TRUE(client.Write("USER ann\r\n"));
  ASSERT_TRUE(WaitUntil([&] { return received_ == "AUTH\r\nUSER ann\r\n"; })) << received_;
}

}  // namespace

// Time limits, login throttling and per-address rules of the FTP engine, with
// short limits and raw loopback clients.

#include <gtest/gtest.h>

#include <chrono>

#include "FtpTestSupport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class FtpLimitsTest : public FtpTest {
protected:
  void SetUp() override {
    FtpTest::SetUp();
    server_->Limits = {2, 20};
    server_->OnLimit = [this](TFtpServer&, TFtpCtrlSocket& client, const std::string& text) {
      limitLines_.push_back("(" + client.PeerAddr() + ") " + text);
    };
  }
  void PumpFor(std::chrono::milliseconds span) {
    const auto until = Clock::now() + span;
    while (Clock::now() < until) EventLoop::Instance().RunOnce(10);
  }
  int ConnectFrom(const std::string& from) {
    ctrls_.push_back(std::make_unique<RawConn>("127.0.0.1", port_, from));
    return static_cast<int>(ctrls_.size()) - 1;
  }
  // A data connection to the port of a 227 reply.
  static int PasvPort(const std::string& reply) {
    int a, b, c, d, p1, p2;
    std::sscanf(reply.c_str(), "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d)", &a, &b, &c, &d,
                &p1, &p2);
    return p1 * 256 + p2;
  }

  std::vector<std::string> limitLines_;
};

TEST_F(FtpLimitsTest, QuietSessionsAreClosedWithTheirReason) {
  int waiting = Connect();
  Reply(waiting);
  int idle = Connect();
  Reply(idle);
  Login("ann", "secret", idle);
  EXPECT_EQ(Reply(waiting), "421 Login timeout.");
  EXPECT_EQ(Reply(idle), "421 Timeout (2 seconds): closing control connection.");
  EXPECT_TRUE(Ctrl(waiting).WaitClosed());
  EXPECT_TRUE(Ctrl(idle).WaitClosed());
  EXPECT_TRUE(WaitFor([&] { return server_->ClientCount() == 0; }));
  EXPECT_EQ(limitLines_, (std::vector<std::string>{"(127.0.0.1) Login timeout",
                                                   "(127.0.0.1) Idle timeout after 2 seconds"}));
}

TEST_F(FtpLimitsTest, UploadThatKeepsMovingOutlivesTheIdleLimit) {
  Connect();
  Reply();
  Login("ann", "secret");
  auto data = Passive();
  EXPECT_EQ(Command("STOR slow.txt"), "150 Opening data connection for slow.txt.");
  for (int i = 0; i < 6; ++i) {
    data->SendBytes("x");
    PumpFor(600ms);
  }
  data->Close();
  EXPECT_EQ(Reply(), "226 File received ok");
  EXPECT_EQ(ReadFile("slow.txt"), "xxxxxx");
}

// The time to log in ran from the connection: a session in use for longer was told
// "Login timeout" when it logged in again with the right password.
TEST_F(FtpLimitsTest, LoggingInAgainGetsTheTimeAfresh) {
  Connect();
  Reply();
  Login("ann", "secret");
  for (int i = 0; i < 5; ++i) {
    PumpFor(600ms);
    EXPECT_EQ(Command("NOOP"), "200 Ok. Parameter was ''.");
  }
  EXPECT_EQ(Command("USER ann").substr(0, 4), "331 ");
  EXPECT_EQ(Command("PASS secret").substr(0, 4), "230 ");
}

// The kernel took a whole download at once and handed it to a slow client for
// longer than the idle limit, and the quiet control connection was cut meanwhile.
TEST_F(FtpLimitsTest, DownloadStillBeingReadKeepsItsSession) {
  const std::size_t size = 3 << 20;
  WriteFile("big.bin", std::string(size, 'b'));
  Connect();
  Reply();
  Login("ann", "secret");
  auto data = Passive();
  EXPECT_EQ(Command("RETR big.bin"), "150 Opening data connection for big.bin.");
  std::size_t got = 0;
  for (const auto until = Clock::now() + 20s; !data->Ended() && Clock::now() < until;) {
    got += data->Take(64 << 10);
    PumpFor(100ms);
  }
  EXPECT_EQ(got, size);
  EXPECT_EQ(Reply(), "226 File sent ok");
  EXPECT_EQ(Command("NOOP"), "200 Ok. Parameter was ''.");
}

TEST_F(FtpLimitsTest, StalledDataConnectionsEndWith426AndFreeTheirPort) {
  WriteFile("a.txt", "abc");
  Connect();
  Reply();
  Login("ann", "secret");
  // A stalled upload keeps what arrived.
  auto data = Passive();
  EXPECT_EQ(Command("STOR part.txt"), "150 Opening data connection for part.txt.");
  data->SendBytes("partial");
  EXPECT_EQ(Reply(), "426 Connection closed; Data connection timeout (2 seconds).");
  EXPECT_EQ(ReadFile("part.txt"), "partial");
  // A download whose passive connection never comes.
  std::string pasv = Command("PASV");
  const int port = PasvPort(pasv);
  EXPECT_EQ(Command("RETR a.txt"), "150 Opening data connection for a.txt.");
  EXPECT_EQ(Reply(), "426 Connection closed; Data connection timeout (2 seconds).");
  RawConn late("127.0.0.1", port);
  EXPECT_FALSE(late.Connected());
  // The session itself goes on.
  EXPECT_EQ(Command("NOOP"), "200 Ok. Parameter was ''.");
}

TEST_F(FtpLimitsTest, WrongPasswordsArePausedAndTheThirdEndsTheSession) {
  server_->Limits = {10, 20};  // time for three guesses before the login deadline
  int guesser = Connect();
  Reply(guesser);
  int other = Connect();
  Reply(other);
  Command("USER ann", guesser);
  const auto sent = Clock::now();
  Ctrl(guesser).SendBytes("PASS wrong\r\nNOOP\r\n");
  // Another session is answered during the guesser's pause.
  EXPECT_EQ(Command("NOOP", other), "200 Ok. Parameter was ''.");
  EXPECT_LT(Clock::now() - sent, 500ms);
  EXPECT_EQ(Reply(guesser), "530 Login incorrect.");
  EXPECT_GE(Clock::now() - sent, 950ms);
  EXPECT_EQ(Reply(guesser), "200 Ok. Parameter was ''.");  // held, then answered

  Command("USER ann", guesser);
  EXPECT_EQ(Command("PASS wrong", guesser), "530 Login incorrect.");
  Command("USER ann", guesser);
  EXPECT_EQ(Command("PASS wrong", guesser), "530 Login incorrect.");
  EXPECT_EQ(Reply(guesser), "421 Too many failed logins.");
  EXPECT_TRUE(Ctrl(guesser).WaitClosed());
}

TEST_F(FtpLimitsTest, AnAddressIsBlockedAfterTenFailuresAndCapped) {
  server_->Limits = {0, 2};  // no pause, so ten guesses take no time
  for (int failures : {3, 3, 3, 1}) {
    int guesser = Connect();
    Reply(guesser);
    for (int i = 0; i < failures; ++i) {
      Command("USER ann", guesser);
      Command("PASS wrong", guesser);
    }
    if (failures < 3) Command("QUIT", guesser);
    Ctrl(guesser).WaitClosed();
    ASSERT_TRUE(WaitFor([&] { return server_->ClientCount() == 0; }));
  }
  int refused = Connect();
  EXPECT_EQ(Reply(refused), "421 Too many failed logins from your address; try again later.");
  EXPECT_TRUE(Ctrl(refused).WaitClosed());
  EXPECT_EQ(std::count(limitLines_.begin(), limitLines_.end(),
                       "(127.0.0.1) Deny: Address blocked for 10 minutes after 10 failed logins"),
            1);

  // Another address is neither blocked nor counted against this one's cap.
  int a = ConnectFrom("127.0.0.2"), b = ConnectFrom("127.0.0.2"), c = ConnectFrom("127.0.0.2");
  EXPECT_EQ(Reply(a).substr(0, 4), "220 ");
  EXPECT_EQ(Reply(b).substr(0, 4), "220 ");
  EXPECT_EQ(Reply(c), "421 Too many connections from your address.");
  EXPECT_TRUE(Ctrl(c).WaitClosed());
  EXPECT_EQ(limitLines_.back(), "(127.0.0.2) Deny: Too many connections from this address");
}

// The client limit and the refusals of RequireTls answered the client but left no
// activity line.
TEST_F(FtpLimitsTest, RefusalsWithoutALimitTextOfTheirOwnAreLoggedToo) {
  server_->MaxClients = 1;
  int first = Connect();
  Reply(first);
  int second = Connect();
  EXPECT_EQ(Reply(second), "421 Too many users connected.");
  Login("ann", "secret", first);
  server_->RequireTls = true;  // only now: a login in clear is among what it refuses
  EXPECT_EQ(Command("NLST", first), "521 Data connection cannot be opened with this PROT setting.");
  EXPECT_EQ(Command("USER ann", first), "530 This server requires TLS.");
  EXPECT_EQ(limitLines_,
            (std::vector<std::string>{
                "(127.0.0.1) Deny: Too many users connected (limit 1)",
                "(127.0.0.1) Deny: NLST over a clear data connection; this server requires "
                "encrypted data connections",
                "(127.0.0.1) Deny: Login in clear; this server requires TLS"}));
}

}  // namespace

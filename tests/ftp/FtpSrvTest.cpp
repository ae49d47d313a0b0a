// The command interpreter and the control connection, over loopback.

#include <gtest/gtest.h>

#include "FtpTestSupport.h"
#include "platform/EventLoop.h"

namespace {

using FtpInterpreterTest = FtpTest;

TEST_F(FtpInterpreterTest, GreetsWithTheBannerAndMatchesKeywordsInAnyCase) {
  server_->Banner = "220 Hello there";
  Connect();
  EXPECT_EQ(Reply(), "220 Hello there");
  EXPECT_EQ(Command("user Ann"), "331 Password required for Ann.");
  EXPECT_EQ(Command("  pAsS \t secret"), "230 User Ann logged in.");
  EXPECT_EQ(Command("NOOP  a b  "), "200 Ok. Parameter was 'a b  '.");
}

TEST_F(FtpInterpreterTest, EmptyOddAndUnknownLinesAreNotUnderstood) {
  Connect();
  Reply();
  EXPECT_EQ(Command(""), "500 '': command not understood.");
  Ctrl().SendBytes("\n");
  EXPECT_EQ(Reply(), "500 '': command not understood.");
  EXPECT_EQ(Command("  /etc/passwd x"), "500 '/etc/passwd x': command not understood.");
  EXPECT_EQ(Command("site chmod"), "500 'SITE': command not understood.");
  EXPECT_EQ(Command("RE$T 10"), "500 'RE': command not understood.");
  EXPECT_EQ(Command("XCWD /"), "500 'XCWD': command not understood.");
}

TEST_F(FtpInterpreterTest, TelnetInterruptBeforeAborIsDroppedAndDoubledIacIsOneByte) {
  Connect();
  Reply();
  EXPECT_EQ(Command("\xff\xf4" "ABOR"), "225 ABOR command successful.");
  EXPECT_EQ(Command("NOOP a\xff\xff" "b"), "200 Ok. Parameter was 'a\xff" "b'.");
}

TEST_F(FtpInterpreterTest, SeveralCommandsInOnePacketRunInOrder) {
  Connect();
  Reply();
  Ctrl().SendBytes("NOOP 1\r\nNOOP 2\nUSER x\r\n");
  EXPECT_EQ(Reply(), "200 Ok. Parameter was '1'.");
  EXPECT_EQ(Reply(), "200 Ok. Parameter was '2'.");
  EXPECT_EQ(Reply(), "331 Password required for x.");
}

TEST_F(FtpInterpreterTest, CommandSplitAcrossPacketsIsJoined) {
  Connect();
  Reply();
  const std::string line = "NOOP split\r\n";
  for (std::size_t cut = 1; cut < line.size(); ++cut) {
    SCOPED_TRACE(cut);
    Ctrl().SendBytes(line.substr(0, cut));
    Pump();
    Ctrl().SendBytes(line.substr(cut));
    EXPECT_EQ(Reply(), "200 Ok. Parameter was 'split'.");
  }
}

TEST_F(FtpInterpreterTest, CommandsWaitWhileRepliesGoUnreadAndAllAreAnsweredOnceTheyAreRead) {
  // The connection read on while its client never read a reply: 42 MB of commands
  // before any login grew the program by 294 MB.
  const std::string padding(32 << 10, 'y');
  int answered = 0;
  server_->OnAnswerToClient = [&](TFtpServer&, TFtpCtrlSocket&, std::string& answer) {
    ++answered;
    answer += padding;
  };
  Connect();
  Reply();
  std::string batch;
  for (int i = 0; i < 400; ++i) batch += "NOOP " + std::to_string(i) + "\r\n";
  Ctrl().SendBytes(batch);
  EventLoop::Instance().WaitFor([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_LT(answered, 400);
  EXPECT_LE(server_->Client(0)->BufferedByteCount(),
            TCustomWSocket::kOutputHighWater + std::int64_t(padding.size()) + 64);
  for (int i = 0; i < 400; ++i)
    ASSERT_EQ(Reply(), "200 Ok. Parameter was '" + std::to_string(i) + "'." + padding);
}

// Cut at 255 bytes, a long name named another file, and STOR wrote into that one.
TEST_F(FtpInterpreterTest, LineOf2046BytesIsACommandKeptWhole) {
  Connect();
  Reply();
  Ctrl().SendBytes("NOOP " + std::string(2041, 'x') + "\n");  // fills the buffer but one byte
  EXPECT_EQ(Reply(), "200 Ok. Parameter was '" + std::string(2041, 'x') + "'.");
}

TEST_F(FtpInterpreterTest, LineOf2047BytesWithoutLineEndEndsTheSession) {
  Connect();
  Reply();
  Ctrl().SendBytes(std::string(2047, 'x'));
  EXPECT_EQ(Reply(), "500 Command too long");
  EXPECT_TRUE(Ctrl().WaitClosed());
  EXPECT_TRUE(WaitFor([&] { return server_->ClientCount() == 0; }));
}

// Without a certificate nothing pretends to encrypt; with RequireTls nobody logs in
// in clear.
TEST_F(FtpInterpreterTest, TlsCommandsWithoutACertificate) {
  server_->RequireTls = true;
  Connect();
  Reply();
  EXPECT_EQ(Command("FEAT").find("AUTH TLS"), std::string::npos);
  EXPECT_EQ(Command("AUTH TLS"), "431 TLS is not available on this server.");
  EXPECT_EQ(Command("AUTH KERBEROS"), "504 AUTH KERBEROS not supported.");
  EXPECT_EQ(Command("PBSZ 0"), "503 PBSZ needs AUTH TLS first.");
  EXPECT_EQ(Command("PROT P"), "503 PROT needs AUTH TLS first.");
  EXPECT_EQ(Command("CCC"), "534 The control connection stays encrypted.");
  EXPECT_EQ(Command("USER ann"), "530 This server requires TLS.");
}

TEST_F(FtpInterpreterTest, LoginRulesBeforeAndAfterPass) {
  Connect();
  Reply();
  EXPECT_EQ(Command("PASS secret"), "503 Login with USER first.");
  for (const char* cmd : {"PWD", "CWD /", "RETR x", "LIST", "PASV", "MDTM x", "EPSV", "MLSD",
                          "MLST x", "MFMT 20260101000000 x", "OPTS UTF8 ON"})
    EXPECT_EQ(Command(cmd), "530 Please login with USER and PASS.") << cmd;
  // Clients choose features and the transfer type before they log in.
  EXPECT_EQ(Command("SYST"), "215 UNIX Type: L8 Ornavel");
  EXPECT_EQ(Command("FEAT").substr(0, 26), "211-Extensions supported:\n");
  EXPECT_EQ(Command("STRU F"), "200 Ok. STRU parameter 'F' ignored.");
  EXPECT_EQ(Command("USER ann"), "331 Password required for ann.");
  EXPECT_EQ(Command("PASS wrong"), "530 Login incorrect.");
  EXPECT_EQ(Command("PASS secret"), "503 Login with USER first.");
  Login("ann", "secret");
  EXPECT_EQ(Command("PWD"), "257 \"" + FtpDir() + "\" is current directory.");
  // USER after a login logs the client out until the next PASS.
  EXPECT_EQ(Command("USER bob"), "331 Password required for bob.");
  EXPECT_EQ(Command("PWD"), "530 Please login with USER and PASS.");
}

TEST_F(FtpInterpreterTest, WithoutAnAuthenticateHookEveryPasswordIsAccepted) {
  server_->OnAuthenticate = nullptr;
  Connect();
  Reply();
  Login("anyone", "anything");
  EXPECT_EQ(Command("PWD"), "257 \"/C:/TEMP/\" is current directory.");
}

TEST_F(FtpInterpreterTest, QuitRepliesBeforeClosingAndDisconnectsOnce) {
  int disconnects = 0;
  server_->OnClientDisconnect = [&](TFtpServer&, TFtpCtrlSocket&, int) { ++disconnects; };
  Connect();
  Reply();
  EXPECT_EQ(Command("QUIT"), "221 Goodbye.");
  EXPECT_TRUE(Ctrl().WaitClosed());
  EXPECT_TRUE(WaitFor([&] { return server_->ClientCount() == 0; }));
  Pump();
  EXPECT_EQ(disconnects, 1);
}

TEST_F(FtpInterpreterTest, ClientBeyondTheLimitIsTurnedAwayAndANewOneFitsLater) {
  server_->MaxClients = 1;
  int connects = 0, disconnects = 0;
  server_->OnClientConnect = [&](TFtpServer&, TFtpCtrlSocket&, int) { ++connects; };
  server_->OnClientDisconnect = [&](TFtpServer&, TFtpCtrlSocket&, int) { ++disconnects; };
  int first = Connect();
  EXPECT_EQ(Reply(first), kDefaultBanner);
  int second = Connect();
  EXPECT_EQ(Reply(second), "421 Too many users connected.");
  EXPECT_TRUE(Ctrl(second).WaitClosed());
  EXPECT_EQ(Command("NOOP still here", first), "200 Ok. Parameter was 'still here'.");
  EXPECT_EQ(Command("QUIT", first), "221 Goodbye.");
  EXPECT_TRUE(WaitFor([&] { return server_->ClientCount() == 0; }));
  int third = Connect();
  EXPECT_EQ(Reply(third), kDefaultBanner);
  EXPECT_EQ(connects, 3);
  EXPECT_EQ(disconnects, 2);
}

TEST_F(FtpInterpreterTest, ClientCommandHookAnswerReplacesTheCommand) {
  server_->OnClientCommand = [](TFtpServer&, TFtpCtrlSocket&, std::string& keyword,
                                std::string&, std::string& answer) {
    if (keyword == "DELE") answer = "550 Not today.";
    if (keyword == "ZAP") keyword = "NOOP";  // a changed keyword is looked up
  };
  WriteFile("keep.txt", "x");
  Connect();
  Reply();
  Login("ann", "secret");
  EXPECT_EQ(Command("DELE keep.txt"), "550 Not today.");
  EXPECT_TRUE(Exists("keep.txt"));
  EXPECT_EQ(Command("ZAP it"), "200 Ok. Parameter was 'it'.");
}

TEST_F(FtpInterpreterTest, AnswerHookRewritesRepliesButNotTheGreeting) {
  server_->OnAnswerToClient = [](TFtpServer&, TFtpCtrlSocket&, std::string& answer) {
    answer = "[" + answer + "]";
  };
  Connect();
  EXPECT_EQ(Reply(), kDefaultBanner);
  EXPECT_EQ(Command("NOOP"), "[200 Ok. Parameter was ''.]");
}

TEST_F(FtpInterpreterTest, ExceptionFromAHookBecomes501AndTheSessionGoesOn) {
  server_->OnClientCommand = [](TFtpServer&, TFtpCtrlSocket&, std::string& keyword,
                                std::string&, std::string&) {
    if (keyword == "BOOM") throw FtpServerException("hook failed");
  };
  Connect();
  Reply();
  EXPECT_EQ(Command("BOOM"), "501 hook failed");
  EXPECT_EQ(Command("NOOP"), "200 Ok. Parameter was ''.");
}

TEST_F(FtpInterpreterTest, HookThatDropsEverySessionLeavesNothingToAnswer) {
  // A hook that kicked all clients freed the session whose command it was
  // judging, and the interpreter then sent its reply through the freed session.
  server_->OnClientCommand = [](TFtpServer& server, TFtpCtrlSocket&, std::string& keyword,
                                std::string&, std::string&) {
    if (keyword == "KICK") server.DisconnectAllClients();
  };
  server_->OnAnswerToClient = [](TFtpServer& server, TFtpCtrlSocket&, std::string& answer) {
    if (answer.find("kick") != std::string::npos) server.DisconnectAllClients();
  };
  int a = Connect();
  Reply(a);
  Ctrl(a).SendBytes("KICK\r\n");
  EXPECT_TRUE(Ctrl(a).WaitClosed());
  EXPECT_EQ(server_->ClientCount(), 0);
  int b = Connect();
  Reply(b);
  Ctrl(b).SendBytes("NOOP kick\r\n");
  EXPECT_TRUE(Ctrl(b).WaitClosed());
  EXPECT_EQ(server_->ClientCount(), 0);
  int c = Connect();
  Reply(c);
  EXPECT_EQ(Command("NOOP", c), "200 Ok. Parameter was ''.");
}

TEST_F(FtpInterpreterTest, ReceiveSizeCannotChangeWhileALineIsHeld) {
  server_->OnClientCommand = [](TFtpServer&, TFtpCtrlSocket& client, std::string& keyword,
                                std::string&, std::string&) {
    if (keyword == "RESIZE") client.SetRcvSize(100);
  };
  Connect();
  Reply();
  Ctrl().SendBytes("RESIZE\r\nNOOP after\r\n");
  EXPECT_EQ(Reply(), "501 Data in buffer, can't change size");
  EXPECT_EQ(Reply(), "200 Ok. Parameter was 'after'.");
}

TEST_F(FtpInterpreterTest, DisconnectAllClientsDropsEverySession) {
  int disconnects = 0;
  server_->OnClientDisconnect = [&](TFtpServer&, TFtpCtrlSocket&, int) { ++disconnects; };
  int a = Connect(), b = Connect();
  Reply(a);
  Reply(b);
  ASSERT_EQ(server_->ClientCount(), 2);
  server_->DisconnectAllClients();
  EXPECT_EQ(server_->ClientCount(), 0);
  EXPECT_EQ(disconnects, 2);
  EXPECT_TRUE(Ctrl(a).WaitClosed());
  EXPECT_TRUE(Ctrl(b).WaitClosed());
}

TEST_F(FtpInterpreterTest, StopEndsListeningButKeepsSessions) {
  int stops = 0;
  server_->OnStop = [&](TFtpServer&) { ++stops; };
  Connect();
  Reply();
  server_->Stop();
  EXPECT_EQ(stops, 1);
  EXPECT_FALSE(server_->Listening());
  EXPECT_EQ(Command("NOOP"), "200 Ok. Parameter was ''.");
  EXPECT_FALSE(RawConn("127.0.0.1", port_).Connected());
}

TEST(FtpCommandTable, IsFullOnceTheBuiltInCommandsAreIn) {
  TFtpServer server;
  try {
    server.RegisterCommand("SITE", nullptr);
    FAIL();
  } catch (const FtpServerException& e) {
    EXPECT_STREQ(e.what(), "Too many command");
  }
}

TEST(FtpCtrlSocket, ReceiveSizeCannotChangeWithBytesHeldButOtherwiseCan) {
  TFtpCtrlSocket client;
  client.SetRcvSize(100);
  EXPECT_EQ(client.RcvSize(), 100);
  EXPECT_EQ(client.BlockBuffer().size(), 100u);
}

}  // namespace

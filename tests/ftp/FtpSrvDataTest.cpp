// Data connections and transfers, with raw loopback clients on both connections.

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>

#include "FtpTestSupport.h"

namespace {

// A listening socket of the test, standing for a client that sent PORT.
class Listener {
public:
  explicit Listener(const std::string& addr = "127.0.0.1") {
    fd_ = FileHandle(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_.Get(), 5);
    socklen_t len = sizeof a;
    ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  int Port() const { return port_; }
  std::string PortArgument() const {
    return "127,0,0,1," + std::to_string(port_ / 256) + "," + std::to_string(port_ % 256);
  }
  // The accepted connection's peer port, or -1 when nobody came.
  int Accept(FileHandle& out) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    EventLoop::Instance().WaitFor(
        [&] {
          out = FileHandle(::accept4(fd_.Get(), reinterpret_cast<sockaddr*>(&peer), &len,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC));
          return out.Valid();
        },
        std::chrono::seconds(5));
    return out.Valid() ? ntohs(peer.sin_port) : -1;
  }

private:
  FileHandle fd_;
  int port_ = 0;
};

// Two consecutive ports nobody listens on, for the passive range.
int FreePortPair() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    Listener probe;
    int p = probe.Port();
    if (p >= 65535) continue;
    FileHandle fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(p + 1));
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return p;
  }
  return 0;
}

class FtpDataTest : public FtpTest {
protected:
  void SetUp() override {
    FtpTest::SetUp();
    Connect();
    Reply();
    Login("ann", "secret");
  }
  // Reads a raw data connection's bytes as a string (see RawConn::ReadAll).
  std::string Download(const std::string& command) {
    auto data = Passive();
    EXPECT_EQ(Command(command).substr(0, 4), "150 ");
    std::string bytes = data->ReadAll();
    EXPECT_EQ(Reply(), "226 File sent ok");
    return bytes;
  }
  std::string Upload(const std::string& command, const std::string& bytes) {
    auto data = Passive();
    std::string opening = Command(command);
    EXPECT_EQ(opening.substr(0, 4), "150 ") << opening;
    data->SendBytes(bytes);
    data->Close();
    return Reply();
  }
};

TEST_F(FtpDataTest, PortAcceptsOnlyTheClientItselfOnAnUnprivilegedPort) {
  EXPECT_EQ(Command("PORT 127,0,0,1,4,1"), "200 Port command successful.");
  EXPECT_EQ(Command("PORT 127,0,0,1,a,1"), "501 Invalid PORT command.");
  // A bounce to another host, or to a privileged port, is refused.
  EXPECT_EQ(Command("PORT 127,0,0,2,4,1"), "501 Invalid PORT command.");
  EXPECT_EQ(Command("PORT 192,168,1,2,4,1"), "501 Invalid PORT command.");
  EXPECT_EQ(Command("PORT 127,0,0,1,0,25"), "501 Invalid PORT command.");
  EXPECT_EQ(Command("PORT 127,0,0,1,256,0"), "501 Invalid PORT command.");
}

TEST_F(FtpDataTest, ActiveDownloadLeavesFromASystemPickedPort) {
  WriteFile("f", "active bytes");
  Listener listener;
  EXPECT_EQ(Command("PORT " + listener.PortArgument()), "200 Port command successful.");
  EXPECT_EQ(Command("RETR f"), "150 Opening data connection for f.");
  FileHandle fd;
  int from = listener.Accept(fd);
  ASSERT_GT(from, 0);
  EXPECT_NE(from, 20);
  std::string got;
  EventLoop::Instance().WaitFor(
      [&] {
        char buf[256];
        ssize_t n = ::recv(fd.Get(), buf, sizeof buf, 0);
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        return n == 0;
      },
      std::chrono::seconds(5));
  EXPECT_EQ(got, "active bytes");
  EXPECT_EQ(Reply(), "226 File sent ok");
}

// A download's connection stays until its client has read it. An active upload
// asked for meanwhile could not connect, and the old connection's end, when it came,
// was taken for an empty upload that emptied the file and answered 226 unasked.
TEST_F(FtpDataTest, ActiveUploadAfterADownloadStillBeingRead) {
  const std::size_t size = 8 << 20;
  WriteFile("big", std::string(size, 'z'));
  Listener first;
  EXPECT_EQ(Command("PORT " + first.PortArgument()), "200 Port command successful.");
  EXPECT_EQ(Command("RETR big"), "150 Opening data connection for big.");
  FileHandle down;
  ASSERT_GT(first.Accept(down), 0);
  std::size_t got = 0;
  char buf[65536];
  EventLoop::Instance().WaitFor(
      [&] {
        const ssize_t n = ::recv(down.Get(), buf, sizeof buf, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
        return got >= size - (2 << 20);  // the rest stays with the kernel for now
      },
      std::chrono::seconds(10));
  EXPECT_EQ(Reply(), "226 File sent ok");

  Listener second;
  EXPECT_EQ(Command("PORT " + second.PortArgument()), "200 Port command successful.");
  EXPECT_EQ(Command("STOR big"), "150 Opening data connection for big.");
  FileHandle up;
  ASSERT_GT(second.Accept(up), 0);
  ASSERT_EQ(::send(up.Get(), "new", 3, MSG_NOSIGNAL), 3);
  up.Reset();
  EXPECT_EQ(Reply(), "226 File received ok");
  down.Reset();
  EXPECT_EQ(Command("NOOP"), "200 Ok. Parameter was ''.");
  EXPECT_EQ(ReadFile("big"), "new");
}

TEST_F(FtpDataTest, TransferWithoutPortOrPasvFailsAtOnce) {
  WriteFile("f", "x");
  EXPECT_EQ(Command("STOR g"), "501 Cannot STOR. Connect: No Port Specified");
  EXPECT_EQ(Command("RETR f"), "150 Opening data connection for f.");
  EXPECT_EQ(Reply(), "501 Cannot RETR. Connect: No Port Specified");
  // A failed transfer leaves the port at "ftp-data", so now the address is missing.
  EXPECT_EQ(Command("LIST"), "451 Failed: Connect: No IP Address Specified.");
  EXPECT_EQ(Command("NOOP"), "200 Ok. Parameter was ''.");
}

TEST_F(FtpDataTest, PasvAnnouncesTheConfiguredAddressOnlyToClientsElsewhere) {
  const std::string pasv = "227 Entering Passive Mode (";
  server_->PasvIpAddr = "1.2.3.4";
  EXPECT_EQ(Command("PASV").substr(0, pasv.size() + 10), pasv + "127,0,0,1,")
      << "a client on 127.0.0.1 always gets 127,0,0,1";

  ctrls_.push_back(std::make_unique<RawConn>("127.0.0.1", port_, "127.0.0.2"));
  Reply(1);
  Login("bob", "secret", 1);
  EXPECT_EQ(Command("PASV", 1).substr(0, pasv.size() + 8), pasv + "1,2,3,4,");
  server_->PasvIpAddr.clear();
  EXPECT_EQ(Command("PASV", 1).substr(0, pasv.size() + 10), pasv + "127,0,0,1,")
      << "the control connection's own address";
  for (const char* bad : {"255.255.255.255", "1.2.3", "ftp.example.com"}) {
    SCOPED_TRACE(bad);
    server_->PasvIpAddr = bad;
    EXPECT_EQ(Command("PASV", 1), "500 PASV exception: 'Invalid PASV IP Address'.");
  }
}

TEST_F(FtpDataTest, PasvThenRetrStartsWhenTheConnectionArrivesOrAtOnce) {
  WriteFile("f", "hello");
  std::string pasv = Command("PASV");
  unsigned a, b, c, d, p1, p2;
  ASSERT_EQ(std::sscanf(pasv.c_str(), "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u).", &a, &b,
                        &c, &d, &p1, &p2), 6);
  EXPECT_EQ(std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." +
                std::to_string(d), "127.0.0.1");
  EXPECT_EQ(Command("RETR f"), "150 Opening data connection for f.");
  RawConn late("127.0.0.1", static_cast<int>(p1 * 256 + p2));
  EXPECT_EQ(late.ReadAll(), "hello");
  EXPECT_EQ(Reply(), "226 File sent ok");

  EXPECT_EQ(Download("RETR f"), "hello") << "connected before RETR";
}

// A passive connection the client dropped before naming a transfer left the
// session waiting on a dead socket: RETR answered 150 and then nothing, and a
// range port stayed taken for good.
TEST_F(FtpDataTest, PassiveConnectionDroppedBeforeTheTransferIsForgotten) {
  int start = FreePortPair();
  ASSERT_GT(start, 0);
  server_->SetPasvPortRangeStart(start);
  server_->SetPasvPortRangeSize(1);
  WriteFile("f", "x");
  auto data = Passive();
  Pump();
  data->Close();
  Pump();
  EXPECT_EQ(Command("RETR f"), "150 Opening data connection for f.");
  EXPECT_EQ(Reply(), "501 Cannot RETR. Connect: No Port Specified");
  EXPECT_EQ(Download("RETR f"), "x") << "the range port is free again";
}

TEST_F(FtpDataTest, PassiveConnectionFromAnotherHostIsNotUsed) {
  WriteFile("f", "mine");
  std::string pasv = Command("PASV");
  unsigned a, b, c, d, p1, p2;
  ASSERT_EQ(std::sscanf(pasv.c_str(), "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u).", &a, &b,
                        &c, &d, &p1, &p2), 6);
  int port = static_cast<int>(p1 * 256 + p2);
  RawConn thief("127.0.0.1", port, "127.0.0.2");
  ASSERT_TRUE(thief.Connected());
  EXPECT_TRUE(thief.WaitClosed());
  EXPECT_EQ(thief.ReadAll(), "");
  RawConn owner("127.0.0.1", port);
  EXPECT_EQ(Command("RETR f"), "150 Opening data connection for f.");
  EXPECT_EQ(owner.ReadAll(), "mine");
  EXPECT_EQ(Reply(), "226 File sent ok");
}

TEST_F(FtpDataTest, PassiveRangeHandsOutItsPortsAndTakesThemBack) {
  int start = FreePortPair();
  ASSERT_GT(start, 0);
  server_->SetPasvPortRangeStart(start);
  server_->SetPasvPortRangeSize(2);
  int second = Connect();
  Reply(second);
  Login("bob", "secret", second);
  int third = Connect();
  Reply(third);
  Login("eve", "secret", third);

  auto portOf = [](const std::string& reply) {
    unsigned a, b, c, d, p1, p2;
    std::sscanf(reply.c_str(), "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u).", &a, &b, &c, &d,
                &p1, &p2);
    return static_cast<int>(p1 * 256 + p2);
  };
  EXPECT_EQ(portOf(Command("PASV")), start);
  EXPECT_EQ(portOf(Command("PASV", second)), start + 1);
  EXPECT_EQ(Command("PASV", third), "500 PASV exception: 'No available PASV Ports'.");
  try {
    server_->SetPasvPortRangeStart(start + 10);
    ADD_FAILURE();
  } catch (const FtpServerException&) {
  }

  WriteFile("f", "range");
  RawConn data("127.0.0.1", start);
  EXPECT_EQ(Command("NLST " + HostDir() + "f"), "150 Opening data connection for directory list.");
  EXPECT_EQ(data.ReadAll(), "f\r\n");
  EXPECT_EQ(Reply(), "226 File sent ok");
  EXPECT_EQ(portOf(Command("PASV", third)), start) << "released once its transfer ended";
  // A new PASV frees the listener's port of the one before.
  EXPECT_EQ(portOf(Command("PASV", second)), start + 1);
}

TEST_F(FtpDataTest, StorWritesTheFileAndNoopDuringItChangesNothing) {
  auto data = Passive();
  EXPECT_EQ(Command("STOR up.bin"), "150 Opening data connection for up.bin.");
  data->SendBytes(std::string(100000, 'a'));
  EXPECT_EQ(Command("NOOP busy"), "200 Ok. Parameter was 'busy'.");
  data->SendBytes(std::string(100000, 'b'));
  data->Close();
  EXPECT_EQ(Reply(), "226 File received ok");
  EXPECT_EQ(ReadFile("up.bin"), std::string(100000, 'a') + std::string(100000, 'b'));
}

TEST_F(FtpDataTest, EmptyUploadsEmptyWithStorAndKeepWithAppe) {
  WriteFile("s", "old content");
  WriteFile("a", "0123456789");
  EXPECT_EQ(Upload("STOR s", ""), "226 File received ok");
  EXPECT_EQ(ReadFile("s"), "");
  EXPECT_EQ(Upload("APPE a", ""), "226 File received ok");
  EXPECT_EQ(ReadFile("a"), "0123456789");
  EXPECT_EQ(Upload("STOR new", ""), "226 File received ok");
  EXPECT_TRUE(Exists("new"));
}

TEST_F(FtpDataTest, AppeCreatesOrAppendsAtTheFileSize) {
  WriteFile("ten", "0123456789");
  auto data = Passive();
  EXPECT_EQ(Command("APPE ten"),
            "150 APPE supported.  Ready to append file \"ten\" at offset 10.");
  data->SendBytes("ab");
  data->Close();
  EXPECT_EQ(Reply(), "226 File received ok");
  EXPECT_EQ(ReadFile("ten"), "0123456789ab");
  EXPECT_EQ(Upload("APPE fresh", "xyz"), "226 File received ok");
  EXPECT_EQ(ReadFile("fresh"), "xyz");
  server_->OnValidatePut = [](TFtpServer&, TFtpCtrlSocket&, std::string&, bool& allowed) {
    allowed = false;
  };
  EXPECT_EQ(Command("APPE ten"), "500 Cannot APPE.");
  EXPECT_EQ(Command("STOR ten"), "501 Permission Denied");
}

TEST_F(FtpDataTest, RestartOffsetAppliesToTheNextTransferOnly) {
  std::string content(150, 'x');
  for (int i = 0; i < 150; ++i) content[static_cast<std::size_t>(i)] = static_cast<char>('a' + i % 26);
  WriteFile("f150", content);
  EXPECT_EQ(Command("REST 100"), "350 REST supported. Ready to resume at byte offset 100.");
  EXPECT_EQ(Download("RETR f150"), content.substr(100));
  EXPECT_EQ(Download("RETR f150"), content) << "offset back to 0";

  WriteFile("w", std::string(120, '.'));
  EXPECT_EQ(Command("REST 100"), "350 REST supported. Ready to resume at byte offset 100.");
  EXPECT_EQ(Upload("STOR w", "NEW"), "226 File received ok");
  EXPECT_EQ(ReadFile("w"), std::string(100, '.') + "NEW" + std::string(17, '.'));

  EXPECT_EQ(Command("REST 100"), "350 REST supported. Ready to resume at byte offset 100.");
  std::string reply = Upload("STOR missing", "data");
  EXPECT_EQ(reply.rfind("426 Connection closed; Cannot open file \"" + HostDir() + "missing\". ", 0),
            0u) << reply;

  // A folder that is not there is a final refusal before any data connection.
  EXPECT_EQ(Command("STOR nosuch/w"), "501 Cannot STOR. Cannot create file \"" + HostDir() +
                                          "nosuch\\w\". No such file or directory");
  // A refused transfer command uses its REST up: kept, it restarted the next one.
  EXPECT_EQ(Command("REST 100"), "350 REST supported. Ready to resume at byte offset 100.");
  EXPECT_EQ(Command("STOR w").substr(0, 17), "501 Cannot STOR. ");
  EXPECT_EQ(Upload("STOR w", "NEW"), "226 File received ok");
  EXPECT_EQ(ReadFile("w"), "NEW");

  EXPECT_EQ(Command("REST -1"), "501 Required byte offset parameter bad or missing.");
  EXPECT_EQ(Command("REST 1x"), "501 Syntax error in parameter: '1x' is not a valid integer value.");
  EXPECT_EQ(Command("REST"), "501 Syntax error in parameter: '' is not a valid integer value.");
}

TEST_F(FtpDataTest, UploadRestartedBeyondTheEndChangesNothing) {
  // REST 1 TiB then three bytes of STOR made a terabyte file of zeros.
  WriteFile("w", "0123456789");
  EXPECT_EQ(Command("REST 1099511627776"),
            "350 REST supported. Ready to resume at byte offset 1099511627776.");
  EXPECT_EQ(Upload("STOR w", "abc"), "426 Connection closed; Restart offset beyond end of file.");
  EXPECT_EQ(ReadFile("w"), "0123456789");
  EXPECT_EQ(Command("REST 10"), "350 REST supported. Ready to resume at byte offset 10.");
  EXPECT_EQ(Upload("STOR w", "abc"), "226 File received ok");
  EXPECT_EQ(ReadFile("w"), "0123456789abc");
}

TEST_F(FtpDataTest, RestartBeyondFourGigabytesResumesThere) {
  {
    std::ofstream(Native("big"));
  }
  std::filesystem::resize_file(Native("big"), 5'000'000'010LL);
  EXPECT_EQ(Command("REST 5000000000"),
            "350 REST supported. Ready to resume at byte offset 5000000000.");
  EXPECT_EQ(Download("RETR big"), std::string(10, '\0'));
}

TEST_F(FtpDataTest, StouNamesTheSameFileInBothReplies) {
  auto data = Passive();
  std::string opening = Command("STOU");
  const std::string prefix = "150 Opening data connection for " + HostDir() + "FTP";
  ASSERT_EQ(opening.rfind(prefix, 0), 0u) << opening;
  std::string name = opening.substr(32, opening.size() - 33);
  data->SendBytes("unique");
  data->Close();
  EXPECT_EQ(Reply(), "250 '" + name + "': file created.");
  std::string native = name.substr(2);
  for (char& c : native)
    if (c == '\\') c = '/';
  std::ifstream in(native);
  std::string got;
  std::getline(in, got);
  EXPECT_EQ(got, "unique");
  // Only the one file: no reserved twin is left behind.
  int files = 0;
  for (auto& e : std::filesystem::directory_iterator(Native())) files += e.is_regular_file();
  EXPECT_EQ(files, 1);
}

TEST_F(FtpDataTest, StouTakesTheOwnersNameUnlessThatFileExists) {
  std::filesystem::create_directory(Native("up"));
  std::string offered = "up/x.bin";
  server_->OnGetUniqueFileName = [&](TFtpServer&, TFtpCtrlSocket&, std::string& name) {
    name = offered;
  };
  auto data = Passive();
  EXPECT_EQ(Command("STOU"), "150 Opening data connection for up/x.bin.");
  data->SendBytes("owner's");
  data->Close();
  EXPECT_EQ(Reply(), "250 'up\\x.bin': file created.");
  EXPECT_EQ(ReadFile("up/x.bin"), "owner's");

  data = Passive();
  std::string opening = Command("STOU");
  EXPECT_EQ(opening.rfind("150 Opening data connection for " + HostDir() + "FTP", 0), 0u)
      << "the offered name is taken now: " << opening;
  data->Close();
  EXPECT_EQ(Reply().substr(0, 4), "250 ");
  EXPECT_EQ(ReadFile("up/x.bin"), "owner's");
}

// A refused STOU left behind the empty file that reserved its unique name: the
// name is taken by creating the file before OnValidatePut is asked.
TEST_F(FtpDataTest, RefusedStouLeavesNoReservedFile) {
  server_->OnValidatePut = [](TFtpServer&, TFtpCtrlSocket&, std::string&, bool& allowed) {
    allowed = false;
  };
  EXPECT_EQ(Command("STOU"), "501 Permission Denied");
  EXPECT_TRUE(std::filesystem::is_empty(Native()));
}

TEST_F(FtpDataTest, AbortDuringADownloadGivesBothReplies) {
  WriteFile("huge", std::string(32 << 20, 'z'));
  auto data = Passive();
  EXPECT_EQ(Command("RETR huge"), "150 Opening data connection for huge.");
  Pump();  // the data socket fills while the test reads nothing
  EXPECT_EQ(Command("ABOR"), "501 Cannot RETR. ABORT requested by client");
  EXPECT_EQ(Reply(), "225 ABOR command successful.");
  EXPECT_EQ(Command("NOOP"), "200 Ok. Parameter was ''.");
}

TEST_F(FtpDataTest, ControlConnectionClosedMidUploadKeepsThePartialFile) {
  int closedError = -1;
  server_->OnStorSessionClosed = [&](TFtpServer&, TFtpCtrlSocket&, TWSocket&, int error) {
    closedError = error;
  };
  auto data = Passive();
  EXPECT_EQ(Command("STOR part"), "150 Opening data connection for part.");
  data->SendBytes("partial");
  EXPECT_TRUE(WaitFor([&] { return ReadFile("part") == "partial"; }));
  Ctrl().Close();
  EXPECT_TRUE(WaitFor([&] { return server_->ClientCount() == 0; }));
  EXPECT_EQ(closedError, 10057);
  EXPECT_EQ(ReadFile("part"), "partial");
}

// A client killed mid-upload ends both connections at once; the data's end looked
// like the file's, and the partial file like a whole one.
TEST_F(FtpDataTest, ClientGoneWithItsUploadIsNoSuccess) {
  bool aborted = false;
  server_->OnStorSessionClosed = [&](TFtpServer&, TFtpCtrlSocket& client, TWSocket&, int) {
    aborted = client.TransferAborted;
  };
  auto data = Passive();
  EXPECT_EQ(Command("STOR part"), "150 Opening data connection for part.");
  data->SendBytes("partial");
  EXPECT_TRUE(WaitFor([&] { return ReadFile("part") == "partial"; }));
  data->Close();
  Ctrl().Close();
  EXPECT_TRUE(WaitFor([&] { return server_->ClientCount() == 0; }));
  EXPECT_TRUE(aborted);
  EXPECT_EQ(ReadFile("part"), "partial");
}

TEST_F(FtpDataTest, DataConnectionResetEndsTheUploadWithItsErrorNumber) {
  auto data = Passive();
  EXPECT_EQ(Command("STOR r"), "150 Opening data connection for r.");
  data->SendBytes("some");
  EXPECT_TRUE(WaitFor([&] { return ReadFile("r") == "some"; }));
  data->Reset();
  EXPECT_EQ(Reply(), "426 Connection closed; transfer aborted. Error #10054");
}

TEST_F(FtpDataTest, RetrOfAMissingFileReportsTheOpenError) {
  auto data = Passive();
  EXPECT_EQ(Command("RETR nope"), "150 Opening data connection for nope.");
  std::string reply = Reply();
  EXPECT_EQ(reply.rfind("501 Cannot RETR. Cannot open file \"" + HostDir() + "nope\". ", 0), 0u)
      << reply;
  server_->OnValidateGet = [](TFtpServer&, TFtpCtrlSocket&, std::string&, bool& allowed) {
    allowed = false;
  };
  EXPECT_EQ(Command("RETR nope"), "500 Cannot RETR.");
}

TEST_F(FtpDataTest, DelayedSendStartsWhenTheOwnerAsks) {
  WriteFile("f", "later");
  TFtpCtrlSocket* held = nullptr;
  server_->OnGetProcessing = [&](TFtpServer&, TFtpCtrlSocket& client, bool& delayed) {
    delayed = true;
    held = &client;
  };
  auto data = Passive();
  EXPECT_EQ(Command("RETR f"), "150 Opening data connection for f.");
  Pump();
  ASSERT_NE(held, nullptr);
  server_->StartSendingFile(*held);
  EXPECT_EQ(data->ReadAll(), "later");
  EXPECT_EQ(Reply(), "226 File sent ok");
}

TEST_F(FtpDataTest, ListingsGoOverTheDataConnection) {
  WriteFile("a.txt", "abc");
  WriteFile(".hidden", "");
  std::string nlst = Download("NLST");
  EXPECT_NE(nlst.find("a.txt\r\n"), std::string::npos);
  EXPECT_NE(nlst.find(".hidden\r\n"), std::string::npos);
  std::string list = Download("LIST");
  EXPECT_NE(list.find("-rw-rw-rw-   1 ftp      ftp            3 "), std::string::npos);
  EXPECT_EQ(list.find(".hidden"), std::string::npos);
  // "-a" asks for them as ls does, and a mirroring client takes what MLSD leaves out
  // for gone. A name no path can reach (a backslash is a separator) is left out.
  WriteFile("back\\slash", "");
  EXPECT_NE(Download("LIST -la").find(" .hidden\r\n"), std::string::npos);
  const std::string mlsd = Download("MLSD");
  EXPECT_NE(mlsd.find(" .hidden\r\n"), std::string::npos);
  EXPECT_EQ(mlsd.find("slash"), std::string::npos);

  server_->OnAlterDirectory = [](TFtpServer&, TFtpCtrlSocket& client, std::string&, bool) {
    client.TransferStream->Write("extra\r\n", 7);
  };
  EXPECT_NE(Download("NLST").find("extra\r\n"), std::string::npos);
  // The listing hook judges exactly what would be enumerated, wildcards included.
  std::string judged;
  server_->OnValidateList = [&](TFtpServer&, TFtpCtrlSocket&, std::string& pattern,
                                bool& allowed) {
    judged = pattern;
    allowed = false;
  };
  EXPECT_EQ(Command("LIST"), "550 Failed: No permission.");
  EXPECT_EQ(judged, HostDir() + "*.*");
  EXPECT_EQ(Command("NLST " + FtpDir() + "sub/*"), "550 Failed: No permission.");
  EXPECT_EQ(judged, HostDir() + "sub\\*");
}

}  // namespace

TEST_F(FtpDataTest, AFileHasOneWriterAtATime) {
  // Two uploads of one name interleaved their bytes, and an upload over a running
  // download gave the downloader a mixed file; every client was told it succeeded.
  const std::string big(4 << 20, 'o');
  WriteFile("big", big);
  int other = Connect();
  Reply(other);
  Login("ann", "secret", other);

  auto reading = Passive();  // a download the client is slow to read
  EXPECT_EQ(Command("RETR big"), "150 Opening data connection for big.");
  auto overwriting = Passive(other);
  EXPECT_EQ(Command("STOR big", other), "150 Opening data connection for big.");
  overwriting->SendBytes("new");
  overwriting->Close();
  EXPECT_EQ(Reply(other), "426 Connection closed; Cannot create file \"" + HostDir() +
                              "big\". File is busy.");
  EXPECT_EQ(reading->ReadAll(), big);
  EXPECT_EQ(Reply(), "226 File sent ok");

  auto writing = Passive();
  EXPECT_EQ(Command("STOR big"), "150 Opening data connection for big.");
  writing->SendBytes("first");
  ASSERT_TRUE(WaitFor([&] { return ReadFile("big") == "first"; }));
  auto refused = Passive(other);
  EXPECT_EQ(Command("RETR big", other).substr(0, 4), "150 ");
  EXPECT_EQ(Reply(other), "501 Cannot RETR. Cannot open file \"" + HostDir() + "big\". File is busy");
  EXPECT_EQ(refused->ReadAll(), "");
  auto second = Passive(other);
  EXPECT_EQ(Command("STOR big", other), "150 Opening data connection for big.");
  second->SendBytes("second");
  second->Close();
  EXPECT_EQ(Reply(other).substr(0, 4), "426 ");
  writing->SendBytes(" upload");
  writing->Close();
  EXPECT_EQ(Reply(), "226 File received ok");
  EXPECT_EQ(ReadFile("big"), "first upload");
}

TEST_F(FtpDataTest, UnreadListingOfAHugeFolderHoldsLittleMemory) {
  // A listing was built whole before it was sent: LIST of a 100 000-entry folder
  // held about 9 MB per session until the client read it.
  std::filesystem::create_directory(Native("many"));
  for (int i = 0; i < 100000; ++i)
    FileHandle(::open(Native("many/entry-" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
  auto data = Passive();
  const std::size_t before = ::mallinfo2().uordblks;
  EXPECT_EQ(Command("LIST many"), "150 Opening data connection for directory list.");
  EventLoop::Instance().WaitFor([] { return false; }, std::chrono::milliseconds(300));
  const std::size_t during = ::mallinfo2().uordblks;
  EXPECT_LT(during - std::min(during, before), std::size_t(1) << 20);
  const std::string listing = data->ReadAll();
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 100002);  // with . and ..
  EXPECT_EQ(Reply(), "226 File sent ok");
}

TEST_F(FtpDataTest, StouWhoseConnectionNeverComesLeavesNoFile) {
  // The empty file that reserved STOU's name stayed behind in 30 cases of 30.
  auto reserved = [&] {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(Native()))
      n += e.path().filename().string().rfind("FTP", 0) == 0;
    return n;
  };
  Command("PASV");
  EXPECT_EQ(Command("STOU").substr(0, 4), "150 ");
  EXPECT_EQ(reserved(), 1);
  EXPECT_EQ(Command("QUIT"), "221 Goodbye.");
  ASSERT_TRUE(WaitFor([&] { return server_->ClientCount() == 0; }));
  EXPECT_EQ(reserved(), 0);
}

TEST_F(FtpDataTest, StouWithoutADataConnectionLeavesNoFile) {
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Command("STOU"), "501 Cannot STOU. Connect: No Port Specified");
  EXPECT_TRUE(std::filesystem::is_empty(Native()));
}

// A transfer still waiting for its passive connection never had a final reply when
// the client asked for a new port, and took that port's connection as its own.
TEST_F(FtpDataTest, NewPassivePortEndsTheTransferWaitingForTheOldOne) {
  WriteFile("f", "hello");
  Command("EPSV");
  EXPECT_EQ(Command("STOR up"), "150 Opening data connection for up.");
  EXPECT_EQ(Command("EPSV"),
            "426 Connection closed; Transfer aborted: a new data connection was requested.");
  EXPECT_EQ(Reply().substr(0, 4), "229 ");
  EXPECT_FALSE(std::filesystem::exists(Native("up")));
  // The same for a download whose sending had not begun: both in one packet.
  Ctrl().SendBytes("RETR f\r\nEPSV\r\n");
  EXPECT_EQ(Reply(), "150 Opening data connection for f.");
  EXPECT_EQ(Reply(), "501 Cannot RETR. Transfer aborted: a new data connection was requested");
  EXPECT_EQ(Reply().substr(0, 4), "229 ");
  EXPECT_EQ(Download("RETR f"), "hello");
}

TEST_F(FtpDataTest, ExtendedPassiveActiveAndMachineListings) {
  WriteFile("f.txt", "hello");
  std::filesystem::create_directory(Native("sub"));
  std::filesystem::last_write_time(
      Native("f.txt"), std::filesystem::file_time_type::clock::from_sys(
                           std::chrono::sys_seconds(std::chrono::seconds(1700000000))));
  // EPSV gives the port alone (RFC 2428); the transfer then runs as after PASV.
  std::string epsv = Command("EPSV");
  int port = 0;
  ASSERT_EQ(std::sscanf(epsv.c_str(), "229 Entering Extended Passive Mode (|||%d|)", &port), 1)
      << epsv;
  RawConn data("127.0.0.1", port);
  EXPECT_EQ(Command("MLSD"), "150 Opening data connection for MLSD.");
  std::string listing = data.ReadAll();
  EXPECT_EQ(Reply(), "226 File sent ok");
  EXPECT_NE(listing.find("type=file;size=5;modify=20231114221320;perm=rw; f.txt\r\n"),
            std::string::npos) << listing;
  EXPECT_NE(listing.find(";perm=elcm; sub\r\n"), std::string::npos) << listing;
  EXPECT_EQ(listing.find(" .\r\n"), std::string::npos);
  // A name of nothing is no folder: it used to list the current one in its place.
  EXPECT_EQ(Command("MLSD gone"), "550 'gone': no such folder.");
  EXPECT_EQ(Command("MLSD f.txt"), "501 'f.txt' is not a folder.");
  EXPECT_EQ(Command("MLST f.txt"),
            "250-Listing f.txt\n type=file;size=5;modify=20231114221320;perm=rw; " + FtpDir() +
                "f.txt\n250 End");
  EXPECT_EQ(Command("EPSV 2"), "522 Network protocol not supported, use (1)");

  Listener active;
  EXPECT_EQ(Command("EPRT |1|127.0.0.2|" + std::to_string(active.Port()) + "|"),
            "501 Invalid EPRT command.") << "only the client itself";
  EXPECT_EQ(Command("EPRT |2|::1|5000|"), "522 Network protocol not supported, use (1)");
  EXPECT_EQ(Command("EPRT |1|127.0.0.1|" + std::to_string(active.Port()) + "|"),
            "200 EPRT command successful.");
  EXPECT_EQ(Command("RETR f.txt"), "150 Opening data connection for f.txt.");
  FileHandle accepted;
  ASSERT_GT(active.Accept(accepted), 0);
  char buf[16];
  ASSERT_TRUE(WaitFor([&] { return ::recv(accepted.Get(), buf, sizeof buf, MSG_PEEK) == 5; }));
  EXPECT_EQ(::recv(accepted.Get(), buf, sizeof buf, 0), 5);
  accepted.Reset();
  EXPECT_EQ(Reply(), "226 File sent ok");

  EXPECT_EQ(Command("EPSV ALL"), "200 EPSV ALL command successful.");
  EXPECT_EQ(Command("PASV"), "503 Only EPSV may set up data connections now.");
  EXPECT_EQ(Command("PORT 127,0,0,1,4,1"), "503 Only EPSV may set up data connections now.");
  EXPECT_EQ(Command("OPTS UTF8 ON"), "200 Always in UTF8 mode.");
  EXPECT_EQ(Command("OPTS MLST type;"), "501 Option not understood.");
}

TEST_F(FtpDataTest, ZeroCopyDownloadResetMidwayAndWideUploadKeepEveryByte) {
  // Downloads now go from the file to the socket in large steps, and uploads are
  // read in wide blocks: a reset in the middle must still end the transfer with its
  // failure reply, and an upload that stops early must keep exactly what came.
  WriteFile("huge", std::string(32 << 20, 'z'));
  auto reset = Passive();
  EXPECT_EQ(Command("RETR huge"), "150 Opening data connection for huge.");
  Pump();
  reset->Reset();
  EXPECT_EQ(Reply(), "426 Connection closed; transfer aborted. Error #10054");

  std::string sent;
  for (int i = 0; sent.size() < (3u << 20) + 7; ++i) sent += std::to_string(i) + ",";
  auto upload = Passive();
  EXPECT_EQ(Command("STOR part"), "150 Opening data connection for part.");
  for (std::size_t at = 0; at < sent.size(); at += 100000) upload->SendBytes(sent.substr(at, 100000));
  upload->Close();
  EXPECT_EQ(Reply(), "226 File received ok");
  EXPECT_EQ(ReadFile("part"), sent);
}

// A client that ended its side of the data connection in mid-download was told
// "226 File sent ok" for a part of the file. Having only stopped sending, it may
// still read, and then it gets the whole file.
TEST_F(FtpDataTest, DownloadWhoseClientStopsSendingGoesOnToTheEnd) {
  const std::string content(32 << 20, 'h');
  WriteFile("half", content);
  auto data = Passive();
  EXPECT_EQ(Command("RETR half"), "150 Opening data connection for half.");
  Pump();
  data->ShutdownSending();
  EXPECT_EQ(data->ReadAll().size(), content.size());
  EXPECT_EQ(Reply(), "226 File sent ok");
}

// The one blank after the keyword separates; a name may begin with another. Skipping
// them all made STOR of " keep.txt" replace keep.txt.
TEST_F(FtpDataTest, NameBeginningWithABlankIsAFileOfItsOwn) {
  WriteFile("keep.txt", "precious");
  auto data = Passive();
  EXPECT_EQ(Command("STOR  keep.txt"), "150 Opening data connection for  keep.txt.");
  data->SendBytes("other");
  data->Close();
  EXPECT_EQ(Reply(), "226 File received ok");
  EXPECT_EQ(ReadFile("keep.txt"), "precious");
  EXPECT_EQ(ReadFile(" keep.txt"), "other");
  EXPECT_EQ(Command("SIZE  keep.txt"), "213 5");
  EXPECT_EQ(Command("MFMT 20200102030405  keep.txt"), "213 Modify=20200102030405;  keep.txt");
  EXPECT_NE(Command("MDTM keep.txt"), "213 20200102030405") << "its twin keeps its time";
}

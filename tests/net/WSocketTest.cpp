#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include <memory>
#include <string>
#include <vector>

#include "NetTestSupport.h"
#include "net/WSocket.h"

using namespace nettest;

namespace {

// One TWSocket connected to a plain peer, with the events it fires recorded.
class ConnectedSocketTest : public ::testing::Test {
protected:
  void ConnectToPeer() {
    sock = std::make_unique<TWSocket>();
    sock->OnSessionConnected = [this](TCustomWSocket&, std::uint16_t e) { connectedError = e; connected = true; };
    sock->OnSessionClosed = [this](TCustomWSocket&, std::uint16_t e) { closedErrors.push_back(e); };
    sock->OnDataSent = [this](TCustomWSocket&, std::uint16_t) { ++dataSent; };
    sock->SetAddr("127.0.0.1");
    sock->SetPort(std::to_string(listener.Port()));
    sock->Connect();
    peer = std::make_unique<Peer>(listener.Accept());
    ASSERT_TRUE(WaitUntil([&] { return connected; }));
    ASSERT_EQ(sock->State(), wsConnected);
    Settle(50ms);  // the write readiness that follows a connect
    dataSent = 0;
  }

  // Sends until the kernel's buffers are full and bytes wait in the queue; what was sent.
  std::string FillUntilQueued() {
    std::string sent;
    while (sock->AllSent() && sent.size() < (256u << 20)) {
      std::string chunk = Pattern(1 << 20);
      sock->Send(chunk.data(), static_cast<std::int32_t>(chunk.size()));
      sent += chunk;
    }
    return sent;
  }

  PeerListener listener;
  std::unique_ptr<TWSocket> sock;
  std::unique_ptr<Peer> peer;
  bool connected = false;
  std::uint16_t connectedError = 0;
  std::vector<std::uint16_t> closedErrors;
  int dataSent = 0;
};

}  // namespace

TEST_F(ConnectedSocketTest, ZeroByteSendLeadsToOneDataSentFromTheLoop) {
  ConnectToPeer();
  EXPECT_EQ(sock->Send(nullptr, 0), 0);
  EXPECT_EQ(dataSent, 0);  // never from inside Send
  ASSERT_TRUE(WaitUntil([&] { return dataSent == 1; }));
  Settle();
  EXPECT_EQ(dataSent, 1);
}

TEST_F(ConnectedSocketTest, LargeSendGoesOutInBlocksOf1460) {
  ConnectToPeer();
  std::vector<std::int32_t> handedOver;
  sock->OnSendData = [&](TCustomWSocket&, std::int32_t n) { handedOver.push_back(n); };
  std::string data = Pattern(5000);
  EXPECT_EQ(sock->Send(data.data(), 5000), 5000);
  EXPECT_EQ(handedOver, (std::vector<std::int32_t>{1460, 1460, 1460, 620}));
  EXPECT_EQ(peer->Read(5000), data);
  ASSERT_TRUE(WaitUntil([&] { return dataSent == 1; }));
}

TEST_F(ConnectedSocketTest, PartialSendResumesOnWriteReadinessAndFiresDataSentOnce) {
  ConnectToPeer();
  std::string data = FillUntilQueued();  // the peer does not read yet
  ASSERT_FALSE(sock->AllSent());
  Settle(50ms);
  EXPECT_EQ(dataSent, 0);
  std::string got = peer->Read(data.size(), 20s);
  EXPECT_TRUE(got == data) << "received " << got.size() << " bytes, in order: " << (data.compare(0, got.size(), got) == 0);
  ASSERT_TRUE(WaitUntil([&] { return dataSent > 0; }));
  Settle();
  EXPECT_EQ(dataSent, 1);
  EXPECT_EQ(sock->SendQueueBlockCount(), 1u);  // one emptied block stays for reuse
}

TEST_F(ConnectedSocketTest, PeerResetWhileDataQueuedClosesOnceWith10054) {
  ConnectToPeer();
  FillUntilQueued();
  ASSERT_FALSE(sock->AllSent());
  peer->Reset();
  ASSERT_TRUE(WaitUntil([&] { return !closedErrors.empty(); }));
  Settle();
  EXPECT_EQ(closedErrors, std::vector<std::uint16_t>{10054});
  EXPECT_EQ(sock->State(), wsClosed);
}

TEST_F(ConnectedSocketTest, CloseWithUnreadBytesDrainsThemFirstEvenWithoutReceiveLoop) {
  ConnectToPeer();
  sock->SetComponentOptions({wsoNoReceiveLoop});
  std::string received;
  bool closedBeforeAllRead = false;
  sock->OnDataAvailable = [&](TCustomWSocket& s, std::uint16_t) {
    char buf[100];
    int n = s.Receive(buf, sizeof buf);
    if (n > 0) received.append(buf, n);
  };
  sock->OnSessionClosed = [&](TCustomWSocket&, std::uint16_t e) {
    closedErrors.push_back(e);
    closedBeforeAllRead = received.size() < 3000;
  };
  sock->Pause();  // let the bytes and the close arrive together
  peer->Send(Pattern(3000));
  peer->Close();
  Settle(50ms);
  sock->Resume();
  ASSERT_TRUE(WaitUntil([&] { return !closedErrors.empty(); }));
  EXPECT_EQ(received, Pattern(3000));
  EXPECT_FALSE(closedBeforeAllRead);
  EXPECT_EQ(closedErrors, std::vector<std::uint16_t>{0});
}

// Bytes taken from the socket for a file that refuses them are gone with the failed
// transfer; they must not turn up in the next file that takes input this way.
TEST_F(ConnectedSocketTest, InputToAFileThatRefusesItLeavesNothingForTheNext) {
  ConnectToPeer();
  FileHandle full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  char name[] = "/tmp/dravik-splice-XXXXXX";
  FileHandle file(::mkstemp(name));
  ASSERT_TRUE(full.Valid() && file.Valid());
  ::unlink(name);
  int fileErrno = 0, got = 0;
  sock->OnDataAvailable = [&](TCustomWSocket& s, std::uint16_t) {
    const int n = s.ReceiveToFile(fileErrno == 0 ? full.Get() : file.Get(), 1 << 20, fileErrno);
    if (n > 0) got += n;
  };
  peer->Send(Pattern(5000));
  ASSERT_TRUE(WaitUntil([&] { return fileErrno != 0; }));
  EXPECT_EQ(fileErrno, ENOSPC);
  peer->Send("after");
  ASSERT_TRUE(WaitUntil([&] { return got == 5; }));
  char back[16] = {};
  EXPECT_EQ(::pread(file.Get(), back, sizeof back, 0), 5);
  EXPECT_STREQ(back, "after");
}

TEST_F(ConnectedSocketTest, HandlerThatLeavesInputUnreadIsNotCalledInALoop) {
  // Level-triggered readiness would otherwise call a handler that reads nothing on
  // every turn of the loop, at full processor load.
  ConnectToPeer();
  int calls = 0;
  sock->OnDataAvailable = [&](TCustomWSocket&, std::uint16_t) { ++calls; };
  peer->Send("hello");
  ASSERT_TRUE(WaitUntil([&] { return calls > 0; }));
  Settle(200ms);
  EXPECT_LE(calls, 2);
  EXPECT_EQ(sock->ReceiveText(), "hello");  // reading re-arms the notices
  int before = calls;
  peer->Send("again");
  ASSERT_TRUE(WaitUntil([&] { return calls > before; }));
}

TEST_F(ConnectedSocketTest, PausedSocketHearsNothingUntilResumed) {
  ConnectToPeer();
  std::string received;
  sock->OnDataAvailable = [&](TCustomWSocket& s, std::uint16_t) { received += s.ReceiveText(); };
  sock->Pause();
  peer->Send("later");
  Settle();
  EXPECT_EQ(received, "");
  sock->Resume();
  ASSERT_TRUE(WaitUntil([&] { return received == "later"; }));
}

TEST_F(ConnectedSocketTest, ReadsNothingWhileUnsentOutputIsOverTheLimitAndResumesOnceItDrains) {
  // A peer that sent without reading the answers made the program queue them
  // without bound: 42 MB of commands grew it by 294 MB.
  ConnectToPeer();
  std::string received;
  sock->OnDataAvailable = [&](TCustomWSocket& s, std::uint16_t) { received += s.ReceiveText(); };
  // More than the kernel's buffers can take, so the queue stays over the limit.
  std::string sent;
  while (sent.size() < (8u << 20)) {
    std::string chunk = Pattern(1 << 20);
    sock->Send(chunk.data(), static_cast<std::int32_t>(chunk.size()));
    sent += chunk;
  }
  peer->Send("held");
  Settle();
  EXPECT_TRUE(sock->OutputBlocked());
  EXPECT_EQ(received, "");
  EXPECT_EQ(peer->Read(sent.size(), 20s), sent);
  ASSERT_TRUE(WaitUntil([&] { return received == "held"; }));
}

TEST_F(ConnectedSocketTest, PeerAndLocalAddressesOfAConnection) {
  ConnectToPeer();
  EXPECT_EQ(sock->PeerAddr(), "127.0.0.1");
  EXPECT_EQ(sock->PeerPort(), std::to_string(listener.Port()));
  EXPECT_EQ(sock->LocalBoundAddr(), "127.0.0.1");
  sock->Close();
  EXPECT_EQ(sock->PeerAddr(), "error");
  EXPECT_EQ(sock->LocalBoundPort(), "error");
  EXPECT_EQ(closedErrors, std::vector<std::uint16_t>{0});
  EXPECT_TRUE(peer->ReadToEnd().empty());
}

TEST(SocketErrors, SendWhenNotConnectedRaises10057OrFiresOnError) {
  TWSocket sock;
  try {
    sock.SendText("x");
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Error 10057 in function Send\r\nSocket is not connected");
  }
  int errors = 0;
  sock.OnError = [&](TCustomWSocket&) { ++errors; };
  EXPECT_EQ(sock.SendText("x"), -1);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(sock.LastError(), 10057);
}

TEST(SocketErrors, SendOnAListeningSocketClosesItWith10057) {
  TWSocket sock;
  std::vector<std::uint16_t> closed;
  sock.OnSessionClosed = [&](TCustomWSocket&, std::uint16_t e) { closed.push_back(e); };
  sock.OnError = [](TCustomWSocket&) {};
  sock.SetAddr("127.0.0.1");
  sock.SetPort("0");
  sock.Listen();
  ASSERT_EQ(sock.State(), wsListening);
  EXPECT_EQ(sock.SendText("x"), -1);
  EXPECT_EQ(closed, std::vector<std::uint16_t>{10057});
  EXPECT_EQ(sock.State(), wsClosed);
}

TEST(SocketErrors, PropertiesCannotChangeUnlessClosed) {
  TWSocket sock;
  sock.SetAddr("127.0.0.1");
  sock.SetPort("0");
  sock.Listen();
  auto message = [](auto&& fn) {
    try {
      fn();
    } catch (const ESocketException& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message([&] { sock.SetPort("1234"); }), "Cannot change Port if not closed");
  EXPECT_EQ(message([&] { sock.SetAddr("10.0.0.1"); }), "Cannot change Addr if not closed");
  EXPECT_EQ(message([&] { sock.SetProto("udp"); }), "Cannot change Proto if not closed");
  EXPECT_EQ(message([&] { sock.SetLocalPort("1"); }), "Cannot change LocalPort if not closed");
  EXPECT_EQ(message([&] { sock.SetLocalAddr("1.2.3.4"); }), "Cannot change LocalAddr if not closed");
  sock.Close();
  EXPECT_EQ(sock.Port(), "0");  // the text stays readable ...
  EXPECT_EQ(message([&] { sock.Listen(); }),  // ... but must be set again
            "Error 10022 in function listen: port not assigned\r\nInvalid argument");
}

TEST(SocketErrors, ResolutionFailuresCarryTheirMessages) {
  struct Row {
    const char* description;
    const char* addr;
    const char* port;
    const char* proto;
    const char* expected;
  } rows[] = {
      {"no port", "127.0.0.1", "", "tcp", "Connect: No Port Specified"},
      {"no address", "", "80", "tcp", "Connect: No IP Address Specified"},
      {"no protocol", "127.0.0.1", "80", "", "Connect: No Protocol Specified"},
      {"group over 255", "1.2.3.400", "80", "tcp", "connect: WSocketResolveHost: '1.2.3.400' Invalid IP address."},
      {"port text too long", "127.0.0.1", "abcdefghijklmnopqrstuvwxyz0123456", "tcp",
       "connect: WSocketResolvePort: Invalid Port."},
      {"port past the range", "127.0.0.1", "70000", "tcp", "connect: WSocketResolvePort: Invalid Port."},
      {"unknown service", "127.0.0.1", "no-such-service", "tcp",
       "connect: WSocketResolvePort: Cannot convert port 'no-such-service', Error #11004"},
      {"unknown protocol", "127.0.0.1", "80", "nosuchproto",
       "connect: WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.description);
    TWSocket sock;
    sock.SetAddr(row.addr);
    sock.SetPort(row.port);
    sock.SetProto(row.proto);
    try {
      sock.Connect();
      ADD_FAILURE() << "no exception";
    } catch (const ESocketException& e) {
      EXPECT_EQ(std::string(e.what()), row.expected);
    }
  }
  EXPECT_EQ(TCustomWSocket::ResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  try {  // all ones from any other spelling is a failed conversion
    TCustomWSocket::ResolveHost(" 255.255.255.255");
    ADD_FAILURE() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "WSocketResolveHost: ' 255.255.255.255' Invalid IP address.");
  }
}

TEST(SocketErrors, ListenOnATakenPortFailsWith10048) {
  TWSocket first, second;
  first.SetAddr("127.0.0.1");
  first.SetPort("0");
  first.Listen();
  second.SetAddr("127.0.0.1");
  second.SetPort(first.LocalBoundPort());
  try {
    second.Listen();
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Error 10048 in function Bind\r\nAddress already in use");
  }
  EXPECT_EQ(second.State(), wsClosed);
}

TEST(SocketErrors, RefusedConnectReportsTheErrorThenCloses) {
  TWSocket probe;  // find a port nobody listens on
  probe.SetAddr("127.0.0.1");
  probe.SetPort("0");
  probe.Listen();
  std::string port = probe.LocalBoundPort();
  probe.Close();

  TWSocket sock;
  std::vector<std::string> events;
  sock.OnSessionConnected = [&](TCustomWSocket&, std::uint16_t e) { events.push_back("connected " + std::to_string(e)); };
  sock.OnSessionClosed = [&](TCustomWSocket&, std::uint16_t e) { events.push_back("closed " + std::to_string(e)); };
  sock.SetAddr("127.0.0.1");
  sock.SetPort(port);
  sock.Connect();
  ASSERT_TRUE(WaitUntil([&] { return events.size() == 2; }));
  EXPECT_EQ(events, (std::vector<std::string>{"connected 10061", "closed 0"}));
  EXPECT_EQ(sock.State(), wsClosed);
}

TEST(SocketErrors, ExceptionInAHandlerGoesToOnBgExceptionThenAborts) {
  PeerListener listener;
  TWSocket sock;
  std::string caught;
  sock.OnSessionConnected = [](TCustomWSocket&, std::uint16_t) { throw std::runtime_error("handler failed"); };
  sock.OnBgException = [&](TCustomWSocket&, const std::exception& e, bool&) { caught = e.what(); };
  sock.SetAddr("127.0.0.1");
  sock.SetPort(std::to_string(listener.Port()));
  sock.Connect();
  Peer peer = listener.Accept();
  ASSERT_TRUE(WaitUntil([&] { return !caught.empty(); }));
  EXPECT_EQ(caught, "handler failed");
  EXPECT_EQ(sock.State(), wsClosed);
}

TEST(SocketErrors, OnBgExceptionCanKeepTheConnection) {
  PeerListener listener;
  TWSocket sock;
  bool caught = false;
  sock.OnSessionConnected = [](TCustomWSocket&, std::uint16_t) { throw std::runtime_error("handler failed"); };
  sock.OnBgException = [&](TCustomWSocket&, const std::exception&, bool& canClose) {
    caught = true;
    canClose = false;
  };
  sock.SetAddr("127.0.0.1");
  sock.SetPort(std::to_string(listener.Port()));
  sock.Connect();
  Peer peer = listener.Accept();
  ASSERT_TRUE(WaitUntil([&] { return caught; }));
  EXPECT_EQ(sock.State(), wsConnected);
}

TEST(HostLookup, LiteralIsAnsweredBeforeDnsLookupReturns) {
  TWSocket sock;
  std::vector<std::uint16_t> done;
  sock.OnDnsLookupDone = [&](TCustomWSocket&, std::uint16_t e) { done.push_back(e); };
  sock.DnsLookup("10.0.0.1");
  EXPECT_EQ(done, std::vector<std::uint16_t>{0});
  EXPECT_EQ(sock.DnsResult(), "10.0.0.1");
  EXPECT_EQ(sock.DnsResultList(), std::vector<std::string>{"10.0.0.1"});
}

TEST(HostLookup, NameIsAnsweredLaterThroughTheLoop) {
  TWSocket sock;
  std::vector<std::uint16_t> done;
  sock.OnDnsLookupDone = [&](TCustomWSocket&, std::uint16_t e) { done.push_back(e); };
  sock.DnsLookup("localhost");
  EXPECT_TRUE(done.empty());
  ASSERT_TRUE(WaitUntil([&] { return !done.empty(); }));
  EXPECT_EQ(done, std::vector<std::uint16_t>{0});
  EXPECT_EQ(sock.DnsResult(), "127.0.0.1");
}

TEST(HostLookup, CancelledLookupReportsInterruptedAndNothingLater) {
  TWSocket sock;
  std::vector<std::uint16_t> done;
  sock.OnDnsLookupDone = [&](TCustomWSocket&, std::uint16_t e) { done.push_back(e); };
  sock.DnsLookup("localhost");
  sock.CancelDnsLookup();
  EXPECT_EQ(done, std::vector<std::uint16_t>{10004});
  Settle(300ms);
  EXPECT_EQ(done.size(), 1u);
}

TEST(HostLookup, EmptyNameIsAnError) {
  TWSocket sock;
  std::vector<std::uint16_t> done;
  sock.OnError = [](TCustomWSocket&) {};
  sock.OnDnsLookupDone = [&](TCustomWSocket&, std::uint16_t e) { done.push_back(e); };
  sock.DnsLookup("");
  EXPECT_EQ(sock.LastErrorText(), "DNS lookup: invalid host name.");
  EXPECT_EQ(done, std::vector<std::uint16_t>{10022});
}

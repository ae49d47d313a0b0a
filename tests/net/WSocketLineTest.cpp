#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "NetTestSupport.h"
#include "net/WSocket.h"

using namespace nettest;

namespace {

// A socket in line mode connected to a plain peer; every line the handler reads is
// recorded, and so is the order of lines and the close.
class LineModeTest : public ::testing::Test {
protected:
  void Connect(const std::string& lineEnd) {
    sock.SetLineMode(true);
    sock.SetLineEnd(lineEnd);
    sock.OnSessionConnected = [this](TCustomWSocket&, std::uint16_t) { connected = true; };
    sock.OnDataAvailable = [this](TCustomWSocket& s, std::uint16_t) {
      lengths.push_back(s.RcvdCount());
      lines.push_back(s.ReceiveText());
      log.push_back("line");
    };
    sock.OnSessionClosed = [this](TCustomWSocket&, std::uint16_t) { log.push_back("closed"); };
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(listener.Port()));
    sock.Connect();
    peer = std::make_unique<Peer>(listener.Accept());
    ASSERT_TRUE(WaitUntil([&] { return connected; }));
  }

  PeerListener listener;
  TWSocket sock;
  std::unique_ptr<Peer> peer;
  bool connected = false;
  std::vector<std::string> lines;
  std::vector<std::int32_t> lengths;
  std::vector<std::string> log;
};

}  // namespace

TEST_F(LineModeTest, ThreeLinesInOneReadComeOneByOneWithTheirLineEnds) {
  Connect("\n");
  peer->Send("GET / HTTP/1.0\r\nHost: x\r\n\r\n");
  ASSERT_TRUE(WaitUntil([&] { return lines.size() == 3; }));
  EXPECT_EQ(lines, (std::vector<std::string>{"GET / HTTP/1.0\r\n", "Host: x\r\n", "\r\n"}));
  EXPECT_EQ(lengths, (std::vector<std::int32_t>{16, 9, 2}));
}

TEST_F(LineModeTest, LineEndSplitAcrossTwoReadsIsFound) {
  Connect("\r\n");
  peer->Send("abc\r");
  ASSERT_TRUE(WaitUntil([&] { return sock.LineBufferCount() == 4; }));
  EXPECT_TRUE(lines.empty());
  peer->Send("\ndef");
  ASSERT_TRUE(WaitUntil([&] { return lines.size() == 1; }));
  EXPECT_EQ(lines[0], "abc\r\n");
  EXPECT_EQ(sock.LineBufferCount(), 3);  // "def" waits for its line end
}

TEST_F(LineModeTest, EveryWayOfSplittingTheInputGivesTheSameLines) {
  Connect("\r\n");
  const std::string input = "USER ann\r\nPASS x\r\n";
  for (std::size_t cut = 1; cut < input.size(); ++cut) {
    SCOPED_TRACE(cut);
    lines.clear();
    peer->Send(input.substr(0, cut));
    Settle(5ms);
    peer->Send(input.substr(cut));
    ASSERT_TRUE(WaitUntil([&] { return lines.size() == 2; }));
    EXPECT_EQ(lines, (std::vector<std::string>{"USER ann\r\n", "PASS x\r\n"}));
  }
}

TEST_F(LineModeTest, HandlerThatDoesNotReadGetsTheSameLineAgain) {
  Connect("\n");
  int calls = 0;
  sock.OnDataAvailable = [&](TCustomWSocket& s, std::uint16_t) {
    if (++calls % 3 == 0) lines.push_back(s.ReceiveText());
  };
  peer->Send("one\ntwo\n");
  ASSERT_TRUE(WaitUntil([&] { return lines.size() == 2; }));
  EXPECT_EQ(lines, (std::vector<std::string>{"one\n", "two\n"}));
  EXPECT_EQ(calls, 6);
}

TEST_F(LineModeTest, OverlongInputWithoutLineEndIsDiscardedAtTheLimit) {
  Connect("\n");
  sock.OnLineLimitExceeded = nullptr;
  peer->Send(std::string(70000, 'x'));
  Settle(100ms);
  EXPECT_LE(sock.LineBufferCount(), 65536);
  peer->Send("tail\n");
  ASSERT_TRUE(WaitUntil([&] { return lines.size() == 1; }));
  EXPECT_LT(lines[0].size(), 70000u);  // the discarded part is gone ...
  EXPECT_EQ(lines[0].substr(lines[0].size() - 5), "tail\n");  // ... reading went on
}

TEST_F(LineModeTest, LimitHandlerCanKeepTheBytes) {
  Connect("\n");
  std::vector<std::int32_t> reported;
  sock.OnLineLimitExceeded = [&](TCustomWSocket&, std::int32_t n, bool& clear) {
    reported.push_back(n);
    clear = false;
  };
  peer->Send(std::string(70000, 'x'));
  ASSERT_TRUE(WaitUntil([&] { return !reported.empty() && sock.LineBufferCount() == 70000; }));
  EXPECT_GT(reported.front(), 65536);
  peer->Send("\n");
  ASSERT_TRUE(WaitUntil([&] { return lines.size() == 1; }));
  EXPECT_EQ(lines[0].size(), 70001u);
}

TEST_F(LineModeTest, LastUnterminatedLineIsDeliveredBeforeTheClose) {
  Connect("\r\n");
  peer->Send("full\r\nabcd");
  peer->Close();
  ASSERT_TRUE(WaitUntil([&] { return !log.empty() && log.back() == "closed"; }));
  EXPECT_EQ(lines, (std::vector<std::string>{"full\r\n", "abcd"}));
  EXPECT_EQ(lengths.back(), 4);
  EXPECT_EQ(log, (std::vector<std::string>{"line", "line", "closed"}));
}

TEST_F(LineModeTest, TurningLineModeOffOffersTheHeldBytesRaw) {
  Connect("\n");
  std::string raw;
  sock.OnDataAvailable = [&](TCustomWSocket& s, std::uint16_t) {
    if (sock.LineMode()) {
      lines.push_back(s.ReceiveText());
      sock.SetLineMode(false);  // the rest of the input is a body
    } else {
      raw += s.ReceiveText();
    }
  };
  peer->Send("header\nbody bytes\nmore");
  ASSERT_TRUE(WaitUntil([&] { return raw == "body bytes\nmore"; }));
  EXPECT_EQ(lines, std::vector<std::string>{"header\n"});
}

TEST_F(LineModeTest, InputArrivingRightAfterLineModeIsTurnedOffIsStillOffered) {
  // A handler that took only the held bytes counted as having read nothing, so the
  // socket stopped listening for input and the bytes behind them were never offered.
  Connect("\n");
  std::string raw;
  sock.OnDataAvailable = [&](TCustomWSocket& s, std::uint16_t) {
    if (sock.LineMode()) {
      lines.push_back(s.ReceiveText());
      sock.SetLineMode(false);
      peer->Send("more");  // lands before the held bytes are offered
    } else {
      raw += s.ReceiveText();
    }
  };
  peer->Send("header\nbody");
  ASSERT_TRUE(WaitUntil([&] { return raw == "bodymore"; }, 2s)) << "raw so far: " << raw;
  peer->Send("later");
  ASSERT_TRUE(WaitUntil([&] { return raw == "bodymorelater"; }, 2s)) << "raw so far: " << raw;
}

TEST_F(LineModeTest, ThousandsOfLinesInOneReadTakeTurnsWithTheLoopAndAllComeBeforeTheClose) {
  // Every line taken moved the rest of the buffer to its front, and one read took
  // all of them: 4 MB of bare LF bytes on one web connection held the whole program
  // for over a minute.
  Connect("\n");
  std::string input;
  std::vector<std::string> expected;
  for (int i = 0; i < 5000; ++i) {
    expected.push_back("line " + std::to_string(i) + "\n");
    input += expected.back();
  }
  expected.push_back("tail");
  std::size_t linesWhenOthersRan = 0;
  TEndpoint others;
  sock.OnDataAvailable = [&](TCustomWSocket& s, std::uint16_t) {
    if (lines.empty()) others.Post([&] { linesWhenOthersRan = lines.size(); });
    lines.push_back(s.ReceiveText());
    log.push_back("line");
  };
  peer->Send(input + "tail");
  peer->Close();
  ASSERT_TRUE(WaitUntil([&] { return !log.empty() && log.back() == "closed"; }));
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(log.size(), expected.size() + 1);
  EXPECT_GT(linesWhenOthersRan, 0u);
  EXPECT_LE(linesWhenOthersRan, static_cast<std::size_t>(TCustomLineWSocket::kLinesPerTurn));
}

TEST_F(LineModeTest, LinesWaitWhileAnswersAreUnreadAndFollowOnceTheyDrain) {
  Connect("\n");
  const std::string answer = Pattern(32 << 10);
  sock.OnDataAvailable = [&](TCustomWSocket& s, std::uint16_t) {
    lines.push_back(s.ReceiveText());
    s.SendText(answer);
  };
  std::string input;
  std::vector<std::string> expected;
  for (int i = 0; i < 400; ++i) {
    expected.push_back(std::to_string(i) + "\n");
    input += expected.back();
  }
  peer->Send(input);
  Settle(300ms);
  EXPECT_LT(lines.size(), 400u);
  EXPECT_LE(sock.BufferedByteCount(), TCustomWSocket::kOutputHighWater + std::int64_t(answer.size()));
  EXPECT_EQ(peer->Read(400 * answer.size(), 20s).size(), 400 * answer.size());
  EXPECT_EQ(lines, expected);
}

TEST_F(LineModeTest, EditingAppliesBackspaceAndTabAndEchoes) {
  Connect("\r\n");
  sock.SetLineEdit(true);
  sock.SetLineEcho(true);
  peer->Send("ab\bc\td\r\n");
  ASSERT_TRUE(WaitUntil([&] { return lines.size() == 1; }));
  EXPECT_EQ(lines[0], "ac      d\r\n");
  EXPECT_EQ(peer->Read(15), "ab\b \bc      d\r\n");
}

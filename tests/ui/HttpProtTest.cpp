#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "DesktopTestSupport.h"
#include "ui/HttpProt.h"

using namespace std::chrono_literals;

namespace {

// The exception Get raised, or none.
std::optional<EHttpException> GetFails(THttpCli& client) {
  try {
    client.Get();
  } catch (const EHttpException& e) {
    return e;
  }
  return std::nullopt;
}

}  // namespace

class HttpLookup : public testing::Test {
protected:
  TCannedHttpServer server_;
};

TEST_F(HttpLookup, SendsTheFixedRequestAndReturnsTheBody) {
  server_.Reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n1.2.3.4";
  EXPECT_EQ(GetPublicAddress(server_.Url()), "1.2.3.4");
  ASSERT_EQ(server_.Requests.size(), 1u);
  EXPECT_EQ(server_.Requests[0],
            "GET /cgi-bin/getip.cgi HTTP/1.0\r\n"
            "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
            "User-Agent: Mozilla/3.0 (compatible)\r\n"
            "Host: 127.0.0.1\r\n\r\n");
}

TEST_F(HttpLookup, KeepsTheLineEndOfTheBody) {
  server_.Reply = "HTTP/1.1 200 OK\r\n\r\n1.2.3.4\r\n";
  EXPECT_EQ(GetPublicAddress(server_.Url()), "1.2.3.4\r\n");
}

TEST_F(HttpLookup, ReadsStatusHeadersAndLength) {
  server_.Reply = "HTTP/1.0 200 Fine by me\r\nContent-Length:  7 \r\nContent-Type: Text/Plain\r\n\r\n1.2.3.4";
  THttpCli client;
  client.URL = server_.Url();
  client.Get();
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_EQ(client.ReasonPhrase(), "Fine by me");
  EXPECT_EQ(client.ContentLength(), 7);
  EXPECT_EQ(client.ContentType(), "text/plain");
  EXPECT_EQ(client.RcvdHeader().size(), 3u);
  EXPECT_EQ(client.RcvdCount(), 7);
  EXPECT_FALSE(client.Busy());
}

TEST_F(HttpLookup, EmptyBodyGivesAnEmptyAddress) {
  server_.Reply = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
  server_.KeepOpen = true;  // a zero length ends the exchange without waiting for the close
  EXPECT_EQ(GetPublicAddress(server_.Url()), "");
}

TEST_F(HttpLookup, PageWithoutHeaderIsTakenWholeAsBody) {
  server_.Reply = "<html>1.2.3.4</html>";
  THttpCli client;
  client.URL = server_.Url();
  client.Get();
  EXPECT_EQ(client.LastReceived(), "<html>1.2.3.4</html>");
  EXPECT_EQ(client.ContentType(), "text/html");
}

TEST_F(HttpLookup, StatusOf400OrMoreRaisesWithReasonAndNumber) {
  server_.Reply = "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nNot here.";
  THttpCli client;
  client.URL = server_.Url();
  auto failure = GetFails(client);
  ASSERT_TRUE(failure);
  EXPECT_STREQ(failure->what(), "Not Found");
  EXPECT_EQ(failure->ErrorCode(), 404);
}

TEST_F(HttpLookup, FollowsARedirectionToAnotherServer) {
  TCannedHttpServer other;
  other.Reply = "HTTP/1.0 200 OK\r\n\r\n5.6.7.8";
  server_.Reply = "HTTP/1.1 302 Found\r\nLocation: " + other.Url() + "\r\n\r\n";
  EXPECT_EQ(GetPublicAddress(server_.Url()), "5.6.7.8");
  ASSERT_EQ(other.Requests.size(), 1u);
  EXPECT_TRUE(other.Requests[0].starts_with("GET /cgi-bin/getip.cgi HTTP/1.0\r\n"));
}

TEST_F(HttpLookup, RelativeLocationsStayOnTheHost) {
  server_.Reply = "HTTP/1.0 302 Found\r\nLocation: moved.cgi\r\n\r\n";
  THttpCli client;
  client.URL = server_.Url();
  client.MaxRedirections = 2;
  auto failure = GetFails(client);  // the server keeps redirecting
  ASSERT_TRUE(failure);
  ASSERT_EQ(server_.Requests.size(), 3u);
  EXPECT_TRUE(server_.Requests[1].starts_with("GET /cgi-bin/moved.cgi HTTP/1.0\r\n"));
  EXPECT_EQ(failure->ErrorCode(), 404);
}

TEST_F(HttpLookup, RefusedConnectionIsA404WithTheSocketError) {
  std::string port;
  {
    TCannedHttpServer gone;
    port = gone.Port();
  }
  THttpCli client;
  client.URL = "http://127.0.0.1:" + port + "/cgi-bin/getip.cgi";
  auto failure = GetFails(client);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->ErrorCode(), 404);
  EXPECT_NE(std::string(failure->what()).find("(Error #10061)"), std::string::npos) << failure->what();
}

TEST_F(HttpLookup, UnknownHostCannotBeResolved) {
  THttpCli client;
  client.URL = "http://no-such-host.invalid/cgi-bin/getip.cgi";
  client.TimeLimit = 20s;
  auto failure = GetFails(client);
  ASSERT_TRUE(failure);
  EXPECT_STREQ(failure->what(), "can't resolve hostname to IP address");
}

TEST_F(HttpLookup, ASilentServerIsGivenUpOnInTime) {
  server_.Silent = true;
  THttpCli client;
  client.URL = server_.Url();
  client.TimeLimit = 300ms;
  const auto started = std::chrono::steady_clock::now();
  auto failure = GetFails(client);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->ErrorCode(), 404);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST_F(HttpLookup, OverlongHeaderLineFails) {
  server_.Reply = "HTTP/1.0 200 OK\r\nX-Long: " + std::string(9000, 'a');
  server_.KeepOpen = true;
  THttpCli client;
  client.URL = server_.Url();
  auto failure = GetFails(client);
  ASSERT_TRUE(failure);
  EXPECT_STREQ(failure->what(), "HTTP line too long");
  EXPECT_EQ(failure->ErrorCode(), 4);
}

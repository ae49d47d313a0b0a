#include "web/HttpSrvParse.h"

#include <gtest/gtest.h>

namespace {

TEST(HttpRequestLine, SplitsMethodTargetAndVersion) {
  struct Row {
    const char* description;
    const char* line;
    const char* method;
    const char* path;
    const char* params;
    const char* version;
  };
  const Row rows[] = {
      {"query split at the first ?", "GET /a%20b.txt?x=1?y HTTP/1.1", "GET", "/a%20b.txt",
       "x=1?y", "HTTP/1.1"},
      {"no version word", "GET /", "GET", "/", "", "HTTP/1.0"},
      {"method and version upper-cased", "get /x http/1.1", "GET", "/x", "", "HTTP/1.1"},
      {"runs of blanks", "HEAD   /x    HTTP/1.0   trailing", "HEAD", "/x", "", "HTTP/1.0"},
      {"empty query", "GET /? HTTP/1.1", "GET", "/", "", "HTTP/1.1"},
      {"empty line", "", "", "", "", "HTTP/1.0"},
      {"method only", "GET", "GET", "", "", "HTTP/1.0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    THttpRequestLine r = ParseRequestLine(row.line);
    EXPECT_EQ(r.RequestMethod, row.method);
    EXPECT_EQ(r.Path, row.path);
    EXPECT_EQ(r.Params, row.params);
    EXPECT_EQ(r.RequestVersion, row.version);
  }
}

TEST(HttpRequestLine, LineEndIsStrippedOnce) {
  EXPECT_EQ(StripLineEnd("GET / HTTP/1.0\r\n"), "GET / HTTP/1.0");
  EXPECT_EQ(StripLineEnd("x\n"), "x");
  EXPECT_EQ(StripLineEnd("\r\n"), "");
  EXPECT_EQ(StripLineEnd("x\r"), "x\r");  // a lone CR is part of the line
}

TEST(HttpHeaders, RecognisedPrefixesInAnyCase) {
  THttpRequestHeaders h;
  ApplyHeaderLine("HOST:    example.org", h);
  ApplyHeaderLine("content-TYPE: text/plain", h);
  ApplyHeaderLine("Connection: keep-alive", h);
  ApplyHeaderLine("user-agent:curl/8", h);
  ApplyHeaderLine("Accept-Language: de", h);
  ApplyHeaderLine("Accept: */*", h);
  EXPECT_EQ(h.ReqHost, "example.org");
  EXPECT_EQ(h.ReqContentType, "text/plain");
  EXPECT_EQ(h.ReqConnection, "keep-alive");
  EXPECT_EQ(h.ReqUserAgent, "curl/8");
  EXPECT_EQ(h.ReqAcceptLanguage, "de");
  EXPECT_EQ(h.ReqAccept, "*/*");
  EXPECT_EQ(h.HeaderLines.size(), 6u);
  EXPECT_EQ(h.HeaderLines[0], "HOST:    example.org");
}

TEST(HttpHeaders, UnrecognisedOrColonlessLinesAreOnlyKept) {
  THttpRequestHeaders h;
  ApplyHeaderLine("no colon here", h);
  ApplyHeaderLine("Host : spaced", h);  // the prefix includes the colon
  ApplyHeaderLine("X-Host: other", h);
  EXPECT_EQ(h.ReqHost, "");
  ASSERT_EQ(h.HeaderLines.size(), 3u);
  EXPECT_EQ(h.HeaderLines[0], "no colon here");
}

TEST(HttpHeaders, ContentLengthNeedsANumber) {
  THttpRequestHeaders h;
  ApplyHeaderLine("Content-Length: abc", h);
  EXPECT_EQ(h.ReqContentLength, 0);
  ApplyHeaderLine("content-length: 42", h);
  EXPECT_EQ(h.ReqContentLength, 42);
  ApplyHeaderLine("Content-Length: 12x", h);  // not a number: the old value stays
  EXPECT_EQ(h.ReqContentLength, 42);
  ApplyHeaderLine("Content-Length: 5000000000", h);
  EXPECT_EQ(h.ReqContentLength, 5000000000);
}

TEST(HttpDocument, MapsPathUnderDocDirAndDecodes) {
  EXPECT_EQ(MapDocument("c:\\wwwroot", "/a%20b.txt", "index.html"), "c:\\wwwroot\\a b.txt");
  EXPECT_EQ(MapDocument("c:\\wwwroot", "/", "index.html"), "c:\\wwwroot\\index.html");
  EXPECT_EQ(MapDocument("c:\\wwwroot", "sub/", "index.html"),
            "c:\\wwwroot\\sub\\index.html");
}

TEST(HttpDocument, DecodedEscapesCannotLeaveDocDir) {
  struct Row {
    const char* path;
    bool inside;
  };
  const Row rows[] = {
      {"/a/b.txt", true},
      {"/a..b/c", true},
      {"/../etc/passwd", false},
      {"/%2e%2e/%2e%2e/etc/passwd", false},
      {"/a%2f..%2f..%2fetc", false},
      {"/x%00.txt", false},
      {"/a/..", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(DocumentStaysInside(MapDocument("c:\\wwwroot", row.path, "index.html")),
              row.inside);
  }
}

TEST(HttpDocument, KeepAliveIsTheWholeValueInAnyCase) {
  EXPECT_TRUE(WantsKeepAlive("Keep-Alive"));
  EXPECT_TRUE(WantsKeepAlive("keep-alive"));
  EXPECT_FALSE(WantsKeepAlive("keep-alive, Upgrade"));
  EXPECT_FALSE(WantsKeepAlive("close"));
  EXPECT_FALSE(WantsKeepAlive(""));
}

TEST(HttpHelpers, MimeTypeByExtension) {
  struct Row {
    const char* name;
    const char* type;
  };
  const Row rows[] = {
      {"c:\\x\\a.HTM", "text/html"},      {"a.html", "text/html"},
      {"PIC.JPG", "image/jpeg"},          {"p.jpeg", "image/jpeg"},
      {"p.gif", "image/gif"},             {"p.bmp", "image/bmp"},
      {"c:\\wwwroot\\a b.txt", "text/plain"},
      {"noext", "application/binary"},    {"c:\\dir.d\\file", "application/binary"},
      {"a.tar.gz", "application/binary"}, {"trailing.", "application/binary"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(MimeTypeOf(row.name), row.type);
  }
}

TEST(HttpHelpers, HttpDateFormatsUtcFields) {
  EXPECT_EQ(HttpDate(0), "Thu, 01 Jan 1970 00:00:00");
  EXPECT_EQ(HttpDate(1700000000), "Tue, 14 Nov 2023 22:13:20");
  EXPECT_EQ(HttpDate(951782400), "Tue, 29 Feb 2000 00:00:00");
  EXPECT_EQ(HttpDate(-2208988800), "Mon, 01 Jan 1900 00:00:00");
  EXPECT_EQ(HttpDate(4102444799), "Thu, 31 Dec 2099 23:59:59");
}

TEST(HttpHelpers, UrlDecodeTakesTwoCharactersAfterEveryPercent) {
  struct Row {
    const char* in;
    std::string out;
  };
  const Row rows[] = {
      {"a%20b", "a b"},
      {"%41%6a", "Aj"},
      {"a+b", "a+b"},
      {"ab%4", "ab%4"},        // "%" among the last two characters stays
      {"ab%", "ab%"},
      {"% 4x", "\x04x"},       // a leading blank is skipped
      {"%2-x", "\x02x"},       // stops at a non-digit, still consumes two
      {"%00z", std::string("\0z", 2)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(UrlDecode(row.in), row.out);
  }
}

TEST(HttpAnswers, HeadAndNotFoundTextsAreExact) {
  const std::int64_t modified = 0;
  EXPECT_EQ(OkHeader("HTTP/1.1", "text/plain", 10, &modified),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n"
            "Last-Modified: Thu, 01 Jan 1970 00:00:00 GMT\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(OkHeader("HTTP/1.0", "text/html", 3000000000, nullptr),
            "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 3000000000\r\n"
            "Connection: close\r\n\r\n");
  const std::string body =
      "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>404 Not Found</H1>The "
      "requested URL /a%20b was not found on this server.<P></BODY></HTML>\r\n";
  EXPECT_EQ(NotFoundAnswer("HTTP/1.0", "/a%20b"),
            "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

TEST(HttpAnswers, NotFoundPageDoesNotEchoMarkup) {
  // A decoded path such as /<script>... was repeated verbatim into the page.
  std::string answer = NotFoundAnswer("HTTP/1.1", "/<script>a&\"</script>");
  EXPECT_NE(answer.find("URL /&lt;script&gt;a&amp;&quot;&lt;/script&gt; was"), std::string::npos);
  EXPECT_EQ(answer.find("<script>"), std::string::npos);
}

// True when every CR of the head ends a line: a lone CR is a line break to some
// peers, so client text repeated in a head could add header lines of its own.
bool HeadLinesAreWhole(const std::string& answer) {
  const std::string head = answer.substr(0, answer.find("\r\n\r\n") + 4);
  for (std::size_t i = 0; i < head.size(); ++i)
    if (head[i] == '\r' && (i + 1 == head.size() || head[i + 1] != '\n')) return false;
  return true;
}

TEST(HttpAnswers, VersionWithControlCharactersCannotAddHeadLines) {
  const std::string version = "HTTP/1.1\rSET-COOKIE:A=B";
  EXPECT_TRUE(HeadLinesAreWhole(OkHeader(version, "text/plain", 1, nullptr)));
  EXPECT_TRUE(HeadLinesAreWhole(NotFoundAnswer(version, "/x")));
  // An ordinary version is repeated as it is.
  EXPECT_EQ(NotFoundAnswer("HTTP/1.1", "/x").rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
}

TEST(HttpAnswers, RedirectToTlsNamesThePortTheClientReached) {
  // A Host without a port (what clients send for port 80) was copied as it was,
  // so the https address pointed at 443, where nothing listens.
  struct Row {
    const char* description;
    const char* host;
    const char* local;
    const char* port;
    const char* authority;
  };
  const Row rows[] = {
      {"no port: 80, which may be forwarded here", "example.org", "10.0.0.5", "8080", "example.org:80"},
      {"a port of its own is kept", "example.org:8443", "10.0.0.5", "8080", "example.org:8443"},
      {"an empty port is none", "example.org:", "10.0.0.5", "8080", "example.org:80"},
      {"IPv6 literal without port", "[::1]", "10.0.0.5", "8080", "[::1]:80"},
      {"IPv6 literal with port", "[::1]:9000", "10.0.0.5", "8080", "[::1]:9000"},
      {"no Host: the address and port listened on", "", "10.0.0.5", "8080", "10.0.0.5:8080"},
      {"no Host on 443, which goes without saying", "", "10.0.0.5", "443", "10.0.0.5"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    EXPECT_EQ(TlsAuthority(row.host, row.local, row.port), row.authority);
  }
}

}  // namespace

TEST(HttpRanges, OneRangeIsServedAndAnythingElseIsTheWholeFile) {
  struct Row {
    const char* value;
    std::int64_t size;
    TRangeAnswer answer;
    std::int64_t first, last;
  };
  const Row rows[] = {
      {"bytes=0-9", 100, TRangeAnswer::kPart, 0, 9},
      {"bytes=90-", 100, TRangeAnswer::kPart, 90, 99},
      {"bytes=-10", 100, TRangeAnswer::kPart, 90, 99},
      {"bytes=-500", 100, TRangeAnswer::kPart, 0, 99},
      {"bytes=50-500", 100, TRangeAnswer::kPart, 50, 99},
      {"Bytes=5-5", 100, TRangeAnswer::kPart, 5, 5},
      {"bytes = 5-5", 100, TRangeAnswer::kWhole, 0, 0},
      {"bytes=5000000000-", 5000000010, TRangeAnswer::kPart, 5000000000, 5000000009},
      {"bytes=100-", 100, TRangeAnswer::kUnsatisfiable, 0, 0},
      {"bytes=100-200", 100, TRangeAnswer::kUnsatisfiable, 0, 0},
      {"bytes=-0", 100, TRangeAnswer::kUnsatisfiable, 0, 0},
      {"bytes=0-", 0, TRangeAnswer::kUnsatisfiable, 0, 0},
      {"bytes=0-1,5-6", 100, TRangeAnswer::kWhole, 0, 0},
      {"bytes=9-1", 100, TRangeAnswer::kWhole, 0, 0},
      {"bytes=a-b", 100, TRangeAnswer::kWhole, 0, 0},
      {"bytes=-", 100, TRangeAnswer::kWhole, 0, 0},
      {"bytes=+1-2", 100, TRangeAnswer::kWhole, 0, 0},
      {"items=0-1", 100, TRangeAnswer::kWhole, 0, 0},
      {"bytes=99999999999999999999-", 100, TRangeAnswer::kWhole, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value);
    TByteRange range;
    EXPECT_EQ(ParseRange(row.value, row.size, range), row.answer);
    if (row.answer != TRangeAnswer::kPart) continue;
    EXPECT_EQ(range.First, row.first);
    EXPECT_EQ(range.Last, row.last);
  }
}

TEST(HttpRequestLine, AbsoluteTargetIsTakenAsItsPath) {
  // RFC 9112 section 3.2.2: servers accept the absolute form; it answered 404.
  EXPECT_EQ(ParseRequestLine("GET http://h:8080/C/a.txt?x=1 HTTP/1.1").Path, "/C/a.txt");
  EXPECT_EQ(ParseRequestLine("GET http://h:8080/C/a.txt?x=1 HTTP/1.1").Params, "x=1");
  EXPECT_EQ(ParseRequestLine("GET HTTPS://h HTTP/1.1").Path, "/");
  EXPECT_EQ(ParseRequestLine("GET http://h?q HTTP/1.1").Path, "/");
  EXPECT_EQ(ParseRequestLine("GET /http://h/x HTTP/1.1").Path, "/http://h/x");
}

#include "web/WebShare.h"

#include <sys/resource.h>
#include <algorithm>
#include <filesystem>
#include <unistd.h>

#include <gtest/gtest.h>

#include "catalogue/uFileFormat.h"
#include "platform/EventLoop.h"
#include "platform/Profile.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/RegistryScope.h"
#include "tests/support/TempFolder.h"
#include "tests/web/HttpPeer.h"
#include "web/WebSharePage.h"

using namespace std::chrono_literals;

namespace {

std::tm FixedTime() { return Dec06At(21, 7); }

std::string Base64(const std::string& text) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 3) {
    unsigned v = unsigned(static_cast<unsigned char>(text[i])) << 16;
    if (i + 1 < text.size()) v |= unsigned(static_cast<unsigned char>(text[i + 1])) << 8;
    if (i + 2 < text.size()) v |= unsigned(static_cast<unsigned char>(text[i + 2]));
    out += abc[(v >> 18) & 63];
    out += abc[(v >> 12) & 63];
    out += i + 1 < text.size() ? abc[(v >> 6) & 63] : '=';
    out += i + 2 < text.size() ? abc[v & 63] : '=';
  }
  return out;
}

class WebShareTest : public ::testing::Test {
protected:
  void SetUp() override {
    RegisterWebEngine();
    files_.MakeFolder("My Files");
    def_.Name = "Photos";
    def_.Banner = "";
    def_.Type = kTypeWeb;
    def_.Tray = false;
  }

  std::string ShareFile(const std::string& rel, const std::string& content) {
    files_.WriteFile(rel, content);
    def_.Files.push_back({files_.Drive(rel), "About " + rel});
    def_.FileCount = std::int32_t(def_.Files.size());
    return files_.Drive(rel);
  }
  // Starts the definition through the registry, on a port the system picks.
  void Start() {
    std::string path = files_.Native("web.server");
    WriteServerFile(path, def_);
    ASSERT_TRUE(StartServer(path)) << (ui_->errors.empty() ? "" : ui_->errors[0]);
    auto* engine = dynamic_cast<TWebEngine*>(ServerRegistry.back().Engine.get());
    ASSERT_NE(engine, nullptr);
    port_ = std::stoi(engine->Server().ListeningPort());
  }
  std::string Get(const std::string& path, const std::string& headers = "",
                  const std::string& version = "HTTP/1.1") {
    THttpPeer peer(port_);
    peer.Send("GET " + path + " " + version + "\r\n" + headers + "\r\n");
    return peer.ReadToEnd();
  }
  static std::string Ok(const std::string& type, const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  static bool IsNotFound(const std::string& answer) {
    return answer.rfind("HTTP/1.1 404 Not Found\r\n", 0) == 0;
  }
  static bool IsUnauthorized(const std::string& answer) {
    return answer.rfind("HTTP/1.1 401 Unauthorized\r\n", 0) == 0;
  }
  bool WaitForActivity(const std::string& text) {
    return EventLoop::Instance().WaitFor(
        [&] {
          for (const auto& l : ui_->activity)
            if (l.find(text) != std::string::npos) return true;
          return false;
        },
        5s);
  }

  TTempFolder files_;
  TRegistryScope registry_{FixedTime()};
  TServerFile def_;
  TRecordingUi* ui_ = &registry_.Ui();
  int port_ = 0;
};

TEST_F(WebShareTest, ListingPageIsAProperAnswer) {
  ShareFile("a.txt", "aaa");
  Start();
  const std::string page = BuildListingPage(def_);
  const std::string head = Ok("text/html; charset=utf-8", page) + "Connection: close\r\n\r\n";
  EXPECT_EQ(Get("/"), head + page);
  EXPECT_EQ(Get("/?", "", "HTTP/1.0"), "HTTP/1.0" + head.substr(8) + page);
}

TEST_F(WebShareTest, SharedFileIsServedByItsLinkWithQueryStripped) {
  std::string path = ShareFile("My Files/a.txt", "hello");
  files_.SetModified("My Files/a.txt", 0);
  Start();
  // The page's link is C/... with the blank escaped, as a browser would send it.
  std::string href = "/C" + files_.Native("My%20Files/a.txt");
  EXPECT_NE(Get("/").find("<a href=\"" + href.substr(1) + "\">" + path + "</a>"),
            std::string::npos);
  const std::string expected = Ok("text/plain", "hello") +
                               "Last-Modified: Thu, 01 Jan 1970 00:00:00 GMT\r\n"
                               "Accept-Ranges: bytes\r\nConnection: close\r\n\r\nhello";
  EXPECT_EQ(Get(href), expected);
  EXPECT_EQ(Get(href + "?x=1"), expected);
}

TEST_F(WebShareTest, OtherPathsFallThroughToTheEngine) {
  ShareFile("b.jpg", "jpg");
  Start();
  std::string native = files_.Native("b.jpg");
  std::string lower = native;
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  lower.replace(lower.rfind("b.jpg"), 5, "B.JPG");
  EXPECT_TRUE(IsNotFound(Get("/C" + lower)));         // case differs: not the shared file
  EXPECT_TRUE(IsNotFound(Get("/c" + native)));        // drive letter case too
  EXPECT_TRUE(IsNotFound(Get("/C" + native + "/../b.jpg")));
  EXPECT_TRUE(IsNotFound(Get("/C" + native + "/%2E%2E/b.jpg")));
  EXPECT_TRUE(IsNotFound(Get("/C%2f" + native)));
  EXPECT_EQ(SplitAnswer(Get("/C" + native)).body, "jpg");
}

// Only a ".." folder step is refused: a name holding ".." is served by its link.
TEST_F(WebShareTest, DotsInsideANameAreNoFolderStep) {
  ShareFile("v1..2.txt", "two");
  Start();
  EXPECT_EQ(SplitAnswer(Get("/C" + files_.Native("v1..2.txt"))).body, "two");
}

TEST_F(WebShareTest, SharedFileThatCannotBeOpened) {
  ShareFile("gone.txt", "x");
  Start();
  ::unlink(files_.Native("gone.txt").c_str());
  EXPECT_TRUE(IsNotFound(Get("/C" + files_.Native("gone.txt"))));
  EXPECT_TRUE(IsNotFound(Get("/")));  // the page cannot give its size
}

TEST_F(WebShareTest, UnauthorizedAnswerIsExact) {
  def_.Username = "ann";
  def_.Password = "secret";
  Start();
  EXPECT_EQ(Get("/x"), "HTTP/1.1 401 Unauthorized\r\nContent-Type: text/html\r\n"
                       "Content-Length: 192\r\nWWW-Authenticate: Basic Realm=/x\r\n"
                       "Connection: close\r\n\r\n" +
                           std::string(kUnauthorizedBody));
}

TEST_F(WebShareTest, AuthorizationHeaderVariants) {
  def_.Username = "ann";
  def_.Password = "secret";
  Start();
  const std::string right = Base64("ann:secret"), wrong = Base64("ann:Secret");
  struct Row {
    const char* description;
    std::string headers;
    bool authorized;
  };
  const Row rows[] = {
      {"no header", "", false},
      {"proper header", "Authorization: Basic " + right + "\r\n", true},
      {"lower case", "authorization: basic " + right + "\r\n", true},
      {"trailing blanks", "AUTHORIZATION: BASIC   " + right + "  \r\n", true},
      {"missing blank after colon", "Authorization:Basic " + right + "\r\n", false},
      {"wrong password", "Authorization: Basic " + wrong + "\r\n", false},
      {"wrong then right", "Authorization: Basic " + wrong + "\r\nAuthorization: Basic " +
                               right + "\r\n", true},
      {"right then wrong", "Authorization: Basic " + right + "\r\nAuthorization: Basic " +
                               wrong + "\r\n", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    std::string answer = Get("/", row.headers);
    EXPECT_EQ(IsUnauthorized(answer), !row.authorized) << answer.substr(0, 40);
  }
}

TEST_F(WebShareTest, AuthorizationStaysWithTheConnection) {
  def_.Username = "ann";
  Start();
  THttpServer& sender = dynamic_cast<TWebEngine&>(*ServerRegistry.back().Engine).Server();
  TClient client;
  auto request = [&](std::vector<std::string> lines) {
    client.SetPath("/elsewhere");
    client.Headers().HeaderLines = std::move(lines);
    THttpGetFlag flags = hgSendDoc;
    WebGetDocument(sender, client, flags);
    return flags;  // hgSendDoc: authorized and left to the engine; else the 401
  };
  EXPECT_EQ(request({}), hgWillSendMySelf);
  EXPECT_EQ(request({"Authorization: Basic " + Base64("ann:")}), hgSendDoc);
  EXPECT_EQ(request({"Host: x"}), hgSendDoc);
  EXPECT_EQ(request({"Authorization: Basic " + Base64("bob:")}), hgWillSendMySelf);
  EXPECT_EQ(request({}), hgWillSendMySelf);
}

TEST_F(WebShareTest, OpenServerIgnoresAuthorizationHeaders) {
  ShareFile("a.txt", "aaa");
  Start();
  EXPECT_FALSE(IsUnauthorized(Get("/", "Authorization: Basic " + Base64("x:y") + "\r\n")));
}

TEST_F(WebShareTest, ActivityLinesForConnectionsAndRequests) {
  Start();
  Get("/nothing%20here?q=1");
  ASSERT_TRUE(WaitForActivity("Client disconnected"));
  // The certificate's fingerprint follows the start; it differs from run to run.
  ASSERT_GE(ui_->activity.size(), 2u);
  EXPECT_EQ(ui_->activity[1].rfind("[9:07 PM] TLS certificate SHA-256 fingerprint: ", 0), 0u);
  ui_->activity.erase(ui_->activity.begin() + 1);
  EXPECT_EQ(ui_->activity,
            (std::vector<std::string>{"[9:07 PM] Web Server Started on Sun, Dec 06, 2026 at 9:07:00 PM",
                                      "[9:07 PM] (127.0.0.1) Client connected",
                                      "[9:07 PM] (127.0.0.1) GET /nothing%20here",
                                      "[9:07 PM] (127.0.0.1) Client disconnected"}));
  EXPECT_EQ(ui_->glitches, std::vector<int>{0});
}

TEST_F(WebShareTest, KickAllEndsEveryConnection) {
  Start();
  THttpPeer a(port_), b(port_);
  TServerEngine& engine = *ServerRegistry.back().Engine;
  ASSERT_TRUE(EventLoop::Instance().WaitFor([&] { return engine.ClientCount() == 2; }, 5s));
  engine.DisconnectAllClients();
  EXPECT_TRUE(EventLoop::Instance().WaitFor([&] { return engine.ClientCount() == 0; }, 5s));
  EXPECT_TRUE(a.ClosedByServer());
}

TEST_F(WebShareTest, StopEndsOpenConnectionsWithTheEngine) {
  ShareFile("a.txt", "aaa");
  Start();
  THttpPeer idle(port_), downloading(port_);
  downloading.Send("GET /C" + files_.Native("a.txt") + " HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  downloading.ReadToEnd();
  TServerEngine& engine = *ServerRegistry.back().Engine;
  ASSERT_TRUE(EventLoop::Instance().WaitFor([&] { return engine.ClientCount() == 2; }, 5s));
  ui_->activity.clear();
  StopServer(files_.Native("web.server"));
  EXPECT_TRUE(idle.ClosedByServer());
  EXPECT_TRUE(downloading.ClosedByServer());
  // The leaves are noted by the engine's own loop turn, which never comes: the
  // engine is freed at once.
  EXPECT_EQ(ui_->activity, std::vector<std::string>{
                               "[9:07 PM] Web Server Stopped on Sun, Dec 06, 2026 at 9:07:00 PM"});
  EventLoop::Instance().WaitFor([] { return false; }, 50ms);
  EXPECT_EQ(ui_->activity.size(), 1u);
}

TEST_F(WebShareTest, TakenPortFailsTheStart) {
  THttpServer other;
  other.SetPort("0");
  other.Start();
  def_.Port = std::stoi(other.ListeningPort());
  std::string path = files_.Native("web.server");
  WriteServerFile(path, def_);
  EXPECT_FALSE(StartServer(path));
  ASSERT_EQ(ui_->errors.size(), 1u);
  EXPECT_EQ(ui_->errors[0], "Could not start server on port " + std::to_string(def_.Port) +
                                "\r\nMake sure the port is not already used\r\n"
                                "by another server or application.");
}

}  // namespace

// Time limits, the pause after wrong credentials and the per-address rules, with
// the keys an owner adds to the definition by hand.
class WebLimitsTest : public WebShareTest {
protected:
  void StartWith(int idleTimeout, int maxPerAddress) {
    def_.Username = "ann";
    def_.Password = "secret";
    std::string path = files_.Native("web.server");
    WriteServerFile(path, def_);
    TProfile profile;
    ASSERT_EQ(profile.Load(path), TProfile::TLoadResult::kLoaded);
    profile.WriteString("Info", "IdleTimeout", std::to_string(idleTimeout));
    profile.WriteString("Info", "MaxPerAddress", std::to_string(maxPerAddress));
    ASSERT_TRUE(profile.SaveAtomically(path));
    ASSERT_TRUE(StartServer(path));
    port_ = std::stoi(dynamic_cast<TWebEngine&>(*ServerRegistry.back().Engine)
                          .Server()
                          .ListeningPort());
  }
  static std::string Request(const std::string& credentials) {
    return "GET / HTTP/1.0\r\n" +
           (credentials.empty() ? "" : "Authorization: Basic " + Base64(credentials) + "\r\n") +
           "\r\n";
  }
  int ClientCount() const { return ServerRegistry.back().Engine->ClientCount(); }
};

TEST_F(WebLimitsTest, SlowHeadersAndUnreadAnswersEndTheConnection) {
  ShareFile("big.bin", std::string(32 << 20, 'b'));
  StartWith(2, 20);
  THttpPeer trickle(port_);
  trickle.Send("GET / HTTP/1.0\r\n");
  THttpPeer stalled(port_);
  stalled.Send("GET /C" + files_.Native("big.bin") + " HTTP/1.0\r\nAuthorization: Basic " +
               Base64("ann:secret") + "\r\n\r\n");
  for (int i = 0; i < 8 && !trickle.Ended(); ++i) {
    trickle.Send("X");
    EventLoop::Instance().WaitFor([] { return false; }, 500ms);
  }
  EXPECT_TRUE(trickle.ClosedByServer());
  EXPECT_TRUE(WaitForActivity("(127.0.0.1) Request header not complete within 2 seconds"));
  EXPECT_TRUE(WaitForActivity("(127.0.0.1) Answer not read for 2 seconds"));
  EXPECT_TRUE(EventLoop::Instance().WaitFor([&] { return ClientCount() == 0; }, 5s));
  // Reset, not closed: an orphaned socket kept sending the megabytes it held, and
  // a client repeating this grew the kernel's memory without bound.
  stalled.ReadToEnd();
  EXPECT_TRUE(stalled.WasReset());
}

TEST_F(WebLimitsTest, WrongCredentialsWaitASecondAndTenBlockTheAddress) {
  StartWith(300, 20);
  auto timed = [&](const std::string& credentials) {
    const auto start = std::chrono::steady_clock::now();
    THttpPeer peer(port_);
    peer.Send(Request(credentials));
    EXPECT_EQ(peer.ReadToEnd().rfind("HTTP/1.0 401 Unauthorized\r\n", 0), 0u);
    return std::chrono::steady_clock::now() - start;
  };
  EXPECT_LT(timed(""), 500ms);  // a browser's first try is no guess
  EXPECT_GE(timed("ann:wrong"), 950ms);
  EXPECT_NE(std::find_if(ui_->activity.begin(), ui_->activity.end(),
                         [](const std::string& l) {
                           return l.ends_with("(127.0.0.1) Deny: User login - 127.0.0.1 (ann)");
                         }),
            ui_->activity.end());

  // Nine more guesses at once: they wait their second side by side.
  std::vector<std::unique_ptr<THttpPeer>> guesses;
  for (int i = 0; i < 9; ++i) {
    guesses.push_back(std::make_unique<THttpPeer>(port_));
    guesses.back()->Send(Request("ann:guess" + std::to_string(i)));
  }
  for (auto& g : guesses)
    EXPECT_EQ(g->ReadToEnd(5s).rfind("HTTP/1.0 401 Unauthorized\r\n", 0), 0u);
  THttpPeer refused(port_);
  refused.Send(Request("ann:secret"));
  EXPECT_EQ(refused.ReadToEnd(5s), "");
  EXPECT_EQ(std::count_if(ui_->activity.begin(), ui_->activity.end(),
                          [](const std::string& l) {
                            return l.find("(127.0.0.1) Deny: Address blocked for 10 minutes") !=
                                   std::string::npos;
                          }),
            1);
}

TEST_F(WebLimitsTest, OneAddressHoldsAtMostItsShareOfConnections) {
  StartWith(300, 2);
  THttpPeer first(port_), second(port_);
  EXPECT_TRUE(EventLoop::Instance().WaitFor([&] { return ClientCount() == 2; }, 5s));
  THttpPeer third(port_);
  EXPECT_TRUE(third.ClosedByServer());
  EXPECT_TRUE(WaitForActivity("(127.0.0.1) Deny: Too many connections from this address"));
  first.Send(Request("ann:secret"));
  EXPECT_TRUE(SplitAnswer(first.ReadToEnd()).head.rfind("HTTP/1.0 200 OK", 0) == 0);
}

TEST_F(WebShareTest, OutOfDescriptorsAnswers503NotMissing) {
  // With no descriptor left the page and the downloads answered "404 Not Found",
  // telling browsers and download tools the file was gone for good.
  ShareFile("a.txt", "aaa");
  Start();
  THttpPeer page(port_), file(port_);
  ASSERT_TRUE(EventLoop::Instance().WaitFor(
      [&] { return ServerRegistry.back().Engine->ClientCount() == 2; }, 5s));
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  rlimit starved = saved;
  starved.rlim_cur = rlim_t(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &starved), 0);
  page.Send("GET / HTTP/1.0\r\n\r\n");
  file.Send("GET /C" + files_.Native("a.txt") + " HTTP/1.0\r\n\r\n");
  const std::string pageAnswer = page.ReadToEnd(), fileAnswer = file.ReadToEnd();
  ::setrlimit(RLIMIT_NOFILE, &saved);
  for (const std::string& answer : {pageAnswer, fileAnswer}) {
    EXPECT_EQ(answer.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("\r\nRetry-After: 5\r\n"), std::string::npos);
  }
  EXPECT_EQ(SplitAnswer(Get("/C" + files_.Native("a.txt"), "", "HTTP/1.0")).body, "aaa");
}

TEST_F(WebShareTest, SharedFileSwappedForALinkIsNotFollowed) {
  // Someone who may write beside a shared file puts a link to another file in its
  // place: only the very file the owner shared is ever sent.
  ShareFile("a.txt", "aaa");
  files_.WriteFile("other.txt", "not shared");
  Start();
  std::filesystem::remove(files_.Native("a.txt"));
  files_.MakeLink("a.txt", files_.Native("other.txt"));
  EXPECT_EQ(Get("/C" + files_.Native("a.txt"), "", "HTTP/1.0").rfind("HTTP/1.0 404 ", 0), 0u);
}

TEST_F(WebShareTest, HeadAnswersLikeGetWithoutTheBody) {
  // HEAD went to the engine alone, which knows nothing of the shares: 404 with a
  // body, so download tools that ask HEAD first gave up or started over.
  ShareFile("a.txt", "aaa");
  def_.Username = "ann";
  def_.Password = "secret";
  Start();
  const std::string auth = "Authorization: Basic " + Base64("ann:secret") + "\r\n";
  for (const std::string& path : {std::string("/"), "/C" + files_.Native("a.txt")}) {
    SCOPED_TRACE(path);
    THttpPeer peer(port_);
    peer.Send("HEAD " + path + " HTTP/1.1\r\n" + auth + "\r\n");
    EXPECT_EQ(peer.ReadToEnd(), SplitAnswer(Get(path, auth)).head);
  }
  THttpPeer anonymous(port_);
  anonymous.Send("HEAD / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(anonymous.ReadToEnd(), SplitAnswer(Get("/")).head);
  EXPECT_TRUE(WaitForActivity("(127.0.0.1) HEAD /"));
}

TEST_F(WebShareTest, RangesOfASharedFile) {
  ShareFile("r.bin", "0123456789");
  files_.SetModified("r.bin", 0);
  files_.WriteFile("big.bin", "");
  std::filesystem::resize_file(files_.Native("big.bin"), 5'000'000'010LL);
  def_.Files.push_back({files_.Drive("big.bin"), "big"});
  def_.FileCount = 2;
  Start();
  const std::string link = "/C" + files_.Native("r.bin");
  auto get = [&](const std::string& headers) { return SplitAnswer(Get(link, headers)); };

  THttpAnswer part = get("Range: bytes=2-4\r\n");
  EXPECT_EQ(part.head, "HTTP/1.1 206 Partial Content\r\nContent-Type: application/binary\r\n"
                       "Content-Length: 3\r\nLast-Modified: Thu, 01 Jan 1970 00:00:00 GMT\r\n"
                       "Accept-Ranges: bytes\r\nContent-Range: bytes 2-4/10\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(part.body, "234");
  EXPECT_EQ(get("range: bytes=7-\r\n").body, "789");
  EXPECT_EQ(get("Range: bytes=-2\r\n").body, "89");
  THttpAnswer beyond = get("Range: bytes=10-\r\n");
  EXPECT_EQ(beyond.head, "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n"
                         "Last-Modified: Thu, 01 Jan 1970 00:00:00 GMT\r\nAccept-Ranges: bytes\r\n"
                         "Content-Range: bytes */10\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(beyond.body, "");
  EXPECT_EQ(get("Range: bytes=0-1,4-5\r\n").body, "0123456789");
  EXPECT_EQ(get("Range: bytes=2-4\r\nIf-Range: Thu, 01 Jan 1970 00:00:00 GMT\r\n").body, "234");
  EXPECT_EQ(get("Range: bytes=2-4\r\nIf-Range: \"etag\"\r\n").body, "0123456789");

  THttpAnswer far = SplitAnswer(Get("/C" + files_.Native("big.bin"), "Range: bytes=5000000000-\r\n"));
  EXPECT_NE(far.head.find("Content-Range: bytes 5000000000-5000000009/5000000010"),
            std::string::npos);
  EXPECT_EQ(far.body, std::string(10, '\0'));
}

TEST_F(WebShareTest, MissingSharedFileIsToldAtStartAndOnEachPage) {
  ShareFile("here.txt", "x");
  def_.Files.push_back({files_.Drive("gone.txt"), "gone"});
  def_.FileCount = 2;
  Start();
  EXPECT_TRUE(WaitForActivity("Shared file not found: " + files_.Drive("gone.txt")));
  EXPECT_EQ(std::count_if(ui_->activity.begin(), ui_->activity.end(),
                          [](const std::string& l) { return l.find("not found") != std::string::npos; }),
            1);
  // The page it takes with it says why, each time.
  EXPECT_TRUE(IsNotFound(Get("/")));
  EXPECT_TRUE(WaitForActivity("(127.0.0.1) Page not sent: Cannot open " + files_.Drive("gone.txt")));
}

#include "web/WebSharePage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "catalogue/uFileFormat.h"
#include "platform/HostFs.h"
#include "web/WebShareRequest.h"

namespace fs = std::filesystem;

namespace {

const std::string kFooter =
    "<br><br><font size=\"-1\">Web Server created with <b>Dravik Server</b>.<br>For more "
    "information, visit <a href=\"http://www.dravikserver.com\">http://www.dravikserver.com</a>";

// A temporary folder of shared files, named in drive form as definitions store them.
class SharedFiles {
public:
  SharedFiles() {
    dir_ = fs::temp_directory_path() / ("webpage-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  ~SharedFiles() { fs::remove_all(dir_); }
  std::string Add(const std::string& name, std::size_t size) {
    std::ofstream(dir_ / name, std::ios::binary) << std::string(size, 'x');
    return HostFs::FromNative((dir_ / name).string());
  }
  std::string Missing(const std::string& name) {
    return HostFs::FromNative((dir_ / name).string());
  }

private:
  fs::path dir_;
};

TServerFile WebServer(const std::string& name) {
  TServerFile s;
  s.Name = name;
  s.Banner = "";
  s.Type = kTypeWeb;
  return s;
}

void Share(TServerFile& s, const std::string& path, const std::string& description) {
  s.Files.push_back({path, description});
  s.FileCount = std::int32_t(s.Files.size());
}

TEST(WebPage, ServerSharingNoFileIsFrameListStartAndFooter) {
  EXPECT_EQ(BuildListingPage(WebServer("Photos")),
            "<HTML><head><title>Web Server (Photos)</title></head><BODY><br>" + kFooter +
                "</BODY></HTML>\r\n");
}

TEST(WebPage, DefaultTemplateBlockPerFile) {
  SharedFiles files;
  TServerFile s = WebServer("Docs");
  std::string a = files.Add("a.txt", 1234567);
  std::string b = files.Add("b.bin", 12);
  Share(s, a, "First");
  Share(s, b, "Second");
  auto block = [](const std::string& desc, const std::string& path, const char* size) {
    return "<h><b>" + desc + "</b></h><br><ul><li>File: " + MakeFileLink(path) +
           "</li><li>Size: " + size + "</li></ul><br>";
  };
  EXPECT_EQ(BuildFilesPage(s), "<br>" + block("First", a, "1,234,567 bytes") +
                                   block("Second", b, "12 bytes") + kFooter);
}

TEST(WebPage, CustomTemplateAndPlaceholdersInsideDescriptions) {
  SharedFiles files;
  TServerFile s = WebServer("T");
  s.Banner = "<p>[FILE_DESC]|[FILE_SIZE]|[FILE_DESC]</p>";
  // The later replacements run over the whole block, description included.
  Share(s, files.Add("f", 5), "size [FILE_SIZE] of [FILE_DESC]");
  EXPECT_EQ(BuildFilesPage(s),
            "<br><p>size 5 bytes of [FILE_DESC]|5 bytes|size 5 bytes of [FILE_DESC]</p>" +
                kFooter);
}

TEST(WebPage, SizeOfFilesPastTwoGiBIsExact) {
  SharedFiles files;
  std::string huge = files.Add("huge.bin", 0);
  std::string native;
  ASSERT_TRUE(HostFs::ToNative(huge, native));
  ASSERT_EQ(::truncate(native.c_str(), 5368709120), 0);  // sparse
  EXPECT_EQ(FormatFileSize(huge), "5,368,709,120 bytes");
}

TEST(WebPage, SharedFileThatCannotBeOpenedFailsThePage) {
  SharedFiles files;
  TServerFile s = WebServer("T");
  Share(s, files.Missing("gone.txt"), "Gone");
  EXPECT_THROW(BuildListingPage(s), EShareFileError);
  EXPECT_THROW(FormatFileSize("D:\\nothing.txt"), EShareFileError);
}

TEST(WebPage, ReplaceAllEndsWhenTheValueHoldsThePlaceholder) {
  std::string text = "a[X]b[X]";
  ReplaceAll(text, "[X]", "<[X]>");
  EXPECT_EQ(text, "a<[X]>b<[X]>");
  ReplaceAll(text, "", "y");
  EXPECT_EQ(text, "a<[X]>b<[X]>");
}

TEST(WebPage, SizesGroupThousandsAndPassTwoGiB) {
  EXPECT_EQ(FormatByteCount(0), "0 bytes");
  EXPECT_EQ(FormatByteCount(999), "999 bytes");
  EXPECT_EQ(FormatByteCount(1000), "1,000 bytes");
  EXPECT_EQ(FormatByteCount(1234567), "1,234,567 bytes");
  EXPECT_EQ(FormatByteCount(5368709120), "5,368,709,120 bytes");
}

TEST(WebLinks, LinkAndRequestPathMapBackToTheSharedPath) {
  EXPECT_EQ(MakeFileLink("C:\\My Files\\a.txt"),
            "<a href=\"C/My%20Files/a.txt\">C:\\My Files\\a.txt</a>");
  // The browser sends the link with its blank escaped.
  EXPECT_EQ(LocalPathOfRequest(DecodeRequestPath("/C/My%20Files/a.txt")),
            "C:\\My Files\\a.txt");
  EXPECT_EQ(LocalPathOfRequest("/c/photos/beach.jpg"), "c:\\photos\\beach.jpg");
  EXPECT_EQ(LocalPathOfRequest("/C/"), std::nullopt);   // too short
  EXPECT_EQ(LocalPathOfRequest("/CC/x"), std::nullopt); // third character not "/"
  EXPECT_EQ(LocalPathOfRequest("C/x/y"), std::nullopt);
}

TEST(WebLinks, DecodeRequestPathNeverReadsPastTheEnd) {
  struct Row {
    const char* in;
    std::string out;
  };
  const Row rows[] = {
      {"/a%20b", "/a b"},   {"/%4a%4B", "/JK"},  {"/a+b", "/a+b"},
      {"/a%2", "/a%2"},     {"/a%", "/a%"},      {"/a%zz", "/a%zz"},
      {"/a%2x", "/a%2x"},   {"/%00x", std::string("/\0x", 3)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(DecodeRequestPath(row.in), row.out);
  }
}

TEST(WebAuth, Base64DecodesStandardAlphabet) {
  EXPECT_EQ(BasicAuthDecoder.Decode("YW5uOnNlY3JldA=="), "ann:secret");
  EXPECT_EQ(BasicAuthDecoder.Decode("YTpi"), "a:b");
  EXPECT_EQ(BasicAuthDecoder.Decode("YT\r\npi"), "a:b");  // RFC 2045 skips the rest
  EXPECT_EQ(BasicAuthDecoder.Decode("Pz8/Pw=="), "????");
  EXPECT_EQ(BasicAuthDecoder.Decode("+/+/"), "\xfb\xff\xbf");
  EXPECT_EQ(BasicAuthDecoder.Decode(""), "");
}

TEST(WebAuth, StartsWithTextFoldsOnlyWhenAsked) {
  EXPECT_TRUE(StartsWithText("AUTHORIZATION: Basic x", "authorization: basic", false));
  EXPECT_FALSE(StartsWithText("AUTHORIZATION: Basic x", "authorization: basic", true));
  EXPECT_FALSE(StartsWithText("Authorization:Basic x", "authorization: basic", false));
  EXPECT_FALSE(StartsWithText("Auth", "authorization: basic", false));
}

TEST(WebAuth, UnauthorizedAnswerIsExact) {
  EXPECT_EQ(kUnauthorizedBody.size(), 192u);
  EXPECT_EQ(UnauthorizedAnswer("HTTP/1.1", "/x"),
            "HTTP/1.1 401 Unauthorized\r\nContent-Type: text/html\r\nContent-Length: 192\r\n"
            "WWW-Authenticate: Basic Realm=/x\r\nConnection: close\r\n\r\n" +
                std::string(kUnauthorizedBody));
}

TEST(WebAuth, RealmCannotAddHeadLines) {
  // The realm repeats the request path, which may hold a lone CR.
  std::string answer = UnauthorizedAnswer("HTTP/1.1", "/x\rSet-Cookie: a=b\x1b[2J");
  const std::string head = answer.substr(0, answer.find("\r\n\r\n") + 2);
  EXPECT_NE(head.find("WWW-Authenticate: Basic Realm=/x%0DSet-Cookie: a=b%1B[2J\r\n"),
            std::string::npos);
  EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), kUnauthorizedBody);
}

}  // namespace

TEST(WebLinks, EveryNameGetsALinkThatLeadsBackToIt) {
  // Names with UTF-8, "#", "?", "%" and the like gave links that led nowhere, and
  // "<", "&" or a quote in a name were written into the page as markup.
  struct Row {
    const char* name;
    const char* href;  // after "C/d/"
    const char* text;  // after "C:\d\"
  };
  const Row rows[] = {
      {"caf\xc3\xa9.txt", "caf%C3%A9.txt", "caf\xc3\xa9.txt"},
      {"\xe6\x97\xa5\xe6\x9c\xac", "%E6%97%A5%E6%9C%AC", "\xe6\x97\xa5\xe6\x9c\xac"},
      {"\xf0\x9f\x98\x80.png", "%F0%9F%98%80.png", "\xf0\x9f\x98\x80.png"},
      {"a b#c?d%e", "a%20b%23c%3Fd%25e", "a b#c?d%e"},
      {" lead", "%20lead", " lead"},
      {"x&y<z>\"q\"", "x%26y%3Cz%3E%22q%22", "x&amp;y&lt;z&gt;&quot;q&quot;"},
      {"back\\slash", "back/slash", "back\\slash"},
      {"co:lon", "co%3Alon", "co:lon"},
      {"plain-._~Z9", "plain-._~Z9", "plain-._~Z9"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = std::string("C:\\d\\") + row.name;
    EXPECT_EQ(MakeFileLink(path), std::string("<a href=\"C/d/") + row.href + "\">C:\\d\\" +
                                      row.text + "</a>");
  }
  // A backslash is a separator in drive form, so such a name cannot be shared as it
  // stands on disk; every other link maps back to its path.
  for (const Row& row : rows) {
    if (std::string(row.name).find('\\') != std::string::npos) continue;
    const std::string path = std::string("C:\\d\\") + row.name;
    EXPECT_EQ(LocalPathOfRequest(DecodeRequestPath(std::string("/C/d/") + row.href)), path);
  }
}

#include "web/WebSharePage.h"

#include "catalogue/Product.h"
#include "catalogue/uFileFormat.h"
#include "platform/HostFs.h"
#include "platform/Text.h"
#include "web/HttpSrvParse.h"

namespace {

std::string Footer() {
  // The address alone would be a link relative to this server's own page.
  const std::string site = std::string("http://") + kMakerAddress;
  std::string link = "<a href=\"" + site + "\">" + site + "</a>";
  return "<br><br><font size=\"-1\">Web Server created with <b>Dravik Server</b>.<br>"
         "For more information, visit " +
         link;
}

}  // namespace

std::string MakeFileLink(std::string_view path) {
  std::string href;
  for (std::size_t i = 0; i < path.size(); ++i) {
    // Only the drive's colon goes; one in a name is escaped like any other byte, or
    // the link of "a:b.txt" would lead to "ab.txt".
    if (i == 1 && path[i] == ':') continue;
    href += path[i] == '\\' ? '/' : path[i];
  }
  return "<a href=\"" + PercentEncode(href, "/") + "\">" + HtmlText(path) + "</a>";
}

std::string FormatByteCount(std::int64_t size) {
  std::string digits = std::to_string(size < 0 ? -size : size);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return (size < 0 ? "-" : "") + out + " bytes";
}

std::string FormatFileSize(const std::string& path) {
  THostFile file;
  THostStatus status = file.Open(path, THostFile::hfmRead);
  if (!status)
    throw EShareFileError("Cannot open " + path + ": " + status.Message(), status.Temporary());
  return FormatByteCount(file.Size());
}

void ReplaceAll(std::string& text, std::string_view placeholder, std::string_view value) {
  if (placeholder.empty()) return;
  std::size_t from = 0;
  for (;;) {
    auto at = text.find(placeholder, from);
    if (at == std::string::npos) return;
    text.replace(at, placeholder.size(), value);
    from = at + value.size();
  }
}

std::string BuildFilesPage(const TServerFile& server) {
  std::string_view tmpl = server.Banner.empty() ? kDefaultFileTemplate
                                                : std::string_view(server.Banner);
  std::string result(kListStart);
  for (std::int32_t i = 0; i < server.FileCount && i < std::int32_t(server.Files.size());
       ++i) {
    const TFile& f = server.Files[i];
    std::string block(tmpl);
    ReplaceAll(block, "[FILE_DESC]", f.Description);
    ReplaceAll(block, "[FILE_PATH]", MakeFileLink(f.Path));
    ReplaceAll(block, "[FILE_SIZE]", FormatFileSize(f.Path));
    result += block;
  }
  return result + Footer();
}

std::string BuildListingPage(const TServerFile& server) {
  std::string page(kPageStart);
  page += server.Name;
  page += kPageAfterName;
  page += BuildFilesPage(server);
  page += kPageEnd;
  return page + "\r\n";
}

std::string UnauthorizedAnswer(std::string_view version, std::string_view path) {
  std::string answer = HeaderSafe(version);
  answer += " 401 Unauthorized\r\nContent-Type: text/html\r\nContent-Length: " +
            std::to_string(kUnauthorizedBody.size()) +
            "\r\nWWW-Authenticate: Basic Realm=";
  answer += HeaderSafe(path);
  answer += "\r\n";
  answer += kConnectionClose;
  answer += "\r\n";
  answer += kUnauthorizedBody;
  return answer;
}

#include "web/WebSharePage.h"

#include "catalogue/Product.h"
#include "catalogue/uFileFormat.h"
#include "platform/HostFs.h"
#include "web/HttpSrvParse.h"

const TMimeDecode BasicAuthDecoder;

namespace {

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

std::string Footer() {
  // The address alone would be a link relative to this server's own page.
  const std::string site = std::string("http://") + kMakerAddress;
  std::string link = "<a href=\"" + site + "\">" + site + "</a>";
  return "<br><br><font size=\"-1\">Web Server created with <b>Dravik Server</b>.<br>"
         "For more information, visit " +
         link;
}

}  // namespace

std::string TMimeDecode::Decode(std::string_view text) const {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    int v = Base64Value(c);
    if (v < 0) continue;
    bits = (bits << 6) | unsigned(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

bool StartsWithText(std::string_view text, std::string_view prefix, bool caseSensitive) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i], b = prefix[i];
    if (!caseSensitive) {
      a = UpperChar(a);
      b = UpperChar(b);
    }
    if (a != b) return false;
  }
  return true;
}

std::string DecodeRequestPath(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::optional<std::string> LocalPathOfRequest(std::string_view path) {
  if (path.size() <= 3 || path[0] != '/' || path[2] != '/') return std::nullopt;
  std::string local;
  local += path[1];
  local += ':';
  local += path.substr(2);
  for (char& c : local)
    if (c == '/') c = '\\';
  return local;
}

// Bytes outside the unreserved set (RFC 3986 section 2.3) and "/" are escaped: a
// name with "#", "?", "%", a blank or UTF-8 bytes otherwise gave a link that led
// nowhere, or elsewhere; the request decoding turns every %XX back.
std::string PercentEncodePath(std::string_view path) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (char c : path) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
        c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out += c;
    } else {
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 15];
    }
  }
  return out;
}


std::string MakeFileLink(std::string_view path) {
  std::string href;
  for (std::size_t i = 0; i < path.size(); ++i) {
    // Only the drive's colon goes; one in a name is escaped like any other byte, or
    // the link of "a:b.txt" would lead to "ab.txt".
    if (i == 1 && path[i] == ':') continue;
    href += path[i] == '\\' ? '/' : path[i];
  }
  return "<a href=\"" + PercentEncodePath(href) + "\">" + HtmlText(path) + "</a>";
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

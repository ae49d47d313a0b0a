#include "web/HttpSrvParse.h"

#include <charconv>
#include <cstdio>

#include "platform/Text.h"

namespace {

std::string_view SkipBlanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return s;
}

// Cuts the next word (up to a blank) off the front of s.
std::string_view TakeWord(std::string_view& s) {
  auto end = s.find(' ');
  std::string_view word = s.substr(0, end);
  s.remove_prefix(end == std::string_view::npos ? s.size() : end);
  return word;
}

// Whole days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yy + (m <= 2));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

std::string StripLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  }
  return std::string(line);
}

THttpRequestLine ParseRequestLine(std::string_view line) {
  THttpRequestLine r;
  std::string_view rest = line;
  r.RequestMethod = AsciiUpper(TakeWord(rest));
  rest = SkipBlanks(rest);
  std::string target(TakeWord(rest));
  for (std::string_view scheme : {"http://", "https://"}) {
    if (!StartsWithNoCase(target, scheme)) continue;
    const std::size_t pathStart = target.find_first_of("/?", scheme.size());
    target = pathStart == std::string::npos ? "/" : target.substr(pathStart);
    if (target[0] == '?') target.insert(0, "/");
    break;
  }
  auto q = target.find('?');
  r.Path = std::string(target.substr(0, q));
  if (q != std::string_view::npos) r.Params = std::string(target.substr(q + 1));
  rest = SkipBlanks(rest);
  r.RequestVersion = AsciiUpper(TrimControls(TakeWord(rest)));
  if (r.RequestVersion.empty()) r.RequestVersion = "HTTP/1.0";
  return r;
}

void ApplyHeaderLine(std::string_view line, THttpRequestHeaders& h) {
  auto colon = line.find(':');
  if (colon != std::string_view::npos) {
    std::string value(SkipBlanks(line.substr(colon + 1)));
    struct Field {
      std::string_view name;
      std::string* text;
    };
    const Field fields[] = {
        {"content-type:", &h.ReqContentType},
        {"content-length:", nullptr},
        {"Accept:", &h.ReqAccept},
        {"Referer:", &h.ReqReferer},
        {"Accept-Language:", &h.ReqAcceptLanguage},
        {"Accept-Encoding:", &h.ReqAcceptEncoding},
        {"User-Agent:", &h.ReqUserAgent},
        {"Host:", &h.ReqHost},
        {"Connection:", &h.ReqConnection},
    };
    for (const Field& f : fields) {
      if (!StartsWithNoCase(line, f.name)) continue;
      if (f.text) {
        *f.text = value;
      } else {
        std::int64_t n = 0;
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (ec == std::errc() && end == value.data() + value.size() && !value.empty())
          h.ReqContentLength = n;
      }
      break;
    }
  }
  h.HeaderLines.emplace_back(line);
}

std::string MapDocument(std::string_view docDir, std::string_view path,
                        std::string_view defaultDoc) {
  std::string doc(docDir);
  if (path.empty() || path.front() != '/') doc += '\\';
  doc += path;
  if (!doc.empty() && doc.back() == '/') doc += defaultDoc;
  return UrlDecode(SlashesToBackslashes(doc));
}

bool DocumentStaysInside(std::string_view document) {
  if (document.find('\0') != std::string_view::npos) return false;
  std::size_t start = 0;
  while (start <= document.size()) {
    auto end = document.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = document.size();
    if (document.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

bool WantsKeepAlive(std::string_view reqConnection) {
  return EqualsNoCase(reqConnection, "Keep-Alive");
}

std::string MimeTypeOf(std::string_view fileName) {
  auto dot = fileName.rfind('.');
  auto sep = fileName.find_last_of("\\:");
  if (dot == std::string_view::npos || (sep != std::string_view::npos && dot < sep))
    return "application/binary";
  std::string ext = AsciiUpper(fileName.substr(dot + 1));
  if (ext == "HTM" || ext == "HTML") return "text/html";
  if (ext == "GIF") return "image/gif";
  if (ext == "BMP") return "image/bmp";
  if (ext == "JPG" || ext == "JPEG") return "image/jpeg";
  if (ext == "TXT") return "text/plain";
  return "application/binary";
}

std::string HttpDate(std::int64_t unixSeconds) {
  static constexpr char kDays[] = "MonTueWedThuFriSatSun";
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const std::int64_t days = FloorDiv(unixSeconds, 86400);
  const std::int64_t secs = unixSeconds - days * 86400;
  // Day 0 of the weekday table is a Monday: 1970-01-01 was a Thursday.
  const std::int64_t k = ((days + 3) % 7 + 7) % 7;
  int year;
  unsigned month, day;
  CivilFromDays(days, year, month, day);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3s, %02u %.3s %04d %02d:%02d:%02d", kDays + 3 * k,
                day, kMonths + 3 * (month - 1), year, int(secs / 3600),
                int(secs / 60 % 60), int(secs % 60));
  return buf;
}

std::string UrlDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    if (s[i] != '%') {
      out += s[i++];
      continue;
    }
    if (i + 2 >= s.size()) {  // "%" among the last two characters: kept as it is
      out.append(s.substr(i));
      break;
    }
    std::string_view two = s.substr(i + 1, 2);
    while (!two.empty() && two.front() == ' ') two.remove_prefix(1);
    unsigned value = 0;
    for (char c : two) {
      if (c >= '0' && c <= '9')
        value = value * 16 + unsigned(c - '0');
      else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        value = value * 16 + (unsigned(c) & 0x0F) + 9;
      else
        break;
    }
    out += static_cast<char>(value & 0xFF);
    i += 3;
  }
  return out;
}

std::string HeaderSafe(std::string_view text) { return EscapeControls(text, "%"); }

std::string AnswerHead(std::string_view version, const THttpAnswerHead& head) {
  std::string h = HeaderSafe(version);
  switch (head.Status) {
    case 206: h += " 206 Partial Content\r\n"; break;
    case 416: h += " 416 Range Not Satisfiable\r\n"; break;
    default: h += " 200 OK\r\n"; break;
  }
  if (!head.ContentType.empty()) h += "Content-Type: " + head.ContentType + "\r\n";
  h += "Content-Length: " + std::to_string(head.ContentLength) + "\r\n";
  if (head.LastModified) h += "Last-Modified: " + HttpDate(*head.LastModified) + " GMT\r\n";
  if (head.AcceptRanges) h += "Accept-Ranges: bytes\r\n";
  if (!head.ContentRange.empty()) h += "Content-Range: " + head.ContentRange + "\r\n";
  h += kConnectionClose;
  h += "\r\n";
  return h;
}

std::string OkHeader(std::string_view version, std::string_view contentType,
                     std::int64_t contentLength, const std::int64_t* lastModified) {
  THttpAnswerHead head;
  head.ContentType = std::string(contentType);
  head.ContentLength = contentLength;
  if (lastModified) head.LastModified = *lastModified;
  return AnswerHead(version, head);
}

namespace {

// Decimal digits only, no sign, no overflow.
bool ParseCount(std::string_view s, std::int64_t& value) {
  if (s.empty() || s.size() > 18) return false;
  value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

}  // namespace

TRangeAnswer ParseRange(std::string_view value, std::int64_t size, TByteRange& range) {
  value = TrimControls(value);
  if (!StartsWithNoCase(value, "bytes=")) return TRangeAnswer::kWhole;
  value = value.substr(6);
  const std::size_t dash = value.find('-');
  if (dash == std::string_view::npos || value.find(',') != std::string_view::npos)
    return TRangeAnswer::kWhole;
  const std::string_view first = TrimControls(value.substr(0, dash));
  const std::string_view last = TrimControls(value.substr(dash + 1));
  std::int64_t a = 0, b = 0;
  if (first.empty()) {  // the last n bytes
    if (!ParseCount(last, b)) return TRangeAnswer::kWhole;
    if (b == 0 || size == 0) return TRangeAnswer::kUnsatisfiable;
    range = {std::max<std::int64_t>(0, size - b), size - 1};
    return TRangeAnswer::kPart;
  }
  if (!ParseCount(first, a)) return TRangeAnswer::kWhole;
  if (last.empty()) {
    b = size - 1;
  } else if (!ParseCount(last, b) || b < a) {
    return TRangeAnswer::kWhole;
  }
  if (a >= size) return TRangeAnswer::kUnsatisfiable;
  range = {a, std::min(b, size - 1)};
  return TRangeAnswer::kPart;
}

std::string UnavailableAnswer(std::string_view version) {
  const std::string body =
      "<HTML><HEAD><TITLE>503 Service Unavailable</TITLE></HEAD><BODY>"
      "<H1>503 Service Unavailable</H1>The server is busy. Please try again in a few "
      "seconds.<P></BODY></HTML>\r\n";
  return HeaderSafe(version) +
         " 503 Service Unavailable\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nRetry-After: 5\r\n" + kConnectionClose + "\r\n" +
         body;
}

std::string HeaderTooLargeAnswer(std::string_view version) {
  const std::string_view shown = version.substr(0, 5) == "HTTP/" ? version : "HTTP/1.0";
  return HeaderSafe(shown) + " 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n" +
         kConnectionClose + "\r\n";
}

std::string MovedToTlsAnswer(std::string_view version, std::string_view host,
                             std::string_view target) {
  std::string location = "https://";
  for (char c : std::string(host) + std::string(target))
    if (static_cast<unsigned char>(c) > ' ' && c != 0x7f) location += c;
  const std::string body = "<HTML><BODY><A HREF=\"" + HtmlText(location) + "\">" +
                           HtmlText(location) + "</A></BODY></HTML>\r\n";
  return HeaderSafe(version) + " 301 Moved Permanently\r\nLocation: " + location +
         "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n" + kConnectionClose + "\r\n" + body;
}

std::string TlsAuthority(std::string_view host, std::string_view localAddr,
                         std::string_view localPort) {
  std::string name(host.empty() ? localAddr : host);
  // An IPv6 literal holds colons of its own; its port follows the "]".
  const std::size_t close = name.rfind(']');
  const std::size_t colon = name.rfind(':');
  const bool hasColon = colon != std::string::npos && (close == std::string::npos || colon > close);
  if (hasColon && colon + 1 < name.size()) return name;
  if (hasColon) name.pop_back();  // "host:" names no port (RFC 3986 section 3.2.3)
  // A Host without a port is what the client sends for port 80, which a router may
  // forward to another port here; TLS answers on the port the client reached. Only
  // without a Host is the port the one listened on.
  const std::string_view port = host.empty() ? localPort : std::string_view("80");
  if (port == "443") return name;
  return name + ":" + std::string(port);
}

std::string HtmlText(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string NotFoundAnswer(std::string_view version, std::string_view path) {
  std::string body =
      "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>404 Not Found</H1>"
      "The requested URL ";
  // A handler may have decoded the path; repeated raw it would let a link plant
  // script in this page.
  body += HtmlText(path);
  body += " was not found on this server.<P></BODY></HTML>\r\n";
  std::string answer = HeaderSafe(version);
  answer += " 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n" + kConnectionClose + "\r\n";
  return answer + body;
}

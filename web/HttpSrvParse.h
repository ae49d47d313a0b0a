#pragma once
// The text side of the HTTP engine: request line and header parsing, the engine's
// own answer texts, and the small helpers (MimeTypeOf, HttpDate, UrlDecode). Kept
// free of sockets so the protocol rules can be tested on plain strings.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Text.h"

// The recognised request headers of one request, cleared at every request line.
struct THttpRequestHeaders {
  std::string ReqContentType;
  std::int64_t ReqContentLength = 0;
  std::string ReqAccept;
  std::string ReqReferer;
  std::string ReqAcceptLanguage;
  std::string ReqAcceptEncoding;
  std::string ReqUserAgent;
  std::string ReqHost;
  std::string ReqConnection;
  std::vector<std::string> HeaderLines;  // every non-empty header line, in order
};

// What one request's header may hold: far beyond what any browser sends (a few
// dozen short lines), small enough that a peer who never ends its header cannot
// make the program grow. A header past either limit ends the connection.
inline constexpr std::size_t kMaxHeaderLines = 256;
inline constexpr std::size_t kMaxHeaderBytes = 256 * 1024;

struct THttpRequestLine {
  std::string RequestMethod;   // upper-cased
  std::string Path;            // up to the first "?", not decoded
  std::string Params;          // after the first "?"
  std::string RequestVersion;  // upper-cased; "HTTP/1.0" when missing
};

// Drops a final "\n" and a "\r" before it.
std::string StripLineEnd(std::string_view line);

// Splits "METHOD target VERSION"; an empty line gives an empty method and path. An
// absolute target ("http://host:port/path", which RFC 9112 section 3.2.2 has servers
// accept) is taken as its path.
THttpRequestLine ParseRequestLine(std::string_view line);

// Records one non-empty header line: the first recognised name (compared without
// regard to case, colon included) gets the value, and the line is always kept in
// HeaderLines.
void ApplyHeaderLine(std::string_view line, THttpRequestHeaders& headers);

// DocDir + Path, DefaultDoc after a trailing "/", backslashes, then UrlDecode.
std::string MapDocument(std::string_view docDir, std::string_view path,
                        std::string_view defaultDoc);

// A decoded document path may hold anything a peer typed; one with a ".."
// component (either separator) or a NUL byte would leave the document folder.
bool DocumentStaysInside(std::string_view document);

// True when the request asked to keep the connection (the whole value, any case).
bool WantsKeepAlive(std::string_view reqConnection);

std::string MimeTypeOf(std::string_view fileName);

// "Thu, 01 Jan 1970 00:00:00" for seconds since 1970 (UTC); no zone suffix.
std::string HttpDate(std::int64_t unixSeconds);

// Percent decoding of the engine: "%" with at least two characters after it always
// consumes both, whatever they are; "+" stays.
std::string UrlDecode(std::string_view s);

// What an answer head says. Every answer of this server is followed by the end of
// its connection (the sending side is shut down after each), so every head says
// "Connection: close" (RFC 9112 section 9.6): clients then neither count the close
// as an error nor try to send a second request on it.
struct THttpAnswerHead {
  int Status = 200;  // 200, 206 or 416
  std::string ContentType;  // none written when empty
  std::int64_t ContentLength = 0;
  std::optional<std::int64_t> LastModified;  // seconds since 1970 (UTC)
  bool AcceptRanges = false;
  std::string ContentRange;  // "bytes 0-9/100", "bytes */100"; none when empty
};
std::string AnswerHead(std::string_view version, const THttpAnswerHead& head);

// The answer head "version 200 OK" with type, length and, when given, Last-Modified.
std::string OkHeader(std::string_view version, std::string_view contentType,
                     std::int64_t contentLength, const std::int64_t* lastModified);

// One byte range of a Range header (RFC 9110 section 14.2), for a file of size
// bytes: "bytes=a-b", "bytes=a-" or "bytes=-n". A range that does not overlap the
// file is unsatisfiable (416); several ranges, another unit, or anything malformed
// is ignored (the whole file), as the RFC allows.
enum class TRangeAnswer { kWhole, kPart, kUnsatisfiable };
struct TByteRange {
  std::int64_t First = 0;
  std::int64_t Last = 0;  // inclusive
};
TRangeAnswer ParseRange(std::string_view value, std::int64_t size, TByteRange& range);

// text with & < > " written as entities, to stand in a page as the text it is.
std::string HtmlText(std::string_view text);

inline constexpr const char* kConnectionClose = "Connection: close\r\n";

// The whole 404 answer, head and page, for a request path as received; the HTML
// specials of the path are written as entities.
std::string NotFoundAnswer(std::string_view version, std::string_view path);
// "503 Service Unavailable" with Retry-After: the program is short of descriptors
// or memory for the moment; unlike a 404 it tells the browser to come back.
std::string UnavailableAnswer(std::string_view version);
// "301 Moved Permanently" to https://host target, for a server that takes requests
// only over TLS; bytes that could split the header are left out of the location.
// The answer to a request whose header went past the limits (RFC 6585 section 5).
std::string HeaderTooLargeAnswer(std::string_view version);

std::string MovedToTlsAnswer(std::string_view version, std::string_view host,
                             std::string_view target);
// The host[:port] of that https address: the Host header's when it names a port; its
// name and port 80 when it names none (a client leaves the port out for 80, and
// https:// with no port means 443 to a browser); without a Host, the address and
// port listened on (443 left out).
std::string TlsAuthority(std::string_view host, std::string_view localAddr,
                         std::string_view localPort);

// Client text repeated in an answer head (the version, a realm): control bytes
// become "%XX", since a lone CR or LF there would start a header line of the
// client's choosing. Anything else is kept as it is.
std::string HeaderSafe(std::string_view text);


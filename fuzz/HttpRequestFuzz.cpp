// Fuzz target: one HTTP request head as a peer sends it, split into lines the way
// the connection hands them to the parser, then the request path and the Basic
// credentials through the decoders and the answers that repeat client text.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "web/HttpSrvParse.h"
#include "web/WebSharePage.h"
#include "web/WebShareRequest.h"

namespace {

constexpr std::string_view kDocDir = "C:\\www";
constexpr std::string_view kAuthorizationPrefix = "authorization: basic";

std::string Base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned n = (unsigned(std::uint8_t(bytes[i])) << 16) |
                       (unsigned(std::uint8_t(bytes[i + 1])) << 8) | std::uint8_t(bytes[i + 2]);
    for (int shift : {18, 12, 6, 0}) out += kAlphabet[(n >> shift) & 63];
  }
  if (const std::size_t left = bytes.size() - i; left > 0) {
    unsigned n = unsigned(std::uint8_t(bytes[i])) << 16;
    if (left == 2) n |= unsigned(std::uint8_t(bytes[i + 1])) << 8;
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += left == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string PercentEncode(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    out += '%';
    out += kHex[std::uint8_t(c) >> 4];
    out += kHex[std::uint8_t(c) & 15];
  }
  return out;
}

// An answer head is the engine's own lines: a CR or LF that came from the client
// must never start another one.
void CheckHead(const std::string& answer, std::size_t expectedLines) {
  const std::size_t end = answer.find("\r\n\r\n");
  FUZZ_CHECK(end != std::string::npos);
  const std::string_view head(answer.data(), end + 2);
  std::size_t lines = 0;
  for (std::size_t i = 0; i < head.size(); ++i) {
    if (head[i] == '\r') {
      FUZZ_CHECK(i + 1 < head.size() && head[i + 1] == '\n');
      ++lines;
      ++i;
    } else {
      FUZZ_CHECK(head[i] != '\n');
    }
  }
  FUZZ_CHECK(lines == expectedLines);
}

void CheckRequestLine(const THttpRequestLine& r) {
  FUZZ_CHECK(std::none_of(r.RequestMethod.begin(), r.RequestMethod.end(),
                          [](char c) { return c == ' ' || (c >= 'a' && c <= 'z'); }));
  FUZZ_CHECK(r.Path.find_first_of(" ?") == std::string::npos);
  FUZZ_CHECK(!r.RequestVersion.empty());
}

void CheckCredentials(std::string_view line) {
  if (!StartsWithText(line, kAuthorizationPrefix, false)) return;
  const std::string_view encoded = line.substr(kAuthorizationPrefix.size());
  FUZZ_CHECK(BasicAuthDecoder.Decode(encoded).size() <= encoded.size() * 3 / 4);
  // Whatever bytes a user name and password hold, a client's encoding of them
  // must decode to exactly those bytes.
  FUZZ_CHECK(BasicAuthDecoder.Decode(Base64Encode(encoded)) == encoded);
}

void CheckPath(const THttpRequestLine& request, const THttpRequestHeaders& headers) {
  const std::string& path = request.Path;
  FUZZ_CHECK(UrlDecode(path).size() <= path.size());
  FUZZ_CHECK(DecodeRequestPath(path).size() <= path.size());
  FUZZ_CHECK(UrlDecode(PercentEncode(path)) == path);
  FUZZ_CHECK(DecodeRequestPath(PercentEncode(path)) == path);

  const std::string document = MapDocument(kDocDir, path, "index.html");
  DocumentStaysInside(document);
  MimeTypeOf(document);
  LocalPathOfRequest(DecodeRequestPath(path));

  const std::string& version = request.RequestVersion;
  const std::string notFound = NotFoundAnswer(version, path);
  CheckHead(notFound, 4);  // status, type, length, connection
  // The path is shown in the page: none of its '<' may open a tag there.
  const std::string plain = NotFoundAnswer(version, "");
  FUZZ_CHECK(std::count(notFound.begin(), notFound.end(), '<') ==
             std::count(plain.begin(), plain.end(), '<'));
  CheckHead(UnauthorizedAnswer(version, path), 5);
  CheckHead(OkHeader(version, MimeTypeOf(document), headers.ReqContentLength,
                     &headers.ReqContentLength),
            5);
}

// A range served is always inside the file and never empty, for any file size.
void CheckRange(std::string_view line) {
  if (!StartsWithText(line, "range:", false)) return;
  const std::string_view value = line.substr(6);
  for (std::int64_t size : {std::int64_t(0), std::int64_t(1), std::int64_t(1000),
                            std::int64_t(5000000010)}) {
    TByteRange range;
    if (ParseRange(value, size, range) != TRangeAnswer::kPart) continue;
    FUZZ_CHECK(range.First >= 0 && range.First <= range.Last && range.Last < size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  THttpRequestLine request;
  THttpRequestHeaders headers;
  bool requestLineSeen = false;
  while (!input.empty()) {
    const std::size_t end = input.find('\n');
    const std::size_t taken = end == std::string_view::npos ? input.size() : end + 1;
    const std::string line = StripLineEnd(input.substr(0, taken));
    input.remove_prefix(taken);
    if (!requestLineSeen) {
      request = ParseRequestLine(line);
      CheckRequestLine(request);
      requestLineSeen = true;
      continue;
    }
    if (line.empty() || headers.HeaderLines.size() >= kMaxHeaderLines) break;
    ApplyHeaderLine(line, headers);
    CheckCredentials(line);
    CheckRange(line);
  }
  WantsKeepAlive(headers.ReqConnection);
  if (!request.Path.empty()) CheckPath(request, headers);
  return 0;
}

#pragma once
// The texts of the web share pages: the listing page built from a server's file
// template, its links and sizes, Basic authorization decoding, request path
// decoding and the 401 answer. Only FormatFileSize and BuildFilesPage touch files
// (through HostFs); everything else is plain text.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct TServerFile;

inline constexpr std::string_view kDefaultFileTemplate =
    "<h><b>[FILE_DESC]</b></h><br><ul><li>File: [FILE_PATH]</li>"
    "<li>Size: [FILE_SIZE]</li></ul><br>";
inline constexpr std::string_view kPageStart = "<HTML><head><title>Web Server (";
inline constexpr std::string_view kPageAfterName = ")</title></head><BODY>";
inline constexpr std::string_view kPageEnd = "</BODY></HTML>";
inline constexpr std::string_view kListStart = "<br>";
inline constexpr std::string_view kUnauthorizedBody =
    "<html><head><title>Unauthorized</title></head>"
    "<font size=\"2\" face=\"Arial, Helvetica, sans-serif\"><body><B>Error 401</B>"
    "<br><br>You are not authorized to use this resource.</font></body></html>";

// Raised when a shared file cannot be opened to learn its size; the listing
// request then gets the 404 answer.
class EShareFileError : public std::runtime_error {
public:
  EShareFileError(const std::string& message, bool temporary)
      : std::runtime_error(message), temporary_(temporary) {}
  // Out of descriptors or memory, rather than a missing or unreadable file.
  bool Temporary() const { return temporary_; }

private:
  bool temporary_;
};

// Base64 (RFC 2045) decoding for the Authorization header. Characters outside
// the alphabet are skipped and "=" ends the data, as RFC 2045 section 6.8 asks.
class TMimeDecode {
public:
  std::string Decode(std::string_view text) const;
};
extern const TMimeDecode BasicAuthDecoder;

bool StartsWithText(std::string_view text, std::string_view prefix, bool caseSensitive);

// "%" and two hexadecimal digits become one byte. A "%" that is not followed by two
// hexadecimal digits is kept as it is, so nothing past the end is ever read.
std::string DecodeRequestPath(std::string_view text);

// "/C/dir/file" to "C:\dir\file"; none for a path of another shape.
std::optional<std::string> LocalPathOfRequest(std::string_view path);

// The link of a shared file: href C/dir/file (relative to the root page, every byte
// but A-Z a-z 0-9 - . _ ~ / percent-encoded), the full local path as its text (with
// & < > " as entities).
std::string MakeFileLink(std::string_view path);
std::string PercentEncodePath(std::string_view path);

// "1,234,567 bytes".
std::string FormatByteCount(std::int64_t size);
// The size of a shared file, opened for reading as a download would be. Throws
// EShareFileError when it cannot be opened.
std::string FormatFileSize(const std::string& path);

// Replaces every occurrence; text inserted by a replacement is not searched
// again, so a value holding the placeholder cannot loop forever.
void ReplaceAll(std::string& text, std::string_view placeholder, std::string_view value);

// The list part of the page: list start, one template block per shared file,
// footer. Throws EShareFileError.
std::string BuildFilesPage(const TServerFile& server);
// The whole page body as sent, CR LF included.
std::string BuildListingPage(const TServerFile& server);

// The whole 401 answer (head and body).
std::string UnauthorizedAnswer(std::string_view version, std::string_view path);

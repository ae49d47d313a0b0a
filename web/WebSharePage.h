#pragma once
// The texts of the web share pages: the listing page built from a server's file
// template, its links and sizes, and the 401 answer. Only FormatFileSize and
// BuildFilesPage touch files (through HostFs); everything else is plain text.

#include <cstdint>
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

// The link of a shared file: href C/dir/file (relative to the root page, every byte
// but A-Z a-z 0-9 - . _ ~ / percent-encoded), the full local path as its text (with
// & < > " as entities).
std::string MakeFileLink(std::string_view path);

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

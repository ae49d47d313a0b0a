#pragma once
// The FTP engine's pure text work: splitting a command line into keyword and
// parameter, reading a PORT argument, writing a PASV reply. Nothing here touches a
// socket, so each piece is tested on its own.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// Raised by the engine's own checks; the dispatcher turns one that escapes a
// command into "501 " + message.
class FtpServerException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct TFtpCommandLine {
  std::string Keyword;  // ASCII letters and digits, upper case; may be empty
  std::string Params;   // the rest of the line, trailing blanks kept
  // The rest after the one blank that separates it (RFC 959): a name that begins
  // with a blank keeps it here.
  std::string Name;
};

// Commands whose argument is one path: they take TFtpCommandLine::Name. Skipping every
// blank would make RETR of " a.txt" fetch nothing and STOR of it replace "a.txt".
bool TakesOnePath(std::string_view keyword);

// Telnet IAC handling (RFC 854): IAC IAC is one 255 byte, IAC with any other
// byte is dropped together with it.
TFtpCommandLine ParseCommandLine(std::string_view line);

// Leading and trailing spaces and control characters removed.
std::string FtpTrim(std::string_view s);
std::string FtpUpper(std::string_view s);

// The six numbers of a PORT argument, each read leniently (blanks around a
// number, no digits at all reads as 0). nullopt when a character other than a
// digit, blank or comma shows up. The address is not range-checked here.
struct TPortArgument {
  std::string Addr;     // "a1.a2.a3.a4" as written
  std::int64_t Port;    // p1 * 256 + p2
};
std::optional<TPortArgument> ParsePortArgument(std::string_view params);

// The four bytes of a dotted IPv4 literal, or nullopt (also for
// "255.255.255.255", which a PASV reply can never mean).
std::optional<std::uint32_t> ParseDottedAddress(std::string_view text);

// "227 Entering Passive Mode (a,b,c,d,p1,p2)." for a host-order address.
std::string PasvReplyText(std::uint32_t addr, int port);

// printf-style formatting into a std::string, for the reply texts.
// Every pattern is one reply line, so CR and LF in the result came from inserted
// text (a file name, a system error message) and become blanks: a line break there
// would split the reply and leave the client one reply behind for the session.
std::string FtpFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// text with CR and LF replaced by blanks.
std::string FtpSingleLine(std::string text);

#pragma once
// What the web share pages read from a request: the Basic authorization
// credentials, header names, and the requested path as a local file path. Plain
// text, no files.

#include <optional>
#include <string>
#include <string_view>

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

#pragma once
// Text helpers for the core, which treats text as bytes: only ASCII letters are
// ever case-folded, whatever the locale, and everything else passes untouched.

#include <cstdint>
#include <string>
#include <string_view>

constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
std::string AsciiLower(std::string_view text);
std::string AsciiUpper(std::string_view text);

constexpr bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool IsAsciiAlnum(char c) { return IsAsciiLetter(c) || IsAsciiDigit(c); }
// At least one byte, and every byte a decimal digit: no sign, no blanks.
bool IsDigits(std::string_view text);

bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// Byte order after folding, for lists sorted without regard to case.
bool LessNoCase(std::string_view a, std::string_view b);

// Without blanks and control characters (every byte up to ' ') at either end.
std::string_view TrimControls(std::string_view text);
// Without ASCII white space (space, tab, CR, LF, VT, FF) at either end.
std::string_view TrimSpaces(std::string_view text);
std::string_view TrimSpacesEnd(std::string_view text);

// Every byte outside the unreserved set of RFC 3986 (A-Z a-z 0-9 - . _ ~) and `keep`
// as %XX, so a link leads where it says: a path keeps "/", a name or a password in a
// link keeps nothing, since "/", "#", "@" or ":" there would end it early.
std::string PercentEncode(std::string_view text, std::string_view keep = {});

// Control bytes (below 0x20, 0x7F, and the C1 controls raw or in UTF-8) as marker +
// two hex digits ("\x0A", or "%0A" in an answer head), so that text a client chose
// cannot start a line of its own in a log or a head, or drive a terminal.
std::string EscapeControls(std::string_view text, std::string_view marker = "\\x");

// Drive-form paths separate with backslashes, links and FTP clients with slashes.
std::string SlashesToBackslashes(std::string_view s);
std::string BackslashesToSlashes(std::string_view s);

// Base64 with the standard alphabet, padded with "=".
std::string Base64Encode(std::string_view bytes);
// Characters outside the alphabet are skipped and "=" ends the data, as RFC 2045
// section 6.8 asks.
std::string Base64Decode(std::string_view text);

// 0..15 for a hexadecimal digit of either case, -1 for anything else.
int HexDigitValue(char c);

// An integer as the definition files and cell markup write it: an optional sign,
// then decimal digits or '$' and hexadecimal digits. Decimal must fit 32 bits
// signed; hexadecimal may use all 32 bits and wraps, so "$FFFFFFFF" is -1. False,
// and out untouched, for anything else.
bool ParseIntegerText(std::string_view text, std::int32_t& out);

// English names, as listings and log lines show dates whatever the locale.
inline constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
inline constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

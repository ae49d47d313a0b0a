#pragma once
// INI ("profile") files as the definition files have always been written: sections in
// brackets, key=value lines, names compared without ASCII case, blanks around values
// dropped, a value wholly in matching quotes returned without them, values cut at
// 2047 characters. Writing replaces a key on its own line, appends a new key at the
// end of its section and a new section at the end of the file, and never erases.
//
// A TProfile is the whole file in memory: load it, read or write keys, save it.
// Lines the parser does not understand (comments, junk) are kept byte for byte.

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Makes path and its missing parents; the last folder, when made here, is readable
// by its owner only. True when the folder exists afterwards.
bool CreatePrivateFolder(const std::string& path);

class TProfile {
public:
  // Longest value a read returns; longer values are cut (the reader's buffer was
  // 2048 bytes with its terminator, and stored files rely on nothing longer).
  static constexpr std::size_t kMaxValueLength = 2047;

  enum class TLoadResult { kLoaded, kMissing, kUnreadable };

  TProfile() = default;
  // Parses text as if it had been read from a file (CR LF or LF line ends).
  explicit TProfile(std::string_view text);

  // Replaces the content with the file's. kMissing (no such file, or a folder of
  // that name) and kUnreadable leave the profile empty.
  TLoadResult Load(const std::string& path);

  // The value of key in section, or defaultValue (trailing blanks dropped) when
  // either is missing. A key present with an empty value reads as "".
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const;

  // The value is stored as given: it must not hold a line break.
  void WriteString(std::string_view section, std::string_view key,
                   std::string_view value);

  // The file content as it would be saved.
  std::string Text() const;

  // Replaces the file at path with Text() so that a crash or a full disk leaves
  // either the old content or the new one, never a mix: temporary file in the same
  // folder, flushed to disk, renamed over the old file. False when the file cannot
  // be written (including a file that exists but is read-only); the old file is then
  // untouched and no temporary file is left behind. The file is readable by its
  // owner only (definitions hold passwords in clear); one that existed keeps its
  // owner where the process may keep it.
  bool SaveAtomically(const std::string& path) const;

private:
  struct TLine {
    std::string raw;    // as read or written, without its line end
    std::string key;    // trimmed key name; empty when the line holds no key
    std::size_t valueStart = 0;  // offset of the text after '=' in raw
  };
  struct TSection {
    std::string name;   // trimmed, as written in the header
    std::string header; // the header line as read
    std::vector<TLine> lines;
  };

  void Parse(std::string_view text);
  TSection* FindSection(std::string_view name);
  const TSection* FindSection(std::string_view name) const;
  static constexpr std::size_t kNoKey = static_cast<std::size_t>(-1);
  // Index of the key's first line in the section, or kNoKey.
  static std::size_t FindKey(const TSection& section, std::string_view key);

  std::vector<TLine> preamble_;  // lines before the first section; never matched
  std::vector<TSection> sections_;
  // Folded section name -> index of its first section in sections_: a later section
  // of the same name is kept in the file but never read or written.
  std::unordered_map<std::string, std::size_t> index_;
};

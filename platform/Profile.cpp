#include "platform/Profile.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/FileHandle.h"
#include "platform/Text.h"

namespace {

// The section name of a header line, or false when the line is not one. A '[' with
// no ']' is not a header: such a line is kept as text and never matched.
bool ParseHeader(std::string_view line, std::string& name) {
  std::string_view t = TrimSpaces(line);
  if (t.empty() || t.front() != '[') return false;
  std::size_t close = t.find(']');
  if (close == std::string_view::npos) return false;
  name = std::string(TrimSpaces(t.substr(1, close - 1)));
  return true;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// A dangling link or a plain path is written where it stands; a link to a file is
// followed so that the user's link keeps pointing at the definition.
std::string ResolveTarget(const std::string& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return path;
  return resolved;
}

std::string TemporaryNameBeside(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  std::size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  // Hidden and without the ".server" extension, so a folder scan never lists it.
  return dir + "." + base + "." + std::to_string(::getpid()) + "." +
         std::to_string(counter++) + ".tmp";
}

void SyncFolderOf(const std::string& target) {
  std::size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  FileHandle folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The rename is already done; a folder that cannot be synced only makes the new
  // name less durable, which is no reason to report the save as failed.
  if (folder.Valid()) ::fsync(folder.Get());
}

}  // namespace

TProfile::TProfile(std::string_view text) { Parse(text); }

void TProfile::Parse(std::string_view text) {
  preamble_.clear();
  sections_.clear();
  index_.clear();
  // Editors on some desktops begin a UTF-8 file with a byte order mark; left in, it
  // would hide the first section header and with it every key of [Info]. It is not
  // kept, so a later save writes the file without it. An editor that adds one to a
  // file already holding one leaves two: a save would then begin with the second,
  // and the next read, dropping it, would find a header the first read did not see.
  constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
  while (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    std::string name;
    if (ParseHeader(line, name)) {
      index_.try_emplace(AsciiLower(name), sections_.size());
      sections_.push_back(TSection{std::move(name), std::string(line), {}});
      continue;
    }
    TLine entry{std::string(line), {}, 0};
    std::string_view t = TrimSpaces(line);
    if (!t.empty() && t.front() != ';') {
      std::size_t eq = line.find('=');
      if (eq == std::string_view::npos) {
        // A bare name is a key with an empty value, as the original platform read it.
        entry.key = std::string(t);
        entry.valueStart = line.size();
      } else {
        entry.key = std::string(TrimSpaces(line.substr(0, eq)));
        entry.valueStart = eq + 1;
      }
    }
    (sections_.empty() ? preamble_ : sections_.back().lines).push_back(std::move(entry));
  }
}

TProfile::TLoadResult TProfile::Load(const std::string& path) {
  Parse({});
  FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.Valid())
    return errno == ENOENT || errno == ENOTDIR ? TLoadResult::kMissing
                                               : TLoadResult::kUnreadable;
  struct stat st{};
  if (::fstat(file.Get(), &st) != 0) return TLoadResult::kUnreadable;
  if (S_ISDIR(st.st_mode)) return TLoadResult::kMissing;
  // Judged on what was opened, not on the name: in a folder others may write, a file
  // of theirs swapped in after the folder was listed must not decide what is shared.
  if (st.st_uid != ::geteuid() && st.st_uid != 0) return TLoadResult::kUnreadable;

  std::string text;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(file.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return TLoadResult::kUnreadable;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  Parse(text);
  return TLoadResult::kLoaded;
}

TProfile::TSection* TProfile::FindSection(std::string_view name) {
  auto it = index_.find(AsciiLower(TrimSpaces(name)));
  return it == index_.end() ? nullptr : &sections_[it->second];
}

const TProfile::TSection* TProfile::FindSection(std::string_view name) const {
  auto it = index_.find(AsciiLower(TrimSpaces(name)));
  return it == index_.end() ? nullptr : &sections_[it->second];
}

std::size_t TProfile::FindKey(const TSection& section, std::string_view key) {
  key = TrimSpaces(key);
  for (std::size_t i = 0; i < section.lines.size(); ++i)
    if (!section.lines[i].key.empty() && EqualsNoCase(section.lines[i].key, key)) return i;
  return kNoKey;
}

std::string TProfile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view defaultValue) const {
  std::string_view value;
  const TSection* s = FindSection(section);
  const std::size_t at = s ? FindKey(*s, key) : kNoKey;
  if (at != kNoKey) {
    const TLine* line = &s->lines[at];
    value = TrimSpaces(std::string_view(line->raw).substr(line->valueStart));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
  } else {
    value = TrimSpacesEnd(defaultValue);
  }
  return std::string(value.substr(0, kMaxValueLength));
}

void TProfile::WriteString(std::string_view section, std::string_view key,
                           std::string_view value) {
  TSection* s = FindSection(section);
  if (!s) {
    std::string name(TrimSpaces(section));
    index_.emplace(AsciiLower(name), sections_.size());
    sections_.push_back(TSection{name, "[" + name + "]", {}});
    s = &sections_.back();
  }
  std::string name(TrimSpaces(key));
  if (std::size_t found = FindKey(*s, name); found != kNoKey) {
    TLine& line = s->lines[found];
    // The key keeps the spelling it was first written with.
    line.raw = line.key + "=" + std::string(value);
    line.valueStart = line.key.size() + 1;
    return;
  }
  // After the section's last non-blank line, so a blank line that separates it from
  // the next section stays a separator.
  std::size_t at = s->lines.size();
  while (at > 0 && TrimSpaces(s->lines[at - 1].raw).empty()) --at;
  TLine line{name + "=" + std::string(value), name, name.size() + 1};
  s->lines.insert(s->lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
}

// Lines end in LF alone: every tool on this system expects it, and the reader takes
// CR LF as well, so files brought from elsewhere still load (and are rewritten
// consistently in LF).
std::string TProfile::Text() const {
  std::string out;
  for (const TLine& line : preamble_) out += line.raw + "\n";
  for (const TSection& s : sections_) {
    out += s.header + "\n";
    for (const TLine& line : s.lines) out += line.raw + "\n";
  }
  return out;
}

namespace {

bool MakeFolder(const std::string& path, mode_t mode) {
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::size_t cut = path.find_last_of('/');
  if (cut != std::string::npos && cut > 0 && !MakeFolder(path.substr(0, cut), 0777))
    return false;
  if (::mkdir(path.c_str(), mode) == 0) return true;
  return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool CreatePrivateFolder(const std::string& path) { return MakeFolder(path, 0700); }

bool TProfile::SaveAtomically(const std::string& path) const {
  const std::string target = ResolveTarget(path);
  struct stat old{};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  // Renaming would replace a read-only file, or a folder, that the original platform
  // refused to write to; refuse too rather than override the user's choice.
  if (exists && (!S_ISREG(old.st_mode) || ::access(target.c_str(), W_OK) != 0))
    return false;

  const std::string temporary = TemporaryNameBeside(target);
  FileHandle file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!file.Valid()) return false;
  // The umask cannot widen 0600, but an explicit mode says what we mean. Only root
  // may give the file back to another owner; for anybody else this fails harmlessly.
  (void)::fchmod(file.Get(), 0600);
  if (exists && old.st_uid != ::geteuid()) (void)::fchown(file.Get(), old.st_uid, old.st_gid);

  // After fsync the data is on disk, so a failing close can no longer lose it.
  const bool written = WriteAll(file.Get(), Text()) && ::fsync(file.Get()) == 0;
  file.Reset();
  if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  SyncFolderOf(target);
  return true;
}

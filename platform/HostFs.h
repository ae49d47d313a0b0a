#pragma once
// The host file system as the engines see it: one pseudo-drive "C:" whose root is
// "/", paths in drive form (C:\home\ann\x.txt). This is the only code that turns a
// drive-form path into a native one or calls the file system; engines and pages go
// through it and never see errno.
//
// Path arguments are drive form unless the name says "native". A path without a
// drive ("sub", "\x") is taken the way the original host took it: relative to the
// process's working directory, or to the root of the current drive when it starts
// with a backslash. Any drive other than C: (either case), and any UNC path, names
// nothing: every operation fails as not found. So does a path holding a NUL byte.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileHandle.h"

class THostPlace;

// Outcome of one host call: 0 or the system's error number, with its text.
class THostStatus {
public:
  THostStatus() = default;
  explicit THostStatus(int code) : code_(code) {}
  static THostStatus FromErrno();
  // What opening a file in a folder that is not there fails with.
  static THostStatus Missing();

  bool Ok() const { return code_ == 0; }
  explicit operator bool() const { return Ok(); }
  int Code() const { return code_; }
  bool NotFound() const;
  bool Busy() const;  // another transfer holds the file
  // The process ran out of descriptors or memory, or another transfer holds the
  // file: trying again later may work.
  bool Temporary() const;
  // The system's text for the error ("No such file or directory"), empty when Ok.
  std::string Message() const;

private:
  int code_ = 0;
};

// One directory entry, as a folder search yields it.
struct THostEntry {
  std::string name;
  std::int64_t size = 0;       // 0 for folders; a link reports its target's size
  bool directory = false;
  bool readOnly = false;       // the process may not write it
  bool hidden = false;         // a name starting with "." other than "." and ".."
  std::int64_t modified = 0;   // UTC seconds since the epoch
};

// A calendar time broken into fields (month 1-12, day 1-31).
struct THostTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// A file opened by one of the modes the engines use. Move-only; closes when destroyed.
// A file's place in the program-wide table of transfers: many may read a file at
// once, but a writer has it alone, so two uploads can never interleave their bytes
// and a download never sees an upload's half-written file. Released with its file.
class TTransferClaim {
public:
  TTransferClaim() = default;
  ~TTransferClaim() { Release(); }
  TTransferClaim(TTransferClaim&& other) noexcept;
  TTransferClaim& operator=(TTransferClaim&& other) noexcept;
  TTransferClaim(const TTransferClaim&) = delete;
  TTransferClaim& operator=(const TTransferClaim&) = delete;

  // False (nothing claimed) when the file is being written, or is being read and
  // writer is asked for.
  bool Claim(std::uint64_t device, std::uint64_t inode, bool writer);
  void Release();

private:
  bool held_ = false;
  bool writer_ = false;
  std::uint64_t device_ = 0, inode_ = 0;
};

struct TOpenOptions {
  // The open is a transfer: it claims the file (above) and fails with EBUSY, "File
  // is busy", when another transfer holds it the other way.
  bool transfer = false;
};

class THostFile {
public:
  enum TMode {
    hfmRead,              // reading, others may read and write (RETR, web downloads)
    hfmCreate,            // writing, created or emptied (STOR without restart offset)
    hfmWrite,             // writing an existing file, kept as is (REST + STOR)
    hfmReadWrite,         // reading and writing an existing file, kept as is (APPE)
    hfmCreateNew,         // writing a file that must not exist yet (STOU's unique name)
  };

  THostFile() = default;
  THostFile(THostFile&&) noexcept = default;
  THostFile& operator=(THostFile&&) noexcept = default;

  // Only regular files open: a folder, a pipe or a device fails (EISDIR / EINVAL),
  // so a transfer can never block the loop on a pipe or stream a device forever.
  THostStatus Open(std::string_view path, TMode mode, TOpenOptions options = {});
  // The place's name in its folder, never following a link: a link there (swapped in
  // since the place was located) fails with ELOOP. A Named place opens its path.
  THostStatus Open(const THostPlace& place, TMode mode, TOpenOptions options = {});
  bool IsOpen() const { return fd_.Valid(); }
  void Close() {
    fd_.Reset();
    claim_.Release();
  }

  // Bytes read (0 at the end), or -1 with *status set.
  std::int64_t Read(void* buf, std::int64_t count, THostStatus* status = nullptr);
  // Writes all count bytes or fails.
  THostStatus Write(const void* buf, std::int64_t count);
  // Absolute position; past the end is allowed (a write there leaves a gap).
  THostStatus Seek(std::int64_t offset);
  std::int64_t Position() const;   // -1 when not open
  // The descriptor, for handing the file to the socket layer whole; -1 when closed.
  int Fd() const { return fd_.Get(); }
  std::int64_t Size() const;       // -1 when not open
  // The file as Open found it, which costs no further call (a web download needs
  // both before its first byte).
  std::int64_t SizeAtOpen() const { return sizeAtOpen_; }
  std::int64_t ModTimeAtOpen() const { return modTimeAtOpen_; }  // seconds since 1970, UTC

private:
  // name in the folder dir (AT_FDCWD: a native path), a link in its place refused
  // with noFollow.
  THostStatus OpenAt(int dir, const std::string& name, TMode mode, TOpenOptions options,
                     bool noFollow);
  THostStatus Adopt(FileHandle fd, TMode mode, TOpenOptions options);

  FileHandle fd_;
  TTransferClaim claim_;
  std::int64_t sizeAtOpen_ = -1;
  std::int64_t modTimeAtOpen_ = 0;
};

// The entries of one folder that match a pattern, one at a time, so that a listing
// of a folder of a hundred thousand names never holds them all in memory. Owns its
// folder handle.
class THostFinder {
public:
  THostFinder();
  ~THostFinder();
  THostFinder(THostFinder&&) noexcept;
  THostFinder& operator=(THostFinder&&) noexcept;

  // Starts on the folder and last name of pattern (see HostFs::FindEntries); false
  // when that folder cannot be opened, which then finds nothing.
  bool Open(std::string_view pattern);
  // The same for the entries of the folder a place names, matching namePattern.
  bool Open(const THostPlace& folder, std::string_view namePattern);
  // The next matching entry, in the order the host returns them; false at the end.
  bool Next(THostEntry& entry);

private:
  bool Start(int dirFd, std::string_view namePattern);

  struct TDirCloser {
    void operator()(void* dir) const;
  };
  std::unique_ptr<void, TDirCloser> dir_;
  std::string namePattern_;
};

namespace HostFs {

// Drive form <-> native. ToNative fails for other drives and UNC paths. FromNative
// REQUIRES an absolute native path; a trailing "/" stays a trailing "\".
bool ToNative(std::string_view path, std::string& native);
std::string FromNative(std::string_view native);

// A file is anything that exists and is not a folder; links count as their target.
bool FileExists(std::string_view path);
bool DirectoryExists(std::string_view path);

// The entries of one folder whose names match the last name of pattern
// (C:\Share\*.txt, C:\Share\sub), in the order the host returns them, "." and ".."
// included. A pattern naming no folder, or ending in "\", gives none.
std::vector<THostEntry> FindEntries(std::string_view pattern);
// Wildcard match of one name as the original host did it: "*.*" matches every
// name, "*" any run, "?" one character or none at the end of the name or before a
// ".", "*." names without an extension, "x.*" also "x". Letter case matters.
bool MatchesPattern(std::string_view pattern, std::string_view name);

THostStatus CreateDirectory(std::string_view path);
THostStatus RemoveDirectory(std::string_view path);    // only an empty folder
THostStatus DeleteFile(std::string_view path);         // never a folder
// Never replaces: an existing target fails with EEXIST, as the original host did.
THostStatus RenameFile(std::string_view from, std::string_view to);

std::int64_t FileSize(std::string_view path);          // -1 when it cannot be read
bool FileModTime(std::string_view path, std::int64_t& utcSeconds);
// Sets the modification time (following links); the access time stays.
bool SetFileModTime(std::string_view path, std::int64_t utcSeconds);

// The canonical native form of path: ".", ".." and symbolic links resolved. Of a
// path that does not exist (yet), the canonical form of its deepest existing
// ancestor followed by the remaining names, "." and ".." among them resolved as
// names. Access checks compare these, so that no link or ".." leads out of a share.
// Fails for other drives, UNC paths and link loops.
bool CanonicalPath(std::string_view path, std::string& native);

// Time. Local time follows the system time zone (TZ, re-read at every call).
std::int64_t NowUtc();
THostTime LocalTime(std::int64_t utcSeconds);
THostTime UtcTime(std::int64_t utcSeconds);
// The inverse: seconds since 1970 of a UTC date and time.
std::int64_t UtcSecondsOf(const THostTime& t);
// UTC minus local time, in minutes, with the rules in force at that moment.
int TimeZoneBiasMinutes(std::int64_t utcSeconds);

}  // namespace HostFs

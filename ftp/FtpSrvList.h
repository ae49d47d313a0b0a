#pragma once
// Directory listings of LIST and NLST. The interpreter streams them with
// TFtpListingStream, reading the folder as the data connection drains; only when
// its owner wants to alter a listing does it build one whole, calling, for LIST
// (detailed) and NLST (names only):
//   BuildDirectoryListing(client.CurrentDirectory, params, detailed, stream.Data(),
//                         hook);   // the same OnBuildFilePath wiring as BuildFilePath
// with params already turned into backslashes; an FtpServerException from it is
// the "451 Failed: %s." reply.

#include <string>

#include "ftp/FtpSrvC.h"
#include "ftp/FtpSrvT.h"
#include "platform/HostFs.h"
#include "platform/HostPlace.h"

// Appends the listing of argument to out, as CR LF terminated lines: LIST lines
// (hidden entries left out) or bare names (hidden entries kept). The argument is
// a name in the session's directory: a folder lists its content, a file its own
// line, a wildcard the matching names; options such as "-la", and names of nothing,
// list the current directory. When nothing is written, the single line
// "<pattern> not found" is.
void BuildDirectoryListing(const std::string& currentDirectory, const std::string& argument,
                           bool detailed, std::string& out,
                           const TBuildFilePathHook& hook = nullptr, bool withHidden = false);

// What a listing of argument enumerates: a folder's pattern (C:\Share\*.*) or a
// single name. Access checks judge this, so they see exactly what gets listed.
std::string ListingPattern(const std::string& currentDirectory, const std::string& argument,
                           const TBuildFilePathHook& hook = nullptr);

// The listing of one pattern (see ListingPattern), made a block at a time as the
// transfer reads it: a client that never reads a listing of a huge folder holds a
// block of it, not the folder. The folder is opened when the stream is made, at
// folder: the place of the pattern's folder (what the share policy located, or the
// pattern's folder as named).
class TFtpListingStream : public TFtpStream {
public:
  // withHidden: LIST shows the names that begin with a dot too, as "ls -a" does.
  TFtpListingStream(std::string pattern, const THostPlace& folder, TFtpListFormat format,
                    TFtpFolderRights rights = {}, bool withHidden = false);
  std::int64_t Read(char* buf, std::int64_t count) override;
  // A listing is only ever read once, from its start.
  void Write(const char*, std::int64_t) override;
  void Seek(std::int64_t) override {}

private:
  THostFinder finder_;
  std::string pattern_;
  TFtpListFormat format_;
  TFtpFolderRights rights_;
  bool withHidden_;
  int currentYear_;
  std::string pending_;  // made but not yet read
  std::size_t taken_ = 0;
  bool wrote_ = false;
  bool ended_ = false;
};

// The MLSD/MLST facts of an entry, "type=file;size=3;modify=20261207120000;perm=r;",
// without the name (RFC 3659 section 7). Times are UTC.
std::string MlsxFacts(const THostEntry& entry, const TFtpFolderRights& rights = {});
// One MLSD line with its CR LF, or empty for "." and "..", which clients would walk
// into.
std::string MlsdLine(const THostEntry& entry, const TFtpFolderRights& rights = {});

// One LIST line with its CR LF, or empty for an entry that is not shown. Entries of
// currentYear show the time of day, older and newer ones the year.
std::string FtpListLine(const THostEntry& entry, int currentYear, bool withHidden = false);

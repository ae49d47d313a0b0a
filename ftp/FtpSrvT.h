#pragma once
// The FTP engine's path model: how a directory argument becomes a session's
// current directory, how a file argument becomes a host path, and the size and
// time lookups of SIZE and MDTM. Host paths are drive form with backslashes
// (C:\Share\sub\); HostFs maps them onto the file system.
//
// These are free functions over the session's strings so that the interpreter
// calls them with its client's fields and wires its own hook in:
//   ResolveDirectory(client.CurrentDirectory, FtpTrim(SlashesToBackslashes(params)));
//   BuildFilePath(directory, fileName, [&](const std::string& dir, const std::string& name,
//                 std::string& result) { if (OnBuildFilePath) OnBuildFilePath(*this,
//                 client, dir, name, result); });
// Both raise FtpServerException with the text the client is to see.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "ftp/FtpSrvParse.h"
#include "platform/Text.h"

// Fired by BuildFilePath with (directory, name, result); a non-empty result wins.
using TBuildFilePathHook =
    std::function<void(const std::string& directory, const std::string& fileName,
                       std::string& newFileName)>;

// "\C:\x" -> "C:\x": clients that write /C:/x mean the drive, not a folder "C:".
std::string StripSlashBeforeDrive(std::string_view s);
bool IsUncPath(std::string_view s);
// "C:" of "C:\x", "\\server\share" of "\\server\share\x", else empty.
std::string ExtractFileDrive(std::string_view s);

// Makes newValue (already trimmed, backslashes) the current directory, which then
// ends in a backslash. Throws FtpServerException and leaves currentDirectory as it
// was when the argument is refused. Nothing is looked up on disk: whether the
// directory may be entered is the OnChangeDirectory hook's decision.
void ResolveDirectory(std::string& currentDirectory, std::string_view newValue);

// The host path of a client's file argument relative to directory. "." and ".."
// are joined as text, unresolved. Throws FtpServerException
// ("No current dir for 'D:'") for a relative name on another drive.
std::string BuildFilePath(const std::string& directory, std::string_view fileName,
                          const TBuildFilePathHook& hook = nullptr);

// Size of the first file (not folder) matching path, wildcards allowed; -1 if none.
std::int64_t FileSizeOf(std::string_view path);

// The file's modification time in UTC as yyyymmddhhnnss.000 (the MDTM reply).
// Throws FtpServerException when the time cannot be read.
std::string FileUtcTimeString(std::string_view path);
std::string FtpUtcTimeString(std::int64_t utcSeconds);
// "YYYYMMDDHHMMSS" (UTC, RFC 3659 section 2.3), a fraction after a "." allowed and
// ignored; false for anything else or an impossible date.
bool ParseFtpTime(std::string_view text, std::int64_t& utcSeconds);

// The commands that work on names rather than on a data connection: the current
// directory, file and folder commands, and the small settings commands.

#include <vector>

#include "ftp/FtpSrv.h"
#include "ftp/FtpSrvList.h"
#include "ftp/FtpSrvT.h"
#include "platform/HostFs.h"

std::string TFtpServer::BuildFilePath(TFtpCtrlSocket& client, const std::string& directory,
                                      const std::string& fileName) {
  return ::BuildFilePath(directory, fileName,
                         [&](const std::string& dir, const std::string& name, std::string& result) {
                           if (OnBuildFilePath) OnBuildFilePath(*this, client, dir, name, result);
                         });
}

// pattern names a folder (C:\Share\sub or C:\Share\sub\) or entries of one
// (C:\Share\*.*, C:\Share\a.txt).
TFtpFolderRights TFtpServer::FolderRights(TFtpCtrlSocket& client, const std::string& pattern) {
  TFtpFolderRights rights;
  if (!OnFolderRights) return rights;
  std::string folder = pattern;
  if (folder.find_first_of("*?") == std::string::npos && HostFs::DirectoryExists(folder)) {
    if (folder.back() != '\\') folder += '\\';
  } else {
    folder.erase(folder.rfind('\\') + 1);
  }
  OnFolderRights(*this, client, folder, rights);
  return rights;
}

namespace {

// Anything but a folder, as the commands that act on files see it.
bool FileThere(const THostPlace& place) {
  THostEntry entry;
  return HostFs::Stat(place, entry) && !entry.directory;
}

}  // namespace

bool TFtpServer::Validate(const TFtpSrvValidateXferEvent& hook, TFtpCtrlSocket& client,
                          std::string& path) {
  bool allowed = true;
  client.Judged = THostPlace();
  if (hook) hook(*this, client, path, allowed);
  return allowed;
}

// ---------------------------------------------------------------------------
// Current directory

void TFtpServer::ChangeDirectory(TFtpCtrlSocket& client, std::string& params, std::string& answer) {
  const std::string old = client.CurrentDirectory;
  try {
    params = SlashesToBackslashes(params);
    std::string target = FtpTrim(params);
    // "/C:" names the drive from the top, as clients that walk an absolute path
    // one CWD per component (curl, lftp) send it; "C:" alone still means the
    // current directory of that drive.
    if (target.size() == 3 && target[0] == '\\' && target[2] == ':') target = target.substr(1) + "\\";
    ResolveDirectory(client.CurrentDirectory, target);
    bool allowed = true;
    client.Judged = THostPlace();
    if (OnChangeDirectory) OnChangeDirectory(*this, client, client.CurrentDirectory, allowed);
    // Judged before the disk is asked: the other way round, a refused client learnt
    // which folders exist anywhere on the machine.
    if (!allowed) {
      client.CurrentDirectory = old;
      answer = FtpFormat(kReplyCwdFailed, kMsgNoPermission);
      return;
    }
    // The path model never looks at the disk: without this a client was told it
    // had entered a folder that does not exist, and clients that walk a path one
    // folder at a time (lftp) went on from there and uploaded into nowhere.
    THostEntry entry;
    if (!HostFs::Stat(client.TakeJudged(client.CurrentDirectory), entry) || !entry.directory)
      throw FtpServerException(kMsgNoSuchDirectory);
    answer = FtpFormat(kReplyCwdOk, BackslashesToSlashes(client.CurrentDirectory).c_str());
  } catch (const std::exception& e) {
    client.CurrentDirectory = old;
    answer = FtpFormat(kReplyCwdFailed, e.what());
  }
}

void TFtpServer::CommandCWD(TFtpCtrlSocket& client, std::string&, std::string& params,
                            std::string& answer) {
  ChangeDirectory(client, params, answer);
}

void TFtpServer::CommandCDUP(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  params = "..";
  ChangeDirectory(client, params, answer);
}

void TFtpServer::CommandPWD(TFtpCtrlSocket& client, std::string&, std::string&,
                            std::string& answer) {
  // A quote inside the name is doubled (RFC 959, appendix II): left single, it ended
  // the name early for every client, which then went to a folder that is not there.
  std::string path = "/" + BackslashesToSlashes(client.CurrentDirectory);
  for (std::size_t at = path.find('"'); at != std::string::npos; at = path.find('"', at + 2))
    path.insert(at, 1, '"');
  answer = FtpFormat(kReplyPwd, path.c_str());
}

void TFtpServer::CommandXPWD(TFtpCtrlSocket& client, std::string& keyword, std::string& params,
                             std::string& answer) {
  CommandPWD(client, keyword, params, answer);
}

// ---------------------------------------------------------------------------
// Files and folders

void TFtpServer::CommandDELE(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  std::string path = BuildFilePath(client, client.CurrentDirectory, params);
  if (!Validate(OnValidateDele, client, path)) {
    answer = kReplyCannotDelete;
  } else if (params.empty()) {
    answer = kReplySyntaxError;
  } else if (HostFs::FileExists(path)) {
    answer = FtpFormat(HostFs::DeleteFile(path) ? kReplyDeleted : kReplyCantDelete, path.c_str());
  } else {
    answer = FtpFormat(kReplyNoSuchFile, path.c_str());
  }
}

void TFtpServer::CommandSIZE(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  std::string path = BuildFilePath(client, client.CurrentDirectory, params);
  if (!Validate(OnValidateSize, client, path)) {
    answer = kReplyPermissionDenied;
  } else if (params.empty()) {
    answer = kReplySyntaxError;
  } else {
    try {
      THostPlace place = client.TakeJudged(path);
      THostEntry entry;
      std::int64_t size = !place.Located()                ? FileSizeOf(path)
                          : !HostFs::Stat(place, entry)   ? -1
                          : entry.directory               ? -1
                                                          : entry.size;
      answer = size < 0 ? FtpFormat(kReplyCommandFailed, kMsgFileNotFound)
                        : FtpFormat(kReplySize, static_cast<long long>(size));
    } catch (const std::exception& e) {
      answer = FtpFormat(kReplyCommandFailed, e.what());
    }
  }
}

void TFtpServer::CommandRNFR(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  std::string path = BuildFilePath(client, client.CurrentDirectory, params);
  // A refused or failed RNFR must not leave an earlier source for the next RNTO.
  client.RenameSource.clear();
  client.RenamePlace = THostPlace();
  if (!Validate(OnValidateRnFr, client, path)) {
    answer = kReplyCannotRnfr;
  } else if (params.empty()) {
    answer = kReplyRnfrSyntaxError;
  } else if (THostPlace place = client.TakeJudged(path); FileThere(place)) {
    client.RenameSource = path;
    client.RenamePlace = std::move(place);
    answer = kReplyRnfrOk;
  } else {
    answer = FtpFormat(kReplyNoSuchFile, path.c_str());
  }
}

void TFtpServer::CommandRNTO(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  std::string path = BuildFilePath(client, client.CurrentDirectory, params);
  if (!Validate(OnValidateRnTo, client, path)) {
    answer = kReplyCannotRnto;
  } else if (params.empty()) {
    answer = kReplySyntaxError;
  } else if (THostPlace target = client.TakeJudged(path); FileThere(target)) {
    answer = FtpFormat(kReplyFileExists, path.c_str());
  } else if (FileThere(client.RenamePlace)) {
    client.RenameTarget = path;
    // Both ends as located when they were judged: a folder swapped for a link since
    // brings nothing in from elsewhere.
    answer = HostFs::Rename(client.RenamePlace, target)
                 ? FtpFormat(kReplyRenamed, client.RenameSource.c_str(), path.c_str())
                 : FtpFormat(kReplyCantRename, client.RenameSource.c_str());
  } else {
    answer = FtpFormat(kReplyNoSuchFile, client.RenameSource.c_str());
  }
}

void TFtpServer::CommandMKD(TFtpCtrlSocket& client, std::string&, std::string& params,
                            std::string& answer) {
  try {
    std::string path = BuildFilePath(client, client.CurrentDirectory, params);
    bool allowed = true;
    client.Judged = THostPlace();
    if (OnMakeDirectory) OnMakeDirectory(*this, client, path, allowed);
    THostPlace place = client.TakeJudged(path);
    if (!allowed) {
      answer = FtpFormat(kReplyCantCreateDir, path.c_str());
    } else if (params.empty()) {
      answer = kReplySyntaxError;
    } else if (FileThere(place)) {
      answer = FtpFormat(kReplyDirExists, path.c_str());
    } else {
      answer = FtpFormat(HostFs::CreateDirectory(place) ? kReplyDirCreated : kReplyCantCreateDir,
                         path.c_str());
    }
  } catch (const std::exception& e) {
    answer = FtpFormat(kReplyCantCreateDir, e.what());
  }
}

void TFtpServer::CommandRMD(TFtpCtrlSocket& client, std::string&, std::string& params,
                            std::string& answer) {
  std::string path = BuildFilePath(client, client.CurrentDirectory, params);
  if (!Validate(OnValidateRmd, client, path)) {
    answer = kReplyCannotRmd;
  } else if (params.empty()) {
    answer = kReplySyntaxError;
  } else if (!HostFs::FindEntries(path).empty()) {
    answer = FtpFormat(HostFs::RemoveDirectory(path) ? kReplyDirRemoved : kReplyCantRemoveDir,
                       path.c_str());
  } else {
    answer = FtpFormat(kReplyNoSuchDir, path.c_str());
  }
}

void TFtpServer::CommandMDTM(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  std::string path = BuildFilePath(client, client.CurrentDirectory, params);
  if (params.empty()) {
    answer = kReplyMdtmSyntax;
  } else if (THostEntry entry; !Validate(OnValidateMdtm, client, path) ||
                                !HostFs::Stat(client.TakeJudged(path), entry) || entry.directory) {
    answer = FtpFormat(kReplyNoSuchFile, path.c_str());
  } else {
    try {
      answer = FtpFormat(kReplyMdtm, FtpUtcTimeString(entry.modified).c_str());
    } catch (const std::exception& e) {
      answer = FtpFormat(kReplyCommandFailed, e.what());
    }
  }
}

// ---------------------------------------------------------------------------
// Settings that change nothing: every transfer is byte for byte.

void TFtpServer::CommandTYPE(TFtpCtrlSocket&, std::string&, std::string& params,
                             std::string& answer) {
  std::string type = FtpUpper(FtpTrim(params));
  answer = FtpFormat(type == "A" || type == "A N" || type == "I" ? kReplyTypeOk : kReplyTypeBad,
                     params.c_str());
}

void TFtpServer::CommandMODE(TFtpCtrlSocket&, std::string&, std::string& params,
                             std::string& answer) {
  if (params.empty())
    answer = kReplyModeMissing;
  else if (params == "S" || params == "s")
    answer = kReplyModeOk;
  else
    answer = kReplyModeBad;
}

void TFtpServer::CommandSTRU(TFtpCtrlSocket&, std::string&, std::string& params,
                             std::string& answer) {
  answer = FtpFormat(kReplyStru, params.c_str());
}

void TFtpServer::CommandNOOP(TFtpCtrlSocket&, std::string&, std::string& params,
                             std::string& answer) {
  answer = FtpFormat(kReplyNoop, params.c_str());
}

void TFtpServer::CommandSYST(TFtpCtrlSocket&, std::string&, std::string&, std::string& answer) {
  answer = kReplySyst;
}



// Names pass through as the bytes they are, which on Linux are UTF-8 already.
void TFtpServer::CommandOPTS(TFtpCtrlSocket&, std::string&, std::string& params,
                             std::string& answer) {
  answer = FtpUpper(FtpTrim(params)) == "UTF8 ON" ? kReplyUtf8On : kReplyOptsBad;
}

// RFC 3659 section 7: the facts of one file or folder, on the control connection,
// judged as SIZE is.
void TFtpServer::CommandMLST(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  std::string path = BuildFilePath(client, client.CurrentDirectory, params);
  std::string folder = path, name = params.empty() ? "." : params;
  if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  if (folder.size() > 2 && folder.compare(folder.size() - 2, 2, "\\.") == 0)
    folder.resize(folder.size() - 2);
  // A folder (the current one, by default) is judged as a listing of it would be; a
  // file, as its size would be.
  std::string judged = folder + "\\";
  const bool isFolder = HostFs::DirectoryExists(folder);
  const bool allowed = isFolder ? Validate(OnValidateList, client, judged)
                                : Validate(OnValidateSize, client, path);
  if (!allowed) {
    answer = kReplyPermissionDenied;
    return;
  }
  const std::size_t cut = folder.rfind('\\');
  // A name without wildcards matches only itself.
  std::vector<THostEntry> found;
  THostPlace place = client.TakeJudged(path);
  if (place.Located()) {
    if (THostEntry entry; folder.find_first_of("*?") == std::string::npos &&
                          HostFs::Stat(place, entry))
      found.push_back(entry);
  } else if (cut != std::string::npos && folder.find_first_of("*?") == std::string::npos) {
    found = HostFs::FindEntries(folder);
  }
  if (found.empty()) {
    answer = FtpFormat(kReplyNoSuchFile, path.c_str());
    return;
  }
  // A folder's facts tell what may be done in it, a file's what its folder allows.
  TFtpFolderRights rights = FolderRights(client, isFolder ? judged : folder);
  if (isFolder) rights.enterSubfolders = true;  // listing it was just allowed
  answer = FtpFormat(kReplyMlstStart, name.c_str()) + "\r\n " + MlsxFacts(found[0], rights) + " " +
           FtpSingleLine("/" + BackslashesToSlashes(folder)) + "\r\n" + kReplyMlstEnd;
}

// "MFMT YYYYMMDDHHMMSS path" (UTC): mirroring clients keep the times of what they
// upload. Allowed where uploading is.
void TFtpServer::CommandMFMT(TFtpCtrlSocket& client, std::string&, std::string& params,
                             std::string& answer) {
  const std::size_t blank = params.find(' ');
  const std::string stamp = params.substr(0, blank);
  // The name as every other command takes it: trimmed, a name that begins or ends
  // with a blank kept the upload's time instead of the source's.
  const std::string name = blank == std::string::npos ? "" : params.substr(blank + 1);
  std::int64_t utc = 0;
  if (name.empty() || !ParseFtpTime(stamp, utc)) {
    answer = kReplyMfmtSyntax;
    return;
  }
  std::string path = BuildFilePath(client, client.CurrentDirectory, name);
  if (!Validate(OnValidateMfmt, client, path)) {
    answer = FtpFormat(kReplyMfmtRefused, path.c_str());
    return;
  }
  THostPlace place = client.TakeJudged(path);
  if (!FileThere(place)) {
    answer = FtpFormat(kReplyNoSuchFile, path.c_str());
  } else if (!HostFs::SetFileModTime(place, utc)) {
    answer = FtpFormat(kReplyMfmtRefused, path.c_str());
  } else {
    answer = FtpFormat(kReplyMfmt, stamp.substr(0, 14).c_str(), name.c_str());
  }
}

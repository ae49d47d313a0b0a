#include "ftp/FtpSharePolicy.h"

#include <algorithm>

#include "catalogue/uServers.h"
#include "platform/HostFs.h"

namespace {

enum class TAccess { Read, Write };

// The definition of the server that raised the hook; null for a Tag that names no
// entry, which then shares nothing.
const TServerFile* DefinitionOf(const TFtpServer& server) {
  if (server.Tag < 0 || static_cast<std::size_t>(server.Tag) >= ServerRegistry.size())
    return nullptr;
  return &ServerRegistry[static_cast<std::size_t>(server.Tag)].Definition;
}

bool LoggedIn(const TFtpCtrlSocket& client) { return client.FtpState == ftpcReady; }

// The compare form: the canonical native path with one "/" appended. It stays
// native rather than drive form because a Linux name may hold a backslash, which
// drive form would read as one more separator. A path with a NUL byte is refused
// outright: the kernel would stop reading it there, after the check had read on.
bool CompareForm(const std::string& path, std::string& form) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  if (!HostFs::CanonicalPath(path, form)) return false;
  if (form.empty() || form.back() != '/') form += '/';
  return true;
}

// The compare form of the folder holding the file path names, taken after the
// file's own name is resolved: a link in a share that points at a file elsewhere
// is judged by where that file lives.
bool FolderCompareForm(const std::string& path, std::string& form) {
  // A path that ends in "\" names a folder (a command given no name): that folder
  // is what it acts on, so that folder is judged, not the one above it.
  if (!path.empty() && path.back() == '\\') return CompareForm(path, form);
  if (!CompareForm(path, form)) return false;
  form.pop_back();
  form.erase(form.rfind('/') + 1);
  return true;
}

// A shared folder whose Path is empty or names no folder matches nothing: the bare
// prefix rule would grant its permissions everywhere.
bool ShareForm(const TDirectory& share, std::string& form) {
  return !share.Path.empty() && HostFs::DirectoryExists(share.Path) &&
         CompareForm(share.Path, form);
}

bool Under(const std::string& requested, const std::string& shared) {
  return requested.compare(0, shared.size(), shared) == 0;
}

// requested (a compare form) lies at or below a shared folder granting access.
bool Granted(const TServerFile* definition, const std::string& requested, TAccess access) {
  if (!definition) return false;
  return std::any_of(definition->Directories.begin(), definition->Directories.end(),
                     [&](const TDirectory& share) {
                       std::string form;
                       const bool permitted =
                           access == TAccess::Read ? share.AccessR : share.AccessW;
                       return permitted && ShareForm(share, form) && Under(requested, form);
                     });
}

bool FileAllowed(const TFtpServer& server, const TFtpCtrlSocket& client, const std::string& path,
                 TAccess access) {
  std::string folder;
  return LoggedIn(client) && FolderCompareForm(path, folder) &&
         Granted(DefinitionOf(server), folder, access);
}

bool DirectoryAllowed(const TFtpServer& server, const TFtpCtrlSocket& client,
                      const std::string& directory) {
  const TServerFile* definition = DefinitionOf(server);
  std::string requested;
  if (!LoggedIn(client) || !definition || !CompareForm(directory, requested)) return false;
  return std::any_of(definition->Directories.begin(), definition->Directories.end(),
                     [&](const TDirectory& share) {
                       std::string form;
                       if (!ShareForm(share, form)) return false;
                       return share.Recursive ? Under(requested, form) : requested == form;
                     });
}

// SIZE measures the first file its name matches, wildcards included: that file is
// the one to judge, or "SIZE lin*" would measure a link's target elsewhere.
bool SizeAllowed(const TFtpServer& server, const TFtpCtrlSocket& client, const std::string& path) {
  if (!FileAllowed(server, client, path, TAccess::Read)) return false;
  const std::size_t cut = path.rfind('\\');
  if (cut == std::string::npos || path.find_first_of("*?", cut) == std::string::npos) return true;
  for (const THostEntry& entry : HostFs::FindEntries(path)) {
    if (!entry.directory)
      return FileAllowed(server, client, path.substr(0, cut + 1) + entry.name, TAccess::Read);
  }
  return true;
}

// The transfer will open exactly the file judged here: a link swapped into its path
// between this decision and the open is refused then, not followed out of the share.
void NoteJudged(TFtpCtrlSocket& client, const std::string& path) {
  std::string form;
  if (HostFs::CanonicalPath(path, form)) client.JudgedPath = form;
}

// A rename acts on the name itself, a link included, in the folder judged here.
void NoteJudgedName(TFtpCtrlSocket& client, const std::string& path) {
  const std::size_t cut = path.rfind('\\');
  std::string folder;
  if (cut == std::string::npos || !HostFs::CanonicalPath(path.substr(0, cut + 1), folder)) return;
  if (folder.empty() || folder.back() != '/') folder += '/';
  client.JudgedPath = folder + path.substr(cut + 1);
}

void Log(const TFtpServer& server, const TFtpCtrlSocket& client, bool allowed,
         const std::string& what) {
  LogDecision(allowed, server.Tag, client.PeerAddr(), what);
}

// Asked for listings and sizes as often as a client browses: only a refusal is a line.
void LogRefusal(const TFtpServer& server, const TFtpCtrlSocket& client, bool allowed,
                const std::string& what) {
  if (!allowed) Log(server, client, false, what);
}

}  // namespace

void FtpAuthenticate(TFtpServer& sender, TFtpCtrlSocket& client, const std::string& userName,
                     const std::string& password, bool& authenticated) {
  authenticated = false;
  if (const TServerFile* definition = DefinitionOf(sender)) {
    authenticated = (definition->Username.empty() && definition->Password.empty()) ||
                    (userName == definition->Username && password == definition->Password);
    // Without a first shared folder the engine's own start directory stays, where
    // nothing is shared.
    if (authenticated && !definition->Directories.empty() &&
        !definition->Directories[0].Path.empty()) {
      std::string start = definition->Directories[0].Path;
      // "C:\" keeps its backslash: a bare "C:" would mean the drive's current folder.
      if (start.size() > 3 && start.back() == '\\') start.pop_back();
      client.StartDirectory = start;
    }
  }
  Log(sender, client, authenticated,
      "User login - " + client.PeerAddr() + " (" + userName + ":" + password + ")");
  UpdateServerTray(sender.Tag);
}

void FtpValidateGet(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                    bool& allowed) {
  allowed = FileAllowed(sender, client, filePath, TAccess::Read);
  if (allowed) NoteJudged(client, filePath);
  Log(sender, client, allowed, "Download " + filePath);
}

void FtpValidateSize(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed) {
  allowed = SizeAllowed(sender, client, filePath);
  LogRefusal(sender, client, allowed, "Size of " + filePath);
}

void FtpValidateMdtm(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed) {
  allowed = FileAllowed(sender, client, filePath, TAccess::Read);
  LogRefusal(sender, client, allowed, "Time of " + filePath);
}

// An allowed upload is logged once its file is open (FtpStorFileOpened): a file
// another transfer holds still turns it away, and its one line is then that refusal.
void FtpValidatePut(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                    bool& allowed) {
  allowed = FileAllowed(sender, client, filePath, TAccess::Write);
  if (allowed)
    NoteJudged(client, filePath);
  else
    Log(sender, client, false, "Upload " + filePath);
}

void FtpStorFileOpened(TFtpServer& sender, TFtpCtrlSocket& client) {
  Log(sender, client, true, "Upload " + client.HostFilePath);
}

void FtpValidateRnFr(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed) {
  allowed = FileAllowed(sender, client, filePath, TAccess::Write);
  if (allowed) NoteJudgedName(client, filePath);
  Log(sender, client, allowed, "Rename from " + filePath);
}

void FtpValidateRnTo(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed) {
  allowed = FileAllowed(sender, client, filePath, TAccess::Write);
  // A folder that takes uploads but gives none out (a drop box) must keep them so: a
  // move into a readable folder handed anyone what others had dropped there.
  if (allowed && !client.RenameSource.empty() &&
      FileAllowed(sender, client, filePath, TAccess::Read) &&
      !FileAllowed(sender, client, client.RenameSource, TAccess::Read))
    allowed = false;
  if (allowed) NoteJudgedName(client, filePath);
  Log(sender, client, allowed, "Rename to " + filePath);
}

void FtpValidateMfmt(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed) {
  allowed = FileAllowed(sender, client, filePath, TAccess::Write);
  Log(sender, client, allowed, "Set time of " + filePath);
}

void FtpValidateDele(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed) {
  allowed = false;
  Log(sender, client, allowed, "Delete " + filePath);
}

void FtpValidateRmd(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                    bool& allowed) {
  allowed = false;
  Log(sender, client, allowed, "Remove " + filePath);
}

void FtpChangeDirectory(TFtpServer& sender, TFtpCtrlSocket& client, const std::string& directory,
                        bool& allowed) {
  allowed = DirectoryAllowed(sender, client, directory);
  Log(sender, client, allowed, "Change Directory to " + directory);
}

void FtpValidateList(TFtpServer& sender, TFtpCtrlSocket& client, std::string& pattern,
                     bool& allowed) {
  // A name that is a folder (C:\Share\pub, as clients send it without the final
  // slash) lists that folder, so that folder is judged.
  if (pattern.find_first_of("*?") == std::string::npos && HostFs::DirectoryExists(pattern)) {
    allowed = DirectoryAllowed(sender, client, pattern.back() == '\\' ? pattern : pattern + "\\");
  } else {
    // The pattern's last name selects entries of the folder before it (C:\Share\*.*,
    // C:\Share\sub); that folder is what gets shown.
    const std::size_t cut = pattern.rfind('\\');
    allowed =
        cut != std::string::npos && DirectoryAllowed(sender, client, pattern.substr(0, cut + 1));
  }
  LogRefusal(sender, client, allowed, "List " + pattern);
}

// The same rules as the commands they describe, asked without a log line: files are
// read and written by their folder's shares, and subfolders entered only under a
// recursive one.
void FtpFolderRights(TFtpServer& sender, TFtpCtrlSocket& client, const std::string& folder,
                     TFtpFolderRights& rights) {
  const TServerFile* definition = DefinitionOf(sender);
  std::string requested;
  const bool known = LoggedIn(client) && definition && CompareForm(folder, requested);
  rights.read = known && Granted(definition, requested, TAccess::Read);
  rights.write = known && Granted(definition, requested, TAccess::Write);
  rights.enterSubfolders =
      known && std::any_of(definition->Directories.begin(), definition->Directories.end(),
                           [&](const TDirectory& share) {
                             std::string form;
                             return share.Recursive && ShareForm(share, form) &&
                                    Under(requested, form);
                           });
}

void FtpMakeDirectory(TFtpServer& sender, TFtpCtrlSocket& client, const std::string& directory,
                      bool& allowed) {
  std::string requested;
  allowed = LoggedIn(client) && CompareForm(directory, requested) &&
            Granted(DefinitionOf(sender), requested, TAccess::Write);
  Log(sender, client, allowed, "Create Directory " + directory);
}

void FtpClientDisconnect(TFtpServer& sender, TFtpCtrlSocket&, int) { UpdateServerTray(sender.Tag); }

// An upload that ended without its success reply leaves a partial file under its
// final name; the owner should be able to tell it from a complete one.
void FtpStorSessionClosed(TFtpServer& sender, TFtpCtrlSocket& client, TWSocket&, int error) {
  if (client.TransferFileBusy) {
    Log(sender, client, false, "Upload " + client.HostFilePath + " (file is busy)");
    return;
  }
  if (!client.TransferAborted && error == 0) return;
  AddLogLine(sender.Tag, "Upload incomplete: " + client.HostFilePath + " (" +
                             std::to_string(client.TransferBytes) + " bytes)");
}

void FtpLimit(TFtpServer& sender, TFtpCtrlSocket& client, const std::string& text) {
  AddLogLine(sender.Tag, "(" + client.PeerAddr() + ") " + text);
}

void InstallFtpSharePolicy(TFtpServer& server) {
  server.OnAuthenticate = FtpAuthenticate;
  server.OnValidateGet = FtpValidateGet;
  server.OnValidatePut = FtpValidatePut;
  server.OnValidateDele = FtpValidateDele;
  server.OnValidateRmd = FtpValidateRmd;
  server.OnValidateRnFr = FtpValidateRnFr;
  server.OnValidateRnTo = FtpValidateRnTo;
  server.OnValidateSize = FtpValidateSize;
  server.OnValidateMdtm = FtpValidateMdtm;
  server.OnValidateMfmt = FtpValidateMfmt;
  server.OnValidateList = FtpValidateList;
  server.OnFolderRights = FtpFolderRights;
  server.OnChangeDirectory = FtpChangeDirectory;
  server.OnMakeDirectory = FtpMakeDirectory;
  server.OnClientDisconnect = FtpClientDisconnect;
  server.OnLimit = FtpLimit;
  server.OnStorSessionClosed = FtpStorSessionClosed;
  server.OnStorFileOpened = FtpStorFileOpened;
}

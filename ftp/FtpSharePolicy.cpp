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

// Where path leads beneath the server's shared folders, links resolved (the last
// name's only with followLast); false when it leads outside all of them. A path
// with a NUL byte is refused outright: the kernel would stop reading it there.
bool Locate(TFtpServer& server, const std::string& path, bool followLast, THostPlace& place) {
  return !path.empty() && path.find('\0') == std::string::npos &&
         server.ShareRoots.Locate(path, followLast, place);
}

// The compare form: a canonical native path with one "/" appended. It stays native
// rather than drive form because a Linux name may hold a backslash, which drive
// form would read as one more separator.
std::string CompareForm(std::string native) {
  if (native.empty() || native.back() != '/') native += '/';
  return native;
}

// The compare form of the folder holding a located place: a link in a share that
// points at a file elsewhere in the shares is judged by where that file lives. A
// path that ends in "\" names a folder (a command given no name): that folder is
// what it acts on, so that folder is judged, not the one above it.
std::string FolderForm(const std::string& path, const THostPlace& place) {
  std::string native = place.Native();
  if (path.back() != '\\') native.erase(native.rfind('/') + 1);
  return CompareForm(native);
}

// The compare form of shared folder i, as opened when the server started; empty,
// matching nothing, for one that cannot be opened: the bare prefix rule would grant
// its permissions everywhere.
std::string ShareForm(TFtpServer& server, std::size_t i) {
  const std::string& native = server.ShareRoots.Native(i);
  return native.empty() ? native : CompareForm(native);
}

bool Under(const std::string& requested, const std::string& shared) {
  return !shared.empty() && requested.compare(0, shared.size(), shared) == 0;
}

// Every shared folder of the definition that test accepts, with its compare form.
template <typename TTest>
bool AnyShare(TFtpServer& server, TTest test) {
  const TServerFile* definition = DefinitionOf(server);
  if (!definition) return false;
  const std::size_t count = std::min(definition->Directories.size(), server.ShareRoots.Count());
  for (std::size_t i = 0; i < count; ++i)
    if (test(definition->Directories[i], ShareForm(server, i))) return true;
  return false;
}

// requested (a compare form) lies at or below a shared folder granting access.
bool Granted(TFtpServer& server, const std::string& requested, TAccess access) {
  return AnyShare(server, [&](const TDirectory& share, const std::string& form) {
    return (access == TAccess::Read ? share.AccessR : share.AccessW) && Under(requested, form);
  });
}

// Allowed, the file is left located in *place for the command to act on.
bool FileAllowed(TFtpServer& server, const TFtpCtrlSocket& client, const std::string& path,
                 TAccess access, THostPlace* place = nullptr, bool followLast = true) {
  THostPlace located;
  if (!LoggedIn(client) || !Locate(server, path, followLast, located) ||
      !Granted(server, FolderForm(path, located), access))
    return false;
  if (place) *place = std::move(located);
  return true;
}

bool DirectoryAllowed(TFtpServer& server, const TFtpCtrlSocket& client,
                      const std::string& directory, THostPlace* place = nullptr) {
  THostPlace located;
  if (!LoggedIn(client) || !Locate(server, directory, true, located)) return false;
  const std::string requested = CompareForm(located.Native());
  if (!AnyShare(server, [&](const TDirectory& share, const std::string& form) {
        return share.Recursive ? Under(requested, form) : requested == form;
      }))
    return false;
  if (place) *place = std::move(located);
  return true;
}

// A rename acts on the name itself, a link included, in its own folder; where a link
// leads is judged too, as for every other command.
bool RenameAllowed(TFtpServer& server, TFtpCtrlSocket& client, const std::string& path) {
  THostPlace name;
  if (!FileAllowed(server, client, path, TAccess::Write) ||
      !FileAllowed(server, client, path, TAccess::Write, &name, false))
    return false;
  client.Judged = std::move(name);
  return true;
}

// SIZE measures the first file its name matches, wildcards included: that file is
// the one to judge and measure, or "SIZE lin*" would measure a link's target elsewhere.
bool SizeAllowed(TFtpServer& server, TFtpCtrlSocket& client, const std::string& path) {
  if (!FileAllowed(server, client, path, TAccess::Read, &client.Judged)) return false;
  const std::size_t cut = path.rfind('\\');
  if (cut == std::string::npos || path.find_first_of("*?", cut) == std::string::npos) return true;
  THostPlace folder;
  THostFinder finder;
  if (!Locate(server, path.substr(0, cut + 1), true, folder) ||
      !finder.Open(folder, std::string_view(path).substr(cut + 1)))
    return true;
  for (THostEntry entry; finder.Next(entry);) {
    if (!entry.directory)
      return FileAllowed(server, client, path.substr(0, cut + 1) + entry.name, TAccess::Read,
                         &client.Judged);
  }
  return true;
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
  allowed = FileAllowed(sender, client, filePath, TAccess::Read, &client.Judged);
  Log(sender, client, allowed, "Download " + filePath);
}

void FtpValidateSize(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed) {
  allowed = SizeAllowed(sender, client, filePath);
  LogRefusal(sender, client, allowed, "Size of " + filePath);
}

void FtpValidateMdtm(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed) {
  allowed = FileAllowed(sender, client, filePath, TAccess::Read, &client.Judged);
  LogRefusal(sender, client, allowed, "Time of " + filePath);
}

// An allowed upload is logged once its file is open (FtpStorFileOpened): a file
// another transfer holds still turns it away, and its one line is then that refusal.
void FtpValidatePut(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                    bool& allowed) {
  allowed = FileAllowed(sender, client, filePath, TAccess::Write, &client.Judged);
  if (!allowed) Log(sender, client, false, "Upload " + filePath);
}

void FtpStorFileOpened(TFtpServer& sender, TFtpCtrlSocket& client) {
  Log(sender, client, true, "Upload " + client.HostFilePath);
}

void FtpValidateRnFr(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed) {
  allowed = RenameAllowed(sender, client, filePath);
  Log(sender, client, allowed, "Rename from " + filePath);
}

void FtpValidateRnTo(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed) {
  // A folder that takes uploads but gives none out (a drop box) must keep them so: a
  // move into a readable folder handed anyone what others had dropped there.
  allowed = !(!client.RenameSource.empty() &&
              FileAllowed(sender, client, filePath, TAccess::Read) &&
              !FileAllowed(sender, client, client.RenameSource, TAccess::Read)) &&
            RenameAllowed(sender, client, filePath);
  Log(sender, client, allowed, "Rename to " + filePath);
}

void FtpValidateMfmt(TFtpServer& sender, TFtpCtrlSocket& client, std::string& filePath,
                     bool& allowed) {
  allowed = FileAllowed(sender, client, filePath, TAccess::Write, &client.Judged);
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
  allowed = DirectoryAllowed(sender, client, directory, &client.Judged);
  Log(sender, client, allowed, "Change Directory to " + directory);
}

void FtpValidateList(TFtpServer& sender, TFtpCtrlSocket& client, std::string& pattern,
                     bool& allowed) {
  // A name that is a folder (C:\Share\pub, as clients send it without the final
  // slash) lists that folder, so that folder is judged.
  if (pattern.find_first_of("*?") == std::string::npos && HostFs::DirectoryExists(pattern)) {
    allowed = DirectoryAllowed(sender, client, pattern.back() == '\\' ? pattern : pattern + "\\",
                               &client.Judged);
  } else {
    // The pattern's last name selects entries of the folder before it (C:\Share\*.*,
    // C:\Share\sub); that folder is what gets shown.
    const std::size_t cut = pattern.rfind('\\');
    allowed = cut != std::string::npos &&
              DirectoryAllowed(sender, client, pattern.substr(0, cut + 1), &client.Judged);
  }
  LogRefusal(sender, client, allowed, "List " + pattern);
}

// The same rules as the commands they describe, asked without a log line: files are
// read and written by their folder's shares, and subfolders entered only under a
// recursive one.
void FtpFolderRights(TFtpServer& sender, TFtpCtrlSocket& client, const std::string& folder,
                     TFtpFolderRights& rights) {
  THostPlace place;
  const bool known = LoggedIn(client) && Locate(sender, folder, true, place);
  const std::string requested = known ? CompareForm(place.Native()) : std::string();
  rights.read = known && Granted(sender, requested, TAccess::Read);
  rights.write = known && Granted(sender, requested, TAccess::Write);
  rights.enterSubfolders =
      known && AnyShare(sender, [&](const TDirectory& share, const std::string& form) {
        return share.Recursive && Under(requested, form);
      });
}

void FtpMakeDirectory(TFtpServer& sender, TFtpCtrlSocket& client, const std::string& directory,
                      bool& allowed) {
  THostPlace place;
  allowed = LoggedIn(client) && Locate(sender, directory, true, place) &&
            Granted(sender, CompareForm(place.Native()), TAccess::Write);
  if (allowed) client.Judged = std::move(place);
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

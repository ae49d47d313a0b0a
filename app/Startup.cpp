#include "app/Startup.h"

#include <algorithm>
#include <exception>
#include <ostream>

#include "catalogue/ServerUi.h"
#include "catalogue/uFileFormat.h"
#include "catalogue/uServers.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace {

constexpr char kExtension[] = ".server";
constexpr char kConfigSubfolder[] = "/dravik-server/Servers";

// Where the program comes from the folder came back sorted without regard to case, and
// definition files are named after the time they were made, so users read the list as
// creation order. Names equal but for case still keep one order between them.
bool ListedBefore(const std::string& a, const std::string& b) {
  if (LessNoCase(a, b)) return true;
  return !LessNoCase(b, a) && a < b;
}

// The pattern matched letters without case where the program comes from; keep
// finding the same files.
bool HasServerExtension(const std::string& name) {
  const std::string_view extension = kExtension;
  return name.size() >= extension.size() &&
         EqualsNoCase(std::string_view(name).substr(name.size() - extension.size()), extension);
}

void StartActive(const std::string& path) {
  TServerFile definition;
  if (!ReadServerFile(path, definition) || !definition.Active) return;
  try {
    StartServer(path);
  } catch (const std::exception& e) {
    Ui().ShowError(e.what());
  }
}

}  // namespace

std::string ServersFolder(const std::string& chosen, std::ostream& err) {
  if (!chosen.empty()) {
    const std::string folder = AbsolutePath(chosen);
    if (IsFolder(folder) || CreateServersFolder(folder)) return folder;
    err << "Could not create the servers folder " << folder << std::endl;
    return {};
  }
  const std::string exeDir = ExecutableDir();
  const std::string beside = exeDir + "/Servers";
  // A Servers folder someone made writable beside a read-only program still counts
  // as the portable layout.
  const bool portable = !exeDir.empty() && (IsFolder(beside) ? IsWritableFolder(beside)
                                                             : IsWritableFolder(exeDir));
  const std::string config = UserConfigDir();
  if (portable || config.empty()) return beside;
  const std::string folder = config + kConfigSubfolder;
  // Made now, so the folder the message names is there to put definitions in.
  if (!IsFolder(folder) && !CreateServersFolder(folder)) {
    err << "The program's folder " << exeDir << " cannot be written, and neither can "
        << folder << ", where server definitions would go" << std::endl;
    return {};
  }
  err << "The program's folder " << exeDir << " cannot be written; server definitions are in "
      << folder << std::endl;
  return folder;
}

std::vector<std::string> ScanServerFiles(const std::string& folder) {
  std::vector<std::string> names = FolderEntryNames(folder);
  std::sort(names.begin(), names.end(), ListedBefore);
  std::vector<std::string> files;
  for (const auto& name : names) {
    if (!HasServerExtension(name)) continue;
    std::string path = folder + "/" + name;
    TServerFile definition;
    // Only files that can be read are read, so a scan (the desktop makes
    // several) never shows a box; a definition the user cannot read is not listed,
    // nor one another user put there.
    if (IsReadableRegularFile(path) && OwnedByUs(path) && ReadServerFile(path, definition))
      files.push_back(path);
  }
  return files;
}

TStartup RunStartupSequence(const std::string& folder) {
  TStartup startup;
  startup.ServerFiles = ScanServerFiles(folder);
  Ui().UpdateTrayIcon(RunningServerCount);
  if (startup.ServerFiles.empty()) {
    startup.ShowMainWindow = true;
    return startup;
  }
  for (const auto& path : startup.ServerFiles) StartActive(path);
  Ui().UpdateTrayIcon(RunningServerCount);
  startup.ServerFiles = ScanServerFiles(folder);
  return startup;
}

std::vector<std::string> StartupSummary(const std::string& folder, const TStartup& startup) {
  std::vector<std::string> lines;
  // A definition the program may not read is never listed; unsaid, its server just
  // never starts, and the folder looks empty.
  bool named = false;
  for (const auto& name : FolderEntryNames(folder)) {
    if (!HasServerExtension(name)) continue;
    const std::string path = folder + "/" + name;
    if (IsFolder(path)) continue;  // no definition, whatever its name
    named = true;
    if (std::find(startup.ServerFiles.begin(), startup.ServerFiles.end(), path) !=
        startup.ServerFiles.end())
      continue;
    if (!IsReadableRegularFile(path))
      lines.push_back("Cannot read " + path + "; it is left out");
    else if (!OwnedByUs(path))
      lines.push_back(path + " belongs to another user; it is left out");
  }
  if (startup.ServerFiles.empty() && !named) {
    lines.push_back("No server definition found in " + folder +
                    "; see \"Defining a server by hand\" in README.md");
    return lines;
  }
  for (const auto& entry : ServerRegistry) {
    if (!entry.Running) continue;
    const int type = entry.Definition.Type;
    // A definition without Type (or a type nothing serves) counts as running and does
    // nothing; a file written by hand most likely just lacks the key.
    if (type != kTypeFtp && type != kTypeWeb) {
      lines.push_back("Nothing serves " + entry.Definition.Name + " (Type=" + std::to_string(type) +
                      "; 0 is an FTP server, 1 a Web server)");
      continue;
    }
    if (!entry.Engine) continue;
    // Listening but of no use to anybody: a link would only lead to refusals.
    if (entry.Definition.RequireTls && !entry.Engine->OffersTls()) {
      lines.push_back(entry.Definition.Name +
                      " refuses logins in clear and has no usable certificate: " +
                      entry.Engine->TlsError());
      continue;
    }
    // A server that takes nothing in clear is reached only by the encrypted schemes.
    const bool tlsOnly = entry.Definition.RequireTls;
    const std::string scheme = type == kTypeFtp ? (tlsOnly ? "ftpes" : "ftp")
                               : type == kTypeWeb ? (tlsOnly ? "https" : "http")
                                                  : "";
    const int port = entry.Engine->BoundPort();
    if (scheme.empty() || port <= 0) continue;
    const std::string portText = std::to_string(port);
    lines.push_back("Started " + entry.Definition.Name + " (" + ServerTypeName(type) +
                    ") on port " + portText + ": " + scheme + "://127.0.0.1:" + portText + "/");
  }
  return lines;
}

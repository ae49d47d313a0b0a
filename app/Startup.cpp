#include "app/Startup.h"

#include <exception>

#include "catalogue/ServerUi.h"
#include "catalogue/uFileFormat.h"
#include "catalogue/uServers.h"
#include "platform/Process.h"

namespace {

constexpr char kExtension[] = ".server";

// The pattern matched letters without case where the program comes from; keep
// finding the same files.
bool HasServerExtension(const std::string& name) {
  const std::size_t len = sizeof kExtension - 1;
  if (name.size() < len) return false;
  for (std::size_t i = 0; i < len; ++i) {
    char c = name[name.size() - len + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kExtension[i]) return false;
  }
  return true;
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

std::string ServersFolder() { return ExecutableDir() + "/Servers"; }

std::vector<std::string> ScanServerFiles(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& name : FolderEntryNames(folder)) {
    if (!HasServerExtension(name)) continue;
    std::string path = folder + "/" + name;
    TServerFile definition;
    // Only files that can be read are read, so a scan (the desktop makes
    // several) never shows a box; a definition the user cannot read is not listed.
    if (IsReadableRegularFile(path) && ReadServerFile(path, definition)) files.push_back(path);
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

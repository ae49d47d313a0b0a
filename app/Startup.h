#pragma once
// The server part of the program's start-up, shared by both fronts: list the
// definitions beside the program and start the ones that were running when it last
// ended.

#include <string>
#include <vector>

// The folder `Servers` beside the executable.
std::string ServersFolder();

// The definition files of `folder` ("*.server", letters in any case) in the order the
// system lists them, keeping only existing regular files that read as definitions.
std::vector<std::string> ScanServerFiles(const std::string& folder);

struct TStartup {
  std::vector<std::string> ServerFiles;  // after the auto-start, for the front's list
  bool ShowMainWindow = false;           // nothing is listed: the window is the way in
};

// Scans `folder`, starts every active definition in scan order and scans again. The
// front's main tray image follows through ServerUi. A start that fails is reported and
// the others still start; so is an error raised while starting one (a definition that
// cannot be written), as the program's general error report would.
TStartup RunStartupSequence(const std::string& folder);

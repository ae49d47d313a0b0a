#pragma once
// The server part of the program's start-up, shared by both fronts: list the
// definitions beside the program and start the ones that were running when it last
// ended.

#include <iosfwd>
#include <string>
#include <vector>

// Where the definitions live. `chosen` (the --servers option) wins when given and is
// made when missing. Otherwise the folder `Servers` beside the executable, as a
// portable copy keeps it; when that cannot be written (an installed copy), the user's
// configuration folder instead, made when missing and named once on `err`. Empty,
// after one line on `err`, when `chosen` cannot be made.
std::string ServersFolder(const std::string& chosen, std::ostream& err);

// The definition files of `folder` ("*.server", letters in any case), keeping only
// existing regular files that read as definitions, sorted by name without regard to
// ASCII case: the order both fronts list and auto-start them in.
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

// What an operator without windows needs once start-up is over: one line per running
// server with the address it answers on locally, or, when `folder` held no definition,
// one line naming it and the README section that explains how to write one.
std::vector<std::string> StartupSummary(const std::string& folder, const TStartup& startup);

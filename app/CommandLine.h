#pragma once
// The program's options, read before anything else happens so that --help and
// --version answer even while another copy runs.

#include <string>

struct TCommandLine {
  enum class TAction { kRun, kHelp, kVersion, kBadUsage };
  TAction Action = TAction::kRun;
  std::string ServersFolder;  // --servers; empty for the usual place
  bool Headless = false;      // --headless: no windows even on a desktop
  std::string Error;          // kBadUsage: one line for standard error, no line end
};

// GNU conventions: long options only, "--opt=value" and "--opt value", "--" ends the
// options. Anything the program does not know, arguments included, is kBadUsage.
TCommandLine ParseProgramOptions(int argc, char* argv[]);

// The texts --help and --version print, each ending in a line feed.
std::string UsageText();
std::string VersionText();

#include <iostream>
#include <string>

#include "app/CommandLine.h"
#include "app/Engines.h"
#include "app/Headless.h"
#include "app/Startup.h"
#include "app/prevcode.h"
#include "catalogue/Product.h"
#include "platform/Process.h"

#ifdef DRAVIK_DESKTOP
// The desktop front (app/Desktop*.cpp): the main window and its tray, with the
// definitions in `folder`; returns the exit code.
int RunDesktop(const std::string& folder);
#endif

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;  // as GNU tools exit on a bad option

// A text that could not be written (a full disk, a closed pipe) is a failure, as GNU
// tools report it, not an answer.
int PrintAnswer(const std::string& text) {
  std::cout << text << std::flush;
  if (std::cout) return 0;
  std::cerr << "dravik-server: cannot write to standard output" << std::endl;
  return kExitFailure;
}

}  // namespace

int main(int argc, char* argv[]) {
  EnsureStandardDescriptors();
  // Before the instance check, so that --help and --version answer while a copy runs.
  const TCommandLine options = ParseProgramOptions(argc, argv);
  switch (options.Action) {
    case TCommandLine::TAction::kHelp: return PrintAnswer(UsageText());
    case TCommandLine::TAction::kVersion: return PrintAnswer(VersionText());
    case TCommandLine::TAction::kBadUsage:
      std::cerr << options.Error << std::endl;
      return kExitUsage;
    case TCommandLine::TAction::kRun: break;
  }
  if (CheckPreviousInstance(kMainWindowTitle, kInstanceName)) return 0;
  const std::string folder = ServersFolder(options.ServersFolder, std::cerr);
  if (folder.empty()) {
    ReleaseInstanceGuard();
    return kExitFailure;
  }
  RaiseDescriptorLimit();
  RegisterEngines();
  int code = 0;
#ifdef DRAVIK_DESKTOP
  bool desktop = !options.Headless && DisplayAvailable();
  if (desktop && !DisplayReachable()) {
    std::cerr << "cannot reach the display " << DisplayName() << "; running headless" << std::endl;
    desktop = false;
  }
  if (desktop)
    code = RunDesktop(folder);
  else
#endif
    code = RunHeadless(folder);
  ReleaseInstanceGuard();
  return code;
}

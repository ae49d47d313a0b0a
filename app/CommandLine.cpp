#include "app/CommandLine.h"

#include <getopt.h>

#include "catalogue/Product.h"

namespace {

constexpr char kProgram[] = "dravik-server";

enum : int { kOptServers = 1, kOptHeadless, kOptHelp, kOptVersion };

const option kOptions[] = {
    {"servers", required_argument, nullptr, kOptServers},
    {"headless", no_argument, nullptr, kOptHeadless},
    {"help", no_argument, nullptr, kOptHelp},
    {"version", no_argument, nullptr, kOptVersion},
    {nullptr, 0, nullptr, 0},
};

TCommandLine BadUsage(const std::string& what) {
  TCommandLine result;
  result.Action = TCommandLine::TAction::kBadUsage;
  result.Error = std::string(kProgram) + ": " + what + " (see --help)";
  return result;
}

}  // namespace

TCommandLine ParseProgramOptions(int argc, char* argv[]) {
  TCommandLine result;
  // getopt keeps its place in globals: 0 restarts it from scratch, and its own
  // messages are off because the one line we print must not be two.
  optind = 0;
  opterr = 0;
  // "+" stops at the first argument instead of permuting argv, which we then refuse;
  // ":" reports a missing value apart from an unknown option.
  for (;;) {
    const int c = getopt_long(argc, argv, "+:", kOptions, nullptr);
    if (c == -1) break;
    const std::string word = optind > 0 && optind <= argc ? argv[optind - 1] : "";
    switch (c) {
      case kOptServers:
        if (optarg == nullptr || *optarg == '\0')
          return BadUsage("option '--servers' needs a folder");
        result.ServersFolder = optarg;
        break;
      case kOptHeadless: result.Headless = true; break;
      case kOptHelp: result.Action = TCommandLine::TAction::kHelp; break;
      case kOptVersion:
        if (result.Action != TCommandLine::TAction::kHelp)
          result.Action = TCommandLine::TAction::kVersion;
        break;
      case ':': return BadUsage("option '" + word + "' needs a value");
      default:
        // Short options come in clusters ("-xv"), where the word says too much.
        if (optopt > ' ' && optopt < 127)
          return BadUsage(std::string("invalid option -- '") + static_cast<char>(optopt) + "'");
        // A known option given a value it does not take ("--help=x") names itself.
        for (const option* o = kOptions; o->name; ++o)
          if (optopt == o->val)
            return BadUsage("option '--" + std::string(o->name) + "' takes no value");
        return BadUsage("unrecognized option '" + word + "'");
    }
  }
  if (optind < argc) return BadUsage("unexpected argument '" + std::string(argv[optind]) + "'");
  return result;
}

std::string UsageText() {
  return std::string("Usage: ") + kProgram + " [OPTION]...\n" +
         "Shares folders over FTP and single files over HTTP, as the *.server files in\n"
         "the folder Servers beside the program define them (in\n"
         "$XDG_CONFIG_HOME/dravik-server/Servers, by default\n"
         "~/.config/dravik-server/Servers, when the program's folder cannot be written).\n"
         "Without a display it runs headless: activity on standard output, messages on\n"
         "standard error, until SIGINT or SIGTERM.\n"
         "\n"
         "  --servers=DIR  read the definitions in DIR instead (made when missing)\n"
         "  --headless     run without windows even when a display is available\n"
         "  --help         show this help and exit\n"
         "  --version      show the name and version and exit\n"
         "\n"
         "How to write a definition by hand: see README.md, or " +
         kMakerAddress + "\n";
}

std::string VersionText() { return std::string(kAppTitle) + " " + kVersion + "\n"; }

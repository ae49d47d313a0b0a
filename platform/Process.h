#pragma once
// What the program needs of its own process and surroundings: where it lives, whether a
// display is there, the local time, and the signals that end the headless front.

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "platform/FileHandle.h"

// The folder of the running executable (symbolic links resolved), without a trailing
// slash; empty when the system will not say.
std::string ExecutableDir();

// True when DISPLAY or WAYLAND_DISPLAY names a display; DisplayName is the name
// (Wayland's first), empty when neither does.
bool DisplayAvailable();
std::string DisplayName();
// True when a display named there answers a connection within a second, or when Qt is
// told to use a platform of its own (QT_QPA_PLATFORM other than xcb or wayland). A
// stale name (a closed remote session) would otherwise end the program in Qt's start.
bool DisplayReachable();

// Standard input, output or error that the caller left closed get /dev/null, so the
// first file the program opens cannot take their number and receive its output.
void EnsureStandardDescriptors();

// True when path exists (after following symbolic links) as a folder; writable: and
// the process may also create files in it.
bool IsFolder(const std::string& path);
bool IsWritableFolder(const std::string& path);

// The user's configuration folder: $XDG_CONFIG_HOME when it names an absolute path,
// otherwise ~/.config; empty when not even the home folder is known.
std::string UserConfigDir();

// path made absolute against the working folder (nothing resolved); an absolute path
// is returned as it is.
std::string AbsolutePath(const std::string& path);

// The names in `folder` in the order the system lists them ("." and ".." left out);
// empty when the folder is missing or unreadable.
std::vector<std::string> FolderEntryNames(const std::string& folder);
// A regular file the process may read, after following symbolic links.
bool IsReadableRegularFile(const std::string& path);
// Whether what path leads to belongs to this process's user or to root. In a folder
// others may write, a file of theirs must not decide what is shared.
bool OwnedByUs(const std::string& path);

std::tm LocalTimeNow();
// The same, from one clock read that also gives the milliseconds past its second.
std::tm LocalTimeNow(int& milliseconds);

// Writing to a pipe whose reader went away must be an error, not the end of the program.
void IgnoreBrokenPipes();

// Every client holds a descriptor or two, and the customary soft limit of 1024 refuses
// clients long before the machine runs short. Raises the soft limit to the hard one
// (to the kernel's own ceiling when the hard limit is unlimited) and returns the soft
// limit in force afterwards; a limit already as high is left alone.
std::int64_t RaiseDescriptorLimit();

// SIGINT and SIGTERM, delivered on the event loop instead of ending the process. They
// are blocked from construction on, so one that arrives before the loop runs is kept
// and reported at its first turn. Lives no longer than the loop.
class TTerminationSignals {
public:
  explicit TTerminationSignals(std::function<void(int signal)> onSignal);
  ~TTerminationSignals();
  TTerminationSignals(const TTerminationSignals&) = delete;
  TTerminationSignals& operator=(const TTerminationSignals&) = delete;

private:
  void ReadSignals();

  FileHandle fd_;
  std::function<void(int)> onSignal_;
};

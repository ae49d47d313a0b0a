#pragma once
// The single-instance guard. The first instance holds a per-user lock for its whole
// life; a later launch asks it to show its main window and then ends.

#include <functional>
#include <string>

// True when another instance of this user is running: it has been asked to show
// itself, one line on standard error says so, and the caller must end at once with
// exit code 0. Also true, with its own line, when that instance holds the lock but
// does not answer within a few seconds. False when this is the only instance, and
// also when no lock can be had at all (the program then runs unguarded rather than
// not at all, and says so on standard error).
bool CheckPreviousInstance(const std::string& windowTitle, const std::string& semaphoreName);

// Lets the lock go while the event loop still exists; the end of the program calls it.
void ReleaseInstanceGuard();

// Run when a later launch asks this instance to show itself. The desktop front raises
// its main window here; headless there is nothing to show.
extern std::function<void()> OnShowRequest;

#pragma once
// The front used when no display is available: no windows and no tray. Activity lines
// go to standard output and message boxes to standard error, one text each, flushed
// at once so a supervisor or a pipe sees them as they happen.

#include <iosfwd>
#include <optional>
#include <string>

#include "catalogue/ServerUi.h"
#include "platform/EventLoop.h"

class THeadlessUi : public ServerUi {
public:
  THeadlessUi(std::ostream& out, std::ostream& err);
  ~THeadlessUi() override;

  void AddActivityLine(const std::string& line) override;
  void UpdateTrayIcon(int runningServerCount) override {}
  void CreateServerTray(int index) override {}
  void SetServerTray(int index, int image, const std::string& hint) override {}
  void RemoveServerTray(int index) override {}
  void AppendLogLine(int index, const std::string& line) override {}
  void CloseLogWindow(int index) override {}
  // Still refreshes the entry's client count: the tray menu is not the only reader.
  void StartGlitchTimer(int index) override;
  void ShowError(const std::string& text) override;
  // Nobody is there to answer, so every question is answered No: whatever it guards
  // (leaving, deleting) does not happen unattended.
  bool Confirm(const std::string& text) override;

private:
  std::ostream& out_;
  std::ostream& err_;
  std::optional<EventLoop::TimerId> glitchTimer_;
  int glitchIndex_ = -1;
};

// The whole headless program after the instance guard: start-up, then the loop until
// SIGINT or SIGTERM. Returns the exit code.
int RunHeadless();

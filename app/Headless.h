#pragma once
// The front used when no display is available: no windows and no tray. Activity lines
// go to standard output and message boxes to standard error, one text each, flushed
// at once so a supervisor or a pipe sees them as they happen.

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "catalogue/ServerUi.h"
#include "platform/EventLoop.h"
#include "platform/OutputPipe.h"

class THeadlessUi : public ServerUi {
public:
  THeadlessUi(std::ostream& out, std::ostream& err);
  // Activity lines never wait for the reader of `out`: while it takes nothing they are
  // dropped, and one line says how many once it takes text again.
  THeadlessUi(std::unique_ptr<TOutputPipe> out, std::ostream& err);
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
  void FlushActivity();
  // Nobody is there to answer, so every question is answered No: whatever it guards
  // (leaving, deleting) does not happen unattended.
  bool Confirm(const std::string& text) override;

private:
  void ReportDropped();

  std::ostream* out_ = nullptr;        // either this
  std::unique_ptr<TOutputPipe> pipe_;  // or this
  std::size_t dropped_ = 0;            // lines the pipe refused since the last report
  std::ostream& err_;
  std::optional<EventLoop::TimerId> glitchTimer_;
  std::set<int> glitchIndexes_;
};

// The whole headless program after the instance guard: start-up from serversFolder,
// then the loop until SIGINT or SIGTERM. Returns the exit code.
int RunHeadless(const std::string& serversFolder);

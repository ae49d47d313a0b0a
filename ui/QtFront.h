#pragma once
// The desktop front: the ServerUi that shows the registry's lines, icons, log windows
// and boxes through the main window and Qt, and the bridge that lets Qt's main loop
// drive the program's own event loop.

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "catalogue/ServerUi.h"

class EventLoop;
class TfMain;

// Qt owns the main loop; the core loop runs whenever its epoll descriptor is ready.
// A nested wait of the core (a start, the address lookup) runs Qt's events through
// the pump hook, so windows stay alive during it.
class TQtLoopBridge : public QObject {
  Q_OBJECT

public:
  explicit TQtLoopBridge(EventLoop& loop);
  ~TQtLoopBridge() override;

private:
  void Pump();
  void RunQtEvents();

  EventLoop& loop_;
  QSocketNotifier notifier_;
  QTimer poke_;
  bool pumping_ = false;
  bool inHook_ = false;
};

// REQUIRES: `main` outlives this front (install it after the window, remove it before).
class TQtUi : public ServerUi {
public:
  // With DRAVIK_UI_PROBE naming a file, the windows' state is written there a few
  // times a second for the desktop smoke test, which cannot look inside otherwise.
  explicit TQtUi(TfMain& main);

  void AddActivityLine(const std::string& line) override;
  void UpdateTrayIcon(int runningServerCount) override;
  void CreateServerTray(int index) override;
  void SetServerTray(int index, int image, const std::string& hint) override;
  void RemoveServerTray(int index) override;
  void AppendLogLine(int index, const std::string& line) override;
  void CloseLogWindow(int index) override;
  void StartGlitchTimer(int index) override;
  // Modal boxes titled with the program's name; tests override these two.
  void ShowError(const std::string& text) override;
  bool Confirm(const std::string& text) override;

private:
  TfMain& main_;
};

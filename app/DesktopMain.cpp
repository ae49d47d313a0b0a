// The desktop front: the main window, its tray icon and the servers' own icons, on
// Qt's main loop. Chosen by main when a display is available.

#include <memory>

#include <QApplication>
#include <QSystemTrayIcon>

#include "app/Startup.h"
#include "app/prevcode.h"
#include "catalogue/Product.h"
#include "catalogue/uServers.h"
#include "platform/EventLoop.h"
#include "platform/Process.h"
#include "ui/Icons.h"
#include "ui/QtFront.h"
#include "ui/frmMain.h"

int RunDesktop(const std::string& folder) {
  IgnoreBrokenPipes();
  // Blocked before Qt starts any thread of its own, so every thread inherits the block
  // and the signals arrive on the loop: the program then ends as after "Exit". exit(),
  // not quit(): quit() first asks every window to close, and the main window would
  // ask the user. A signal read during start-up (its starts let the loop run) comes
  // before Qt's main loop, where exit() does nothing: it is remembered instead.
  bool terminated = false;
  TTerminationSignals termination([&terminated](int) {
    terminated = true;
    QCoreApplication::exit(0);
  });

  int argc = 1;
  char name[] = "dravik-server";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kAppTitle));
  // The window hides behind the tray; only the confirmed exit ends the program.
  QApplication::setQuitOnLastWindowClosed(false);

  TQtLoopBridge bridge(EventLoop::Instance());
  TfMain main(folder, [folder] { return ScanServerFiles(folder); });
  auto previous = SetUi(std::make_unique<TQtUi>(main));
  OnShowRequest = [&main] { main.ShowAndRaise(); };

  main.RefreshServers();
  main.SetTrayImage(kImgMainTrayIdle);
  main.ShowTray();
  const TStartup startup = RunStartupSequence(folder);
  main.RefreshServers();
  // A program hidden behind a tray icon that no notification area shows would be
  // unreachable.
  if (startup.ShowMainWindow || !QSystemTrayIcon::isSystemTrayAvailable()) main.show();

  const int code = terminated ? 0 : QApplication::exec();

  OnShowRequest = nullptr;
  // As at any normal end: engines go without StopServer, definitions keep Active.
  ResetRegistry();
  SetUi(std::move(previous));
  return code;
}

#include "ui/QtFront.h"

#include <QCoreApplication>
#include <QMessageBox>

#include "catalogue/Product.h"
#include "platform/EventLoop.h"
#include "ui/DrivePath.h"
#include "ui/ServerTray.h"
#include "ui/frmMain.h"

namespace {

// Timers of the core loop wake its descriptor too; this only catches a wake-up that
// arrived while the notifier was off.
constexpr int kPokeMs = 200;

QString BoxText(const std::string& text) { return ToQt(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

}  // namespace

TQtLoopBridge::TQtLoopBridge(EventLoop& loop)
    : loop_(loop), notifier_(loop.Fd(), QSocketNotifier::Read) {
  connect(&notifier_, &QSocketNotifier::activated, this, &TQtLoopBridge::Pump);
  connect(&poke_, &QTimer::timeout, this, &TQtLoopBridge::Pump);
  poke_.start(kPokeMs);
  loop_.SetPumpHook([this] { RunQtEvents(); });
}

TQtLoopBridge::~TQtLoopBridge() { loop_.SetPumpHook(nullptr); }

// Running Qt's events from inside the notifier's own slot would enter the slot again,
// so the notifier is off while the core runs, and the hook leaves Qt's events to the
// main loop this slot returns to.
void TQtLoopBridge::Pump() {
  if (pumping_) return;
  pumping_ = true;
  notifier_.setEnabled(false);
  loop_.pump();
  notifier_.setEnabled(true);
  pumping_ = false;
}

void TQtLoopBridge::RunQtEvents() {
  if (pumping_ || inHook_) return;
  inHook_ = true;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  inHook_ = false;
}

void TQtUi::AddActivityLine(const std::string& line) { main_.AddActivityLine(line); }
void TQtUi::UpdateTrayIcon(int runningServerCount) { main_.UpdateTrayIcon(runningServerCount); }
void TQtUi::CreateServerTray(int index) { main_.ServerTrays().CreateServerTray(index); }
void TQtUi::SetServerTray(int index, int image, const std::string& hint) {
  main_.ServerTrays().SetServerTray(index, image, hint);
}
void TQtUi::RemoveServerTray(int index) { main_.ServerTrays().RemoveServerTray(index); }
void TQtUi::AppendLogLine(int index, const std::string& line) { main_.AppendLogLine(index, line); }
void TQtUi::CloseLogWindow(int index) { main_.CloseLogWindow(index); }
void TQtUi::StartGlitchTimer(int index) { main_.StartGlitchTimer(index); }

void TQtUi::ShowError(const std::string& text) {
  QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kAppTitle), BoxText(text), QMessageBox::Ok);
  box.exec();
}

bool TQtUi::Confirm(const std::string& text) {
  QMessageBox box(QMessageBox::Question, QString::fromLatin1(kAppTitle), BoxText(text),
                  QMessageBox::Yes | QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

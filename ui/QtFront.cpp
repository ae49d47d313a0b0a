#include "ui/QtFront.h"

#include <QAbstractButton>
#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QSaveFile>
#include <QScrollBar>
#include <QTabBar>

#include "catalogue/Product.h"
#include "platform/EventLoop.h"
#include "ui/DrivePath.h"
#include "ui/MarkupGrid.h"
#include "ui/ServerTray.h"
#include "ui/frmMain.h"

namespace {

// Timers of the core loop wake its descriptor too; this only catches a wake-up that
// arrived while the notifier was off.
constexpr int kPokeMs = 200;

QString BoxText(const std::string& text) { return ToQt(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

constexpr int kProbeMs = 100;

// Places are in the window's own coordinates: the test adds where the X server says
// the window is, which is the point of the exercise.
QJsonObject Place(const QWidget& window, const QWidget& widget, const QRect& rect) {
  const QPoint at = widget.mapTo(&window, rect.topLeft());
  return QJsonObject{{"x", at.x()}, {"y", at.y()}, {"width", rect.width()}, {"height", rect.height()}};
}

QJsonObject ProbeWindow(const QWidget& window) {
  const QRect frame = window.frameGeometry();
  QJsonArray buttons;
  for (const QAbstractButton* button : window.findChildren<QAbstractButton*>()) {
    if (button->text().isEmpty()) continue;
    buttons.append(QJsonObject{{"name", button->objectName()},
                               {"visible", button->isVisible()},
                               {"place", Place(window, *button, button->rect())},
                               {"pixelSize", button->font().pixelSize()},
                               {"textWidth", button->fontMetrics().horizontalAdvance(button->text())},
                               {"width", button->width()}});
  }
  QJsonArray grids;
  for (const TMarkupGrid* grid : window.findChildren<TMarkupGrid*>()) {
    const auto selected = grid->selectionModel()->selectedRows();
    QJsonArray rows;
    for (int row = 0; row < grid->rowCount(); ++row)
      rows.append(Place(window, *grid->viewport(),
                        QRect(0, grid->rowViewportPosition(row), grid->viewport()->width(), grid->rowHeight(row))));
    grids.append(QJsonObject{{"name", grid->objectName()},
                             {"rows", rows},
                             {"scrollX", grid->horizontalScrollBar()->value()},
                             {"column0X", grid->columnViewportPosition(0)},
                             {"selectedRow", selected.isEmpty() ? -1 : selected.first().row()}});
  }
  QJsonArray tabs;
  for (const QTabBar* bar : window.findChildren<QTabBar*>())
    for (int tab = 0; tab < bar->count(); ++tab)
      tabs.append(QJsonObject{{"text", bar->tabText(tab)}, {"place", Place(window, *bar, bar->tabRect(tab))}});
  QJsonObject probe{{"name", window.objectName()}, {"visible", window.isVisible()},
                    {"x", frame.x()}, {"y", frame.y()}, {"width", frame.width()}, {"height", frame.height()},
                    {"pixelSize", window.font().pixelSize()}, {"buttons", buttons}, {"grids", grids}, {"tabs", tabs}};
  if (const auto* main = qobject_cast<const TfMain*>(&window)) {
    const int row = main->SelectedRow();
    const bool listed = row >= 0 && row < static_cast<int>(main->ServerFiles().size());
    probe.insert("selectedFile", listed ? ToQt(main->ServerFiles()[row]) : QString());
  }
  return probe;
}

void WriteProbe(const QString& path) {
  QJsonArray windows;
  for (const QWidget* window : QApplication::topLevelWidgets())
    if (!window->objectName().isEmpty()) windows.append(ProbeWindow(*window));
  // Replaced whole, so a reader never sees half a state.
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return;
  file.write(QJsonDocument(QJsonObject{{"windows", windows}}).toJson(QJsonDocument::Compact));
  file.commit();
}

}  // namespace

TQtUi::TQtUi(TfMain& main) : main_(main) {
  const QString probe = qEnvironmentVariable("DRAVIK_UI_PROBE");
  if (probe.isEmpty()) return;
  auto* timer = new QTimer(&main);
  QObject::connect(timer, &QTimer::timeout, timer, [probe] { WriteProbe(probe); });
  timer->start(kProbeMs);
}

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

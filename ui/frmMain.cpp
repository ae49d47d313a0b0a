#include "ui/Controls.h"
#include "ui/frmMain.h"

#include <utility>

#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include "catalogue/Product.h"
#include "catalogue/ServerUi.h"
#include "catalogue/uServers.h"
#include "platform/LocalAddress.h"
#include "ui/CaptionBar.h"
#include "ui/DrivePath.h"
#include "ui/Icons.h"
#include "ui/MarkupGrid.h"
#include "ui/ServerTray.h"
#include "ui/Style.h"
#include "ui/frmLog.h"
#include "ui/frmNewServer.h"

namespace {

constexpr int kWidth = 542;
constexpr int kHeight = 336;
constexpr int kCaptionHeight = 25;
constexpr int kTabsHeight = 29;
constexpr int kGlitchMs = 500;
constexpr int kLogKeepLimit = 200;  // more lines than this and the oldest go
constexpr int kLogDropLines = 100;
enum { kPageServers = 0, kPageLog = 1, kPageAbout = 2 };

QString BoxText(const std::string& text) { return ToQt(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

}  // namespace

TfMain::TfMain(std::string serversFolder, TServerScan scan, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint),
      serversFolder_(std::move(serversFolder)),
      scan_(std::move(scan)) {
  RunWizard = [this](TServerFile& server, bool editMode) {
    return RunServerWizard(server, editMode, isVisible() ? this : nullptr);
  };
  LinkBox = [](const std::string& text) {
    QMessageBox box(QMessageBox::Information, QString::fromLatin1(kAppTitle), BoxText(text),
                    QMessageBox::Yes | QMessageBox::Cancel);
    return box.exec() == QMessageBox::Yes;
  };
  LanAddress = FirstLanIPv4Address;
  OpenUrl = [](const QString& url) { QDesktopServices::openUrl(QUrl::fromUserInput(url)); };
  Quit = [] { QCoreApplication::exit(0); };

  BuildWindow();
  bExit_->setText(QStringLiteral("Exit Dravik Server"));
  setWindowTitle(QString::fromLatin1(kMainWindowTitle));
  ShowPage(tsTabs_->currentIndex());
  grid_->setColumnCount(2);
  grid_->setRowCount(1);
  grid_->setColumnWidth(0, 35);
  grid_->setColumnWidth(1, 465);
  grid_->SetCellText(1, 0, QStringLiteral("x"));
  CentreOnScreen(*this);
}

TfMain::~TfMain() = default;

void TfMain::BuildWindow() {
  setObjectName(QStringLiteral("fMain"));
  setFixedSize(kWidth, kHeight);
  setWindowIcon(ServerImages().Icon(kImgMainTrayRunning));
  BuildCaption();

  pcTabs_ = Named(new QStackedWidget(this), "pcTabs");
  pcTabs_->setGeometry(0, kCaptionHeight, kWidth, kHeight - kCaptionHeight - kTabsHeight);
  BuildServersPage();
  BuildLogPage();
  BuildAboutPage();
  BuildTabBar();
  BuildMenus();

  tGlitch_ = Named(new QTimer(this), "tGlitch");
  tGlitch_->setSingleShot(true);
  tGlitch_->setInterval(kGlitchMs);
  connect(tGlitch_, &QTimer::timeout, this, [this] {
    for (int tag : std::exchange(glitchTags_, {})) UpdateServerTray(tag);
  });
  trays_ = new TServerTrays(*this, {[this] { trayDblClick(); },
                                    [this](const TServerFile& server, bool tls) { ShowServerLink(server, tls); },
                                    [this](int index) { ShowServerLog(index); },
                                    [this] { RefreshServers(); }});

  ApplyBrushedSteel(*this);
  mLog_->setFont(WindowFont(9));
  mLog_->setStyleSheet(QStringLiteral("QPlainTextEdit { background: #004080; color: #ffffff; }"));
  QFont underlined = lURL_->font();
  underlined.setUnderline(true);
  lURL_->setFont(underlined);
}

void TfMain::BuildCaption() {
  auto* caption = new TCaptionBar(QString::fromLatin1(kMainWindowTitle), true, *this);
  caption->setGeometry(0, 0, kWidth, kCaptionHeight);
  (new TWindowMover(*this))->Watch(*caption);
  connect(caption, &TCaptionBar::CloseClicked, this, &TfMain::bCloseClick);
  caption->Title().setAlignment(Qt::AlignCenter);
  if (auto* hide = caption->findChild<QToolButton*>(QStringLiteral("bClose"))) {
    hide->setText(QStringLiteral("Hide"));
    hide->setToolTip(QStringLiteral("Hide program"));
    hide->setFixedSize(48, 19);
  }
  auto* feedback = Named(new QToolButton(caption), "bFeedback");
  feedback->setText(QStringLiteral("Feedback..."));
  feedback->setToolTip(QStringLiteral("Send Feedback..."));
  feedback->setFixedHeight(19);
  feedback->setFocusPolicy(Qt::NoFocus);
  connect(feedback, &QToolButton::clicked, this, &TfMain::bFeedbackClick);
  if (auto* row = qobject_cast<QHBoxLayout*>(caption->layout())) row->insertWidget(0, feedback);
}

void TfMain::BuildTabBar() {
  auto* bar = Named(new QFrame(this), "pTabs");
  bar->setGeometry(0, kHeight - kTabsHeight, kWidth, kTabsHeight);
  tsTabs_ = Named(new QTabBar(bar), "tsTabs");
  tsTabs_->setShape(QTabBar::RoundedSouth);
  tsTabs_->setDrawBase(false);
  tsTabs_->setExpanding(false);
  for (const char* tab : {"Servers", "Activity Log", "About"}) tsTabs_->addTab(QString::fromLatin1(tab));
  tsTabs_->setCurrentIndex(kPageAbout);
  tsTabs_->setGeometry(4, 0, 260, kTabsHeight - 2);
  connect(tsTabs_, &QTabBar::currentChanged, this, &TfMain::ShowPage);

  bNew_ = Named(new QPushButton(QStringLiteral("New Server..."), bar), "bNew");
  bNew_->setToolTip(QStringLiteral("Create a new note"));
  bNew_->setGeometry(284, 4, 110, 21);
  connect(bNew_, &QPushButton::clicked, this, &TfMain::bNewClick);
  bExit_ = Named(new QPushButton(bar), "bExit");
  bExit_->setToolTip(QStringLiteral("Exit program"));
  bExit_->setGeometry(400, 4, 136, 21);
  connect(bExit_, &QPushButton::clicked, this, &TfMain::bExitClick);
}

void TfMain::BuildServersPage() {
  auto* page = Named(new QWidget(pcTabs_), "tsServers");
  auto* box = Named(new QGroupBox(QStringLiteral("Servers"), page), "gbServers");
  box->setGeometry(8, 2, 526, 250);
  grid_ = Named(new TMarkupGrid(box), "grid");
  grid_->setGeometry(12, 20, 501, 221);
  grid_->SetImages(&ServerImages());
  grid_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  grid_->setContextMenuPolicy(Qt::CustomContextMenu);
  grid_->viewport()->installEventFilter(this);
  connect(grid_, &QTableWidget::cellDoubleClicked, this, [this] { gridDblClick(); });
  // At the pointer as the X server has it: a point mapped out of the window is only as
  // good as Qt's idea of where the window is, which a window manager can leave stale.
  connect(grid_, &QWidget::customContextMenuRequested, this, [this] { pmGrid_->popup(QCursor::pos()); });
  auto* note = Named(new QLabel(QStringLiteral("Right-click a Server for more options. Double-click a server to edit."),
                                page),
                     "lNote");
  note->setGeometry(10, 256, 520, 18);
  pcTabs_->addWidget(page);
}

void TfMain::BuildLogPage() {
  auto* page = Named(new QWidget(pcTabs_), "tsSettings");
  mLog_ = Named(new QPlainTextEdit(page), "mLog");
  mLog_->setReadOnly(true);
  // A memo with a vertical scroll bar only wraps its lines: unwrapped, the long
  // fingerprint line scrolled the view sideways and hid the start of every line.
  mLog_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  mLog_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  mLog_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* fill = new QHBoxLayout(page);
  fill->setContentsMargins(8, 6, 8, 6);
  fill->addWidget(mLog_);
  pcTabs_->addWidget(page);
}

void TfMain::BuildAboutPage() {
  auto* page = Named(new QWidget(pcTabs_), "tsAbout");
  const QString site = QString::fromLatin1(kMakerAddress);
  auto* logo = Named(new QLabel(page), "iLogo");
  logo->setPixmap(QPixmap::fromImage(ServerImages().Image(kImgMainTrayRunning).scaled(64, 64)));
  logo->setToolTip(QStringLiteral("Visit webpage for more details about Vokt"));
  logo->setGeometry(24, 20, 64, 64);
  lURL_ = Named(new QLabel(site, page), "lURL");
  lURL_->setCursor(Qt::PointingHandCursor);
  lURL_->setToolTip(QStringLiteral("Visit ") + site + QStringLiteral(" for news and updates"));
  lURL_->setGeometry(110, 24, 300, 18);
  lURL_->installEventFilter(this);
  auto* family = Named(new QLabel(QStringLiteral("Dravik Server is a component of the Vokt\n"
                                                 "family of sharing tools."),
                                  page),
                       "lFamily");
  family->setGeometry(110, 48, 400, 34);
  auto* credits = Named(new QGroupBox(QStringLiteral("Credits"), page), "gbCredits");
  credits->setGeometry(24, 100, 494, 160);
  auto* text = new QLabel(QStringLiteral("Dravik Server version 1.0\n\n"
                                         "Shares folders over FTP and single files over the web\n"
                                         "straight from this computer.\n\n"
                                         "Icons and skin drawn for this program."),
                          credits);
  text->setGeometry(14, 20, 466, 130);
  text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  pcTabs_->addWidget(page);
}

void TfMain::BuildMenus() {
  pmGrid_ = Named(new QMenu(this), "pmGrid");
  QAction* link = MenuItem(pmGrid_, "miLink", QStringLiteral("Server Link..."));
  pmGrid_->setDefaultAction(link);
  connect(link, &QAction::triggered, this, &TfMain::miLinkClick);
  connect(MenuItem(pmGrid_, "miEdit", QStringLiteral("Edit...")), &QAction::triggered, this, &TfMain::gridDblClick);
  connect(MenuItem(pmGrid_, "miToggle", QStringLiteral("Start/Stop")), &QAction::triggered, this, &TfMain::miToggleClick);
  pmGrid_->addSeparator();
  connect(MenuItem(pmGrid_, "miDelete", QStringLiteral("Delete Server")), &QAction::triggered, this,
          &TfMain::miDeleteClick);
  connect(pmGrid_, &QMenu::aboutToShow, this, &TfMain::UpdateGridMenu);

  popTray_ = Named(new QMenu(this), "popTray");
  QAction* open = MenuItem(popTray_, "miNote", QStringLiteral("Open"));
  popTray_->setDefaultAction(open);
  connect(open, &QAction::triggered, this, &TfMain::ShowAndRaise);
  connect(MenuItem(popTray_, "FindNotes1", QStringLiteral("New Server...")), &QAction::triggered, this,
          &TfMain::bNewClick);
  connect(MenuItem(popTray_, "miFeedback", QStringLiteral("Feedback...")), &QAction::triggered, this,
          &TfMain::bFeedbackClick);
  popTray_->addSeparator();
  connect(MenuItem(popTray_, "miExit", QStringLiteral("Exit")), &QAction::triggered, this, &TfMain::bExitClick);

  tray_ = Named(new QSystemTrayIcon(this), "tray");
  tray_->setContextMenu(popTray_);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    // Some notification areas deliver one activation and never a double-click, so a
    // single click opens too; see trayDblClick for why a double-click may follow it.
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) trayDblClick();
  });
}

void TfMain::UpdateGridMenu() {
  for (QAction* action : pmGrid_->actions())
    if (!action->isSeparator()) action->setEnabled(listedServerCount_ > 0);
}

void TfMain::ShowPage(int page) {
  if (page >= 0 && page < pcTabs_->count() && pcTabs_->currentIndex() != page) pcTabs_->setCurrentIndex(page);
}

bool TfMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == grid_->viewport() && event->type() == QEvent::MouseButtonPress)
    GridMouseDown(static_cast<QMouseEvent*>(event)->position().toPoint());
  if (watched == lURL_ && event->type() == QEvent::MouseButtonRelease) lURLClick();
  return QWidget::eventFilter(watched, event);
}

void TfMain::closeEvent(QCloseEvent* event) {
  if (!Ui().Confirm("Are you sure you want to exit Dravik Server?")) {
    event->ignore();
    return;
  }
  event->accept();
  Quit();
}

void TfMain::ShowTray() {
  tray_->setToolTip(QString::fromLatin1(kMainWindowTitle));
  tray_->show();
}

void TfMain::SetTrayImage(int image) {
  trayImage_ = image;
  tray_->setIcon(ServerImages().Icon(image));
}

void TfMain::UpdateTrayIcon(int runningServerCount) {
  SetTrayImage(runningServerCount <= 0 ? kImgMainTrayIdle : kImgMainTrayRunning);
}

// A second call within the delay adds its entry without restarting the timer, and
// never replaces the first: that icon would go on showing a client that has gone.
void TfMain::StartGlitchTimer(int index) {
  glitchTags_.insert(index);
  if (!tGlitch_->isActive()) tGlitch_->start();
}

void TfMain::AddActivityLine(const std::string& line) {
  QTextDocument* lines = mLog_->document();
  const int count = lines->isEmpty() ? 0 : lines->blockCount();
  if (count > kLogKeepLimit) {
    QTextCursor oldest(lines);
    oldest.movePosition(QTextCursor::Start);
    oldest.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, kLogDropLines);
    oldest.removeSelectedText();
  }
  mLog_->appendPlainText(ToQt(line));
  mLog_->verticalScrollBar()->setValue(mLog_->verticalScrollBar()->maximum());
}

void TfMain::ShowServerLog(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= ServerRegistry.size()) return;
  TServerSocket& entry = ServerRegistry[index];
  QPointer<TfLog>& window = logWindows_[index];
  if (!entry.LogWindowCreated || !window) {
    window = new TfLog(index, QStringLiteral("Server Log (%1)").arg(ToQt(entry.Definition.Name)), this);
    entry.LogWindowCreated = true;
  }
  entry.LogWindowVisible = true;
  window->show();
  window->raise();
}

TfLog* TfMain::LogWindow(int index) const {
  auto it = logWindows_.find(index);
  return it == logWindows_.end() ? nullptr : it->second.data();
}

void TfMain::AppendLogLine(int index, const std::string& line) {
  if (TfLog* window = LogWindow(index)) window->AppendLogLine(line);
}

void TfMain::CloseLogWindow(int index) {
  auto it = logWindows_.find(index);
  if (it == logWindows_.end()) return;
  if (TfLog* window = it->second.data()) {
    window->hide();
    window->deleteLater();
  }
  logWindows_.erase(it);
}

void TfMain::lURLClick() { OpenUrl(lURL_->text()); }

// Without a notification area a hidden window could not be found again, so it only
// goes down to the task bar there.
void TfMain::bCloseClick() {
  if (QSystemTrayIcon::isSystemTrayAvailable())
    hide();
  else
    showMinimized();
}

// Tray icons also run this on a single click, and on X11 a double-click arrives as a
// click and then a double-click. Acting at once on both, rather than waiting out the
// double-click interval, keeps a single click prompt; the second run is harmless
// because choosing the Servers page and showing and raising the window are idempotent.
void TfMain::trayDblClick() {
  tsTabs_->setCurrentIndex(kPageServers);
  ShowPage(kPageServers);
  ShowAndRaise();
}

void TfMain::bExitClick() { close(); }

void TfMain::ShowAndRaise() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
  QGuiApplication::sync();
}

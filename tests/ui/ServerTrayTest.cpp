#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include <QAbstractButton>
#include <QDialog>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStackedWidget>
#include <QSystemTrayIcon>

#include "DesktopTestSupport.h"
#include "UiTestSupport.h"
#include "ui/Icons.h"
#include "ui/ServerTray.h"
#include "ui/frmLog.h"

namespace {

// The text after the "[h:nn AM] " stamp.
std::string Text(const QString& line) {
  const std::string s = line.toStdString();
  const auto end = s.find("] ");
  return end == std::string::npos ? s : s.substr(end + 2);
}

std::vector<std::string> Texts(const QStringList& lines) {
  std::vector<std::string> texts;
  for (const QString& line : lines) texts.push_back(Text(line));
  return texts;
}

}  // namespace

class ServerTray : public DesktopTest {
protected:
  // Starts a tray'd server and returns its registry entry.
  int Start(const std::string& name, int type = kTypeWeb) {
    TServerFile server = Definition(name, type);
    server.Tray = true;
    const std::string path = WriteDefinition(name, server);
    EXPECT_TRUE(StartServer(path));
    return FindRunningServer(path);
  }
  TServerTrays& Trays() { return main_->ServerTrays(); }
  void RightClick(int entry) {
    Trays().ServerTrayMouseUp(entry, Qt::RightButton);
    Trays().Menu().close();
  }
};

TEST_F(ServerTray, HintAndImageFollowTypeAndClients) {
  const int web = Start("Pages");
  const int ftp = Start("Files", kTypeFtp);
  EXPECT_EQ(Trays().TrayHint(web).toStdString(),
            "Pages (Web Server)\nClients Connected: 0\n(Right-click for more options)");
  EXPECT_EQ(Trays().TrayImage(web), kImgWebTrayIdle);
  EXPECT_EQ(Trays().TrayImage(ftp), kImgFtpTrayIdle);

  FakeEngines()[ftp]->Clients = {"10.0.0.1", "10.0.0.2"};
  UpdateServerTray(ftp);
  EXPECT_EQ(Trays().TrayImage(ftp), kImgFtpTrayBusy);
  EXPECT_EQ(Trays().TrayHint(ftp).toStdString(),
            "Files (FTP Server)\nClients Connected: 2\n(Right-click for more options)");
}

TEST_F(ServerTray, MenuActsOnTheIconRightClickedLast) {
  const int a = Start("A");
  const int b = Start("B");
  RightClick(a);
  RightClick(b);
  Trays().StopServer1Click();
  EXPECT_TRUE(ServerRegistry[a].Running);
  EXPECT_FALSE(ServerRegistry[b].Running);
  EXPECT_FALSE(Trays().HasTray(b));
  EXPECT_TRUE(Trays().HasTray(a));
}

TEST_F(ServerTray, DisplayConnectionsListsEachClientInTheLogWindow) {
  const int entry = Start("Files", kTypeFtp);
  FakeEngines()[entry]->Clients = {"192.168.1.20", "192.168.1.21", "192.168.1.22"};
  UpdateServerTray(entry);
  RightClick(entry);
  Trays().DisplayClients1Click();

  TfLog* window = main_->LogWindow(entry);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle().toStdString(), "Server Log (Files)");
  const auto texts = Texts(window->Lines());
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_TRUE(texts[0].starts_with("FTP Server Started on "));
  EXPECT_EQ(std::vector<std::string>(texts.begin() + 1, texts.end()),
            (std::vector<std::string>{"[00] 192.168.1.20", "[01] 192.168.1.21", "[02] 192.168.1.22"}));
}

TEST_F(ServerTray, DisplayConnectionsWithoutClientsSaysSo) {
  const int entry = Start("Pages");
  RightClick(entry);
  Trays().DisplayClients1Click();
  EXPECT_EQ(Texts(main_->LogWindow(entry)->Lines()).back(), "No clients connected.");
  EXPECT_EQ(ServerRegistry[entry].Log.size(), 2u);
}

TEST_F(ServerTray, ClosedLogWindowComesBackWithTheWholeLog) {
  const int entry = Start("Pages");
  RightClick(entry);
  Trays().Displayallclients1Click();
  TfLog* window = main_->LogWindow(entry);
  ASSERT_NE(window, nullptr);
  AddLogLine(entry, "while open");
  EXPECT_EQ(Texts(window->Lines()).back(), "while open");

  Child<QAbstractButton>(*window, "bClose")->click();
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(ServerRegistry[entry].LogWindowVisible);
  AddLogLine(entry, "while hidden");
  EXPECT_EQ(Texts(window->Lines()).back(), "while open");

  Trays().Displayallclients1Click();
  EXPECT_EQ(main_->LogWindow(entry), window);
  EXPECT_EQ(Texts(window->Lines()).back(), "while hidden");
  EXPECT_EQ(window->Lines().size(), 3);
}

TEST_F(ServerTray, LogWindowOpensAndStaysAtItsNewestLine) {
  // However long the name in its caption, the window keeps its size and its close
  // button stays on it.
  TServerFile server = Definition("Pages " + std::string(300, 'n'), kTypeWeb);
  server.Tray = true;
  const std::string path = WriteDefinition("pages", server);
  ASSERT_TRUE(StartServer(path));
  const int entry = FindRunningServer(path);
  for (int i = 0; i < 60; ++i) AddLogLine(entry, "line " + std::to_string(i));
  RightClick(entry);
  Trays().Displayallclients1Click();
  auto* memo = Child<QPlainTextEdit>(*main_->LogWindow(entry), "mLog");
  QScrollBar* bar = memo->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  AddLogLine(entry, "newest");
  EXPECT_EQ(bar->value(), bar->maximum());
  TfLog& window = *main_->LogWindow(entry);
  EXPECT_EQ(window.width(), 450);
  auto* close = Child<QAbstractButton>(window, "bClose");
  EXPECT_LE(close->mapTo(&window, QPoint(close->width(), 0)).x(), window.width());
}

TEST_F(ServerTray, LogWindowStepsBelowAModalDialogWhileItIsOpen) {
  const int entry = Start("Pages");
  main_->ShowServerLog(entry);
  TfLog* window = main_->LogWindow(entry);
  ASSERT_TRUE(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  {
    QDialog wizard;
    wizard.setWindowModality(Qt::ApplicationModal);
    wizard.show();
    EXPECT_TRUE(WaitFor([&] { return !window->windowFlags().testFlag(Qt::WindowStaysOnTopHint); }));
  }
  EXPECT_TRUE(WaitFor([&] { return window->windowFlags().testFlag(Qt::WindowStaysOnTopHint); }));
  EXPECT_TRUE(window->isVisible());
}

TEST_F(ServerTray, StoppingTheServerClosesItsLogWindow) {
  const int entry = Start("Pages");
  RightClick(entry);
  Trays().Displayallclients1Click();
  ASSERT_NE(main_->LogWindow(entry), nullptr);
  Trays().StopServer1Click();
  EXPECT_EQ(main_->LogWindow(entry), nullptr);
}

TEST_F(ServerTray, DeleteAsksAndNoLeavesTheServerRunning) {
  const int entry = Start("Pages");
  const std::string path = ServerRegistry[entry].FileName;
  RightClick(entry);
  ui_->Answer = false;
  Trays().DeleteServer1Click();
  EXPECT_EQ(ui_->Questions, std::vector<std::string>{"Are you sure you want to permanently delete server \"Pages\" ?"});
  EXPECT_TRUE(ServerRegistry[entry].Running);
  EXPECT_TRUE(std::filesystem::exists(path));

  ui_->Answer = true;
  Trays().DeleteServer1Click();
  EXPECT_FALSE(ServerRegistry[entry].Running);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(Trays().HasTray(entry));
}

// A definition that could not be written back made Stop and Delete throw out of the
// menu's handler, and an exception escaping Qt's event loop ended the program.
TEST_F(ServerTray, UnwritableDefinitionIsReportedNotThrownFromTheMenu) {
  const int stopped = Start("Stopped");
  const int deleted = Start("Deleted");
  const std::string stoppedPath = ServerRegistry[stopped].FileName;
  const std::string deletedPath = ServerRegistry[deleted].FileName;

  struct rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit tiny = saved;
  tiny.rlim_cur = 16;  // no definition fits: every save fails
  auto previous = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  RightClick(stopped);
  EXPECT_NO_THROW(Trays().StopServer1Click());
  RightClick(deleted);
  ui_->Answer = true;
  EXPECT_NO_THROW(Trays().DeleteServer1Click());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);

  EXPECT_EQ(ui_->Errors, (std::vector<std::string>{"Unable to write to " + stoppedPath,
                                                   "Unable to write to " + deletedPath}));
  EXPECT_TRUE(std::filesystem::exists(deletedPath)) << "the command ends at the failure";
}

// Only the last server named was refreshed: the first one's icon went on showing a
// client that had left.
TEST_F(ServerTray, GlitchTimerRefreshesEveryServerNamed) {
  const int a = Start("A");
  const int b = Start("B");
  FakeEngines()[a]->Clients = {"10.0.0.1"};
  FakeEngines()[b]->Clients = {"10.0.0.2"};
  main_->StartGlitchTimer(a);
  main_->StartGlitchTimer(b);
  EXPECT_TRUE(WaitFor([&] { return Trays().TrayImage(b) == kImgWebTrayBusy; }));
  EXPECT_EQ(Trays().TrayImage(a), kImgWebTrayBusy);
  EXPECT_EQ(ServerRegistry[a].ClientCount, 1);
}

TEST_F(ServerTray, SingleClickOnAServerIconOpensTheMainWindow) {
  const int entry = Start("Pages");
  auto* icon = Trays().findChild<QSystemTrayIcon*>(QStringLiteral("ServerTray%1").arg(entry));
  ASSERT_NE(icon, nullptr);
  emit icon->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(main_->isVisible());
  EXPECT_EQ(Child<QStackedWidget>(*main_, "pcTabs")->currentWidget()->objectName().toStdString(), "tsServers");
  main_->hide();
  emit icon->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(main_->isVisible());
}

TEST_F(ServerTray, RealTrayIconsAppearInTheNotificationArea) {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) GTEST_SKIP() << "no notification area on this display";
  const int entry = Start("Pages");
  auto* icon = Trays().findChild<QSystemTrayIcon*>(QStringLiteral("ServerTray%1").arg(entry));
  ASSERT_NE(icon, nullptr);
  EXPECT_TRUE(icon->isVisible());
}

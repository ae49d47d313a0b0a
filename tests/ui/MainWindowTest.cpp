#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QClipboard>
#include <QDate>
#include <QGuiApplication>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTextBlock>
#include <QTest>

#include "DesktopTestSupport.h"
#include "UiTestSupport.h"
#include "ui/HttpProt.h"
#include "ui/Icons.h"
#include "ui/MarkupGrid.h"
#include "ui/ServerTray.h"
#include "ui/uGridDraw.h"
#include "platform/LocalAddress.h"

namespace {

// What a cell shows, line by line, with each icon as "#n".
std::vector<std::string> CellLines(int markupIndex) {
  std::vector<std::string> lines(1);
  const TMarkupList* tokens = MarkupEntry(markupIndex);
  if (!tokens) return {};
  for (const TMarkupToken& token : *tokens) {
    if (token.Kind == mkText) lines.back() += token.Text;
    if (token.Kind == mkImage) lines.back() += "#" + token.Text;
    if (token.Kind == mkNewLine) lines.emplace_back();
  }
  return lines;
}

std::vector<std::string> FolderNames(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  if (!std::filesystem::exists(folder)) return names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

}  // namespace

class MainWindow : public DesktopTest {
protected:
  TMarkupGrid& Grid() { return *Child<TMarkupGrid>(*main_, "grid"); }
  std::vector<std::string> Row(int row, int column = 1) { return CellLines(Grid().CellMarkup(column, row)); }
  QAction* Action(const char* menu, const char* name) {
    return Child<QMenu>(*main_, menu)->findChild<QAction*>(QString::fromLatin1(name));
  }
  // Selects `row` and runs the command behind a menu item of the grid.
  void OnRow(int row, void (TfMain::*command)()) {
    main_->SelectRow(row);
    (main_.get()->*command)();
  }
};

TEST_F(MainWindow, StartsOnTheAboutPageWithItsTitles) {
  EXPECT_EQ(main_->windowTitle().toStdString(), "Dravik Server version 1.0");
  EXPECT_EQ(Child<QPushButton>(*main_, "bExit")->text().toStdString(), "Exit Dravik Server");
  EXPECT_EQ(Child<QStackedWidget>(*main_, "pcTabs")->currentWidget()->objectName().toStdString(), "tsAbout");
  main_->trayDblClick();
  EXPECT_EQ(Child<QStackedWidget>(*main_, "pcTabs")->currentWidget()->objectName().toStdString(), "tsServers");
  EXPECT_TRUE(main_->isVisible());
}

TEST_F(MainWindow, TrayIconOpensOnASingleClickAsOnADoubleClick) {
  auto* tray = main_->findChild<QSystemTrayIcon*>(QStringLiteral("tray"));
  ASSERT_NE(tray, nullptr);
  auto* pages = Child<QStackedWidget>(*main_, "pcTabs");
  emit tray->activated(QSystemTrayIcon::Context);
  EXPECT_FALSE(main_->isVisible());
  emit tray->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(main_->isVisible());
  EXPECT_EQ(pages->currentWidget()->objectName().toStdString(), "tsServers");

  // X11 sends a click before the double-click: the second run must leave it as it is.
  main_->hide();
  emit tray->activated(QSystemTrayIcon::Trigger);
  emit tray->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(main_->isVisible());
  EXPECT_EQ(pages->currentWidget()->objectName().toStdString(), "tsServers");

  main_->hide();
  emit tray->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(main_->isVisible());
}

TEST_F(MainWindow, EmptyFolderShowsOnlyTheNoServersRowAndDisablesRowCommands) {
  main_->RefreshServers();
  EXPECT_EQ(main_->ListedServerCount(), 0);
  ASSERT_EQ(Grid().rowCount(), 1);
  EXPECT_EQ(Grid().rowHeight(0), 31);
  EXPECT_EQ(Row(0), std::vector<std::string>{"No servers found. To create a new server, click \"New Server...\""});

  QMenu* menu = Child<QMenu>(*main_, "pmGrid");
  emit menu->aboutToShow();
  for (const char* item : {"miLink", "miEdit", "miToggle", "miDelete"})
    EXPECT_FALSE(Action("pmGrid", item)->isEnabled()) << item;

  bool wizardRan = false;
  main_->RunWizard = [&](TServerFile&, bool) { return wizardRan = true; };
  main_->gridDblClick();
  main_->miDeleteClick();
  main_->miToggleClick();
  EXPECT_FALSE(wizardRan);
  EXPECT_TRUE(ui_->Questions.empty());
}

TEST_F(MainWindow, RowsShowNameTypeSettingsAndShares) {
  TServerFile ftp = Definition("Files", kTypeFtp, 21);
  ftp.Tray = true;
  ftp.Directories = {{"C:\\Pub", "", true, false, true}, {"C:\\Locked", "", false, false, false}};
  ftp.Files = {{"C:\\notes.txt", "Notes"}};
  ftp.DirectoryCount = 2;
  ftp.FileCount = 1;
  WriteDefinition("a", ftp);
  TServerFile web = Definition("Pages", kTypeWeb, 80);
  web.Multiple = true;
  WriteDefinition("b", web);
  WriteDefinition("c", Definition("Odd", 7, 9));
  std::filesystem::create_directories(servers_ + "/folder.server");

  main_->RefreshServers();
  ASSERT_EQ(main_->ListedServerCount(), 3);
  EXPECT_EQ(Row(0), (std::vector<std::string>{"Name: Files", "Type: FTP Server",
                                              "Settings: Multi-user: OFF, Tray Icon: ON, Port: 21",
                                              "Folder: [Read, Recursive] C:\\Pub",
                                              "Folder: [, Non-Recursive] C:\\Locked", "File: C:\\notes.txt"}));
  // Without shares the cell ends after the Settings line.
  EXPECT_EQ(Row(1), (std::vector<std::string>{"Name: Pages", "Type: Web Server",
                                              "Settings: Multi-user: ON, Tray Icon: OFF, Port: 80", ""}));
  EXPECT_EQ(Row(2)[1], "Type: ");
  EXPECT_EQ(Row(0, 0), (std::vector<std::string>{"  #2  ", "  #0  "}));
  EXPECT_EQ(Row(1, 0), (std::vector<std::string>{"  #3  ", "  #0  "}));
}

TEST_F(MainWindow, BadColourInANameStillListsEveryServer) {
  WriteDefinition("a", Definition("<!FNT=clNoSuchColour>Odd", kTypeFtp));
  WriteDefinition("b", Definition("<!FNT=clRed>Red", kTypeWeb));
  main_->RefreshServers();
  ASSERT_EQ(main_->ListedServerCount(), 2);
  EXPECT_EQ(Row(0)[0], "Name: <FNT=clNoSuchColour>Odd");
  EXPECT_EQ(Row(1)[0], "Name: Red");  // a valid tag in a name still takes effect
}

TEST_F(MainWindow, SelectedRowIsLitWholeStaysOnItsServerAndNeverScrollsSideways) {
  WriteDefinition("b", Definition("Beta", kTypeFtp));
  const std::string gamma = WriteDefinition("c", Definition("Gamma", kTypeWeb));
  main_->RefreshServers();
  main_->trayDblClick();
  TMarkupGrid& grid = Grid();
  ASSERT_TRUE(WaitFor([&] { return grid.isVisible(); }));

  // A click in the text column used to scroll the grid sideways and cut the icons.
  const QPoint inText(300, grid.rowViewportPosition(1) + 5);
  QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, inText);
  EXPECT_EQ(main_->SelectedRow(), 1);
  EXPECT_EQ(grid.columnViewportPosition(0), 0);
  EXPECT_EQ(grid.horizontalScrollBar()->maximum(), 0);

  // Both cells of the selected row are lit, not just framed; blank spots near the
  // bottom of each row hold only background.
  const QImage shot = grid.viewport()->grab().toImage();
  auto bottom = [&](int row) { return grid.rowViewportPosition(row) + grid.rowHeight(row) - 4; };
  for (const int x : {2, 400})
    EXPECT_GT(qGray(shot.pixel(x, bottom(1))), qGray(shot.pixel(x, bottom(0))) + 20) << "x " << x;

  // A server listed ahead of it moves the row; the selection goes with the server.
  WriteDefinition("a", Definition("Alpha", kTypeFtp));
  main_->RefreshServers();
  ASSERT_EQ(main_->ListedServerCount(), 3);
  EXPECT_EQ(main_->ServerFiles().at(main_->SelectedRow()), gamma);
}

TEST_F(MainWindow, NewServerCreatesTheFolderAFileAndStartsIt) {
  main_->RunWizard = [](TServerFile& server, bool editMode) {
    EXPECT_FALSE(editMode);
    server = Definition("Fresh", kTypeWeb, 8080);
    server.Active = true;
    return true;
  };
  ASSERT_FALSE(std::filesystem::exists(servers_));
  main_->bNewClick();

  const auto names = FolderNames(servers_);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(names[0].ends_with(".server"));
  EXPECT_GE(names[0].size(), std::string("26120611470507.server").size());
  const std::string path = servers_ + "/" + names[0];
  EXPECT_TRUE(ReadBack(path).Active);
  EXPECT_GE(FindRunningServer(path), 0);
  EXPECT_EQ(main_->ListedServerCount(), 1);
  EXPECT_EQ(Row(0, 0)[1], "  #1  ");
  EXPECT_EQ(main_->TrayImage(), kImgMainTrayRunning);
}

TEST_F(MainWindow, CancelledWizardWritesNothing) {
  main_->RunWizard = [](TServerFile&, bool) { return false; };
  main_->bNewClick();
  EXPECT_TRUE(FolderNames(servers_).empty());
  EXPECT_TRUE(ServerRegistry.empty());
}

TEST_F(MainWindow, ToggleStartsAndStopsTheSelectedServer) {
  WriteDefinition("a", Definition("First", kTypeFtp));
  const std::string second = WriteDefinition("b", Definition("Second", kTypeWeb));
  main_->RefreshServers();

  OnRow(1, &TfMain::miToggleClick);
  EXPECT_GE(FindRunningServer(second), 0);
  EXPECT_TRUE(ReadBack(second).Active);
  EXPECT_EQ(Row(1, 0)[1], "  #1  ");
  EXPECT_EQ(Row(0, 0)[1], "  #0  ");

  OnRow(1, &TfMain::miToggleClick);
  EXPECT_LT(FindRunningServer(second), 0);
  EXPECT_FALSE(ReadBack(second).Active);
  EXPECT_EQ(main_->TrayImage(), kImgMainTrayIdle);
}

TEST_F(MainWindow, DeleteAsksByNameAndStopsARunningServerFirst) {
  TServerFile server = Definition("Doomed", kTypeWeb);
  server.Tray = true;
  const std::string path = WriteDefinition("a", server);
  ASSERT_TRUE(StartServer(path));
  const int entry = FindRunningServer(path);
  main_->RefreshServers();
  ASSERT_TRUE(main_->ServerTrays().HasTray(entry));

  ui_->Answer = false;
  OnRow(0, &TfMain::miDeleteClick);
  EXPECT_EQ(ui_->Questions, std::vector<std::string>{"Are you sure you want to delete server Doomed?"});
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_GE(FindRunningServer(path), 0);

  ui_->Answer = true;
  OnRow(0, &TfMain::miDeleteClick);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_LT(FindRunningServer(path), 0);
  EXPECT_FALSE(main_->ServerTrays().HasTray(entry));
  EXPECT_EQ(main_->ListedServerCount(), 0);
}

TEST_F(MainWindow, EditingARunningServerRestartsItWithTheChanges) {
  TServerFile server = Definition("Before", kTypeWeb, 8000);
  const std::string path = WriteDefinition("a", server);
  ASSERT_TRUE(StartServer(path));
  main_->RefreshServers();

  main_->RunWizard = [](TServerFile& edited, bool editMode) {
    EXPECT_TRUE(editMode);
    EXPECT_EQ(edited.Name, "Before");
    edited.Name = "After";
    edited.Active = false;  // the wizard's copy was read while it was stopped
    return true;
  };
  main_->gridDblClick();
  const int entry = FindRunningServer(path);
  ASSERT_GE(entry, 0);
  EXPECT_EQ(ServerRegistry[entry].Definition.Name, "After");
  EXPECT_TRUE(ReadBack(path).Active);
  EXPECT_EQ(Row(0)[0], "Name: After");
}

TEST_F(MainWindow, CancelledEditLeavesARunningServerRunning) {
  const std::string path = WriteDefinition("a", Definition("Kept", kTypeWeb));
  ASSERT_TRUE(StartServer(path));
  main_->RefreshServers();
  main_->RunWizard = [](TServerFile& edited, bool) {
    edited.Name = "Changed";
    return false;
  };
  main_->gridDblClick();
  EXPECT_GE(FindRunningServer(path), 0);
  EXPECT_EQ(ReadBack(path).Name, "Kept");
  EXPECT_EQ(Row(0, 0)[1], "  #1  ");
}

TEST_F(MainWindow, ActivityLogDropsItsOldestHundredPastTwoHundredLinesAndWrapsLongOnes) {
  auto* log = Child<QPlainTextEdit>(*main_, "mLog");
  for (int i = 0; i < 201; ++i) main_->AddActivityLine("line " + std::to_string(i));
  EXPECT_EQ(log->document()->blockCount(), 201);
  main_->AddActivityLine("line 201");
  EXPECT_EQ(log->document()->blockCount(), 102);
  EXPECT_EQ(log->document()->firstBlock().text().toStdString(), "line 100");
  EXPECT_EQ(log->document()->lastBlock().text().toStdString(), "line 201");
  // A line wider than the memo wraps: it used to scroll the view to its end.
  main_->trayDblClick();
  Child<QTabBar>(*main_, "tsTabs")->setCurrentIndex(1);
  ASSERT_TRUE(WaitFor([&] { return log->isVisible(); }));
  main_->AddActivityLine(std::string(400, 'w'));
  QCoreApplication::processEvents();
  EXPECT_EQ(log->horizontalScrollBar()->value(), 0);
  EXPECT_EQ(log->horizontalScrollBar()->maximum(), 0);
}

TEST_F(MainWindow, ExitHappensOnlyAfterYes) {
  int quits = 0;
  main_->Quit = [&quits] { ++quits; };
  main_->show();
  ui_->Answer = false;
  main_->bExitClick();
  EXPECT_TRUE(main_->isVisible());
  EXPECT_EQ(quits, 0);
  ui_->Answer = true;
  main_->bExitClick();
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(ui_->Questions.back(), "Are you sure you want to exit Dravik Server?");
}

TEST_F(MainWindow, ExitFromTheTrayWorksWhileTheWindowIsHidden) {
  int quits = 0;
  main_->Quit = [&quits] { ++quits; };
  main_->bExitClick();  // never shown: the program started behind its tray icon
  EXPECT_EQ(quits, 1);
  main_->show();
  main_->bCloseClick();
  ui_->Answer = false;
  main_->bExitClick();
  EXPECT_EQ(ui_->Questions.size(), 2u);
  ui_->Answer = true;
  main_->bExitClick();
  EXPECT_EQ(quits, 2);
}

TEST_F(MainWindow, FeedbackCallsTheLibraryOrOpensTheFeedbackPage) {
  QString opened;
  main_->OpenUrl = [&](const QString& url) { opened = url; };
  main_->bFeedbackClick();
  EXPECT_TRUE(ui_->Errors.empty());
  EXPECT_EQ(opened.toStdString(), "http://www.dravikserver.com/cgi-bin/feedback.cgi");

  ui_->Errors.clear();
  main_->FeedbackLibrary = FEEDBACK_STUB_BARE;
  main_->bFeedbackClick();
  EXPECT_EQ(ui_->Errors, std::vector<std::string>{"Function FeedbackManager() not found"});

  ui_->Errors.clear();
  const std::string record = (root_ / "feedback.txt").string();
  ::setenv("DRAVIK_FEEDBACK_RECORD", record.c_str(), 1);
  main_->FeedbackLibrary = FEEDBACK_STUB;
  main_->bFeedbackClick();
  ::unsetenv("DRAVIK_FEEDBACK_RECORD");
  EXPECT_TRUE(ui_->Errors.empty());
  std::ifstream in(record);
  const std::string call((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(call, "0 0 400 350 1\n8 FFFFFF Verdana 8\n804000 FFFFFF Verdana 8\n0\nDravik Server\n" +
                      QDate::currentDate().toString(QStringLiteral("MM/dd/yy")).toStdString() +
                      "\nhttp://www.dravikserver.com/cgi-bin/feedback.cgi\n");
}

TEST(ServerLink, IsBuiltFromSchemeLoginAddressAndPort) {
  TServerFile server;
  server.Type = kTypeWeb;
  server.Port = 80;
  EXPECT_EQ(BuildServerLink("10.0.0.1", server), "http://10.0.0.1:80/");
  server.Type = kTypeFtp;
  server.Port = 21;
  server.Username = "ann";
  server.Password = "pw";
  EXPECT_EQ(BuildServerLink("1.2.3.4\r\n", server), "ftp://ann:pw@1.2.3.4\r\n:21/");
  server.Username.clear();
  EXPECT_EQ(BuildServerLink("h", server), "ftp://:pw@h:21/");
  server.Username = "ann:b";
  server.Password = "p@ss/w#rd é";
  EXPECT_EQ(BuildServerLink("h", server), "ftp://ann%3Ab:p%40ss%2Fw%23rd%20%C3%A9@h:21/");
  server.Type = 7;
  EXPECT_EQ(BuildServerLink("h", server), "");
}

class MainWindowLink : public MainWindow {
protected:
  void SetUp() override {
    MainWindow::SetUp();
    SetPublicAddressUrl(http_.Url());
    server_ = Definition("Files", kTypeFtp, 21);
    WriteDefinition("a", server_);
    main_->RefreshServers();
    main_->LinkBox = [this](const std::string& text) {
      Boxes.push_back(text);
      return Yes;
    };
    main_->LanAddress = [this] { return Lan; };
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
  }
  void TearDown() override {
    SetPublicAddressUrl({});
    SetPublicAddressTimeLimit({});
    MainWindow::TearDown();
  }
  static std::string LocalBox(const std::string& link) {
    return "Link: " + link +
           "\r\n(If you have a firewall, make sure port 21 is not blocked)\r\n"
           "(local address: the public address could not be looked up)\r\n\r\nCopy to clipboard?";
  }

  TCannedHttpServer http_;
  TServerFile server_;
  std::vector<std::string> Boxes;
  bool Yes = true;
  std::string Lan = "192.168.7.20";
};

TEST_F(MainWindowLink, AsksWithTheLinkAndCopiesItOnYes) {
  http_.Reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n1.2.3.4";
  OnRow(0, &TfMain::miLinkClick);
  ASSERT_EQ(Boxes.size(), 1u);
  EXPECT_EQ(Boxes[0],
            "Link: ftp://1.2.3.4:21/\r\n(If you have a firewall, make sure port 21 is not blocked)\r\n\r\n"
            "Copy to clipboard?");
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "ftp://1.2.3.4:21/");
}

TEST_F(MainWindowLink, ServerThatRunsWithTlsIsLinkedEncryptedAndOnlyThen) {
  http_.Reply = "HTTP/1.0 200 OK\r\n\r\n1.2.3.4";
  const std::string path = main_->ServerFiles().at(0);
  ASSERT_TRUE(StartServer(path));
  main_->RefreshServers();
  OnRow(0, &TfMain::miLinkClick);
  FakeEngines()[FindRunningServer(path)]->Tls = true;
  OnRow(0, &TfMain::miLinkClick);
  const std::string copied = QGuiApplication::clipboard()->text().toStdString();
  StopServer(path);
  main_->RefreshServers();
  OnRow(0, &TfMain::miLinkClick);

  ASSERT_EQ(Boxes.size(), 3u);
  EXPECT_TRUE(Boxes[0].starts_with("Link: ftp://1.2.3.4:21/\r\n")) << Boxes[0];
  EXPECT_EQ(Boxes[1],
            "Link: ftpes://1.2.3.4:21/\r\n(If you have a firewall, make sure port 21 is not blocked)\r\n\r\n"
            "Copy to clipboard?");
  EXPECT_EQ(copied, "ftpes://1.2.3.4:21/");
  EXPECT_TRUE(Boxes[2].starts_with("Link: ftp://1.2.3.4:21/\r\n")) << Boxes[2];
}

TEST_F(MainWindowLink, PortPickedBySystemIsShownAndLinkedWhileRunning) {
  http_.Reply = "HTTP/1.0 200 OK\r\n\r\n1.2.3.4";
  const std::string path = main_->ServerFiles().at(0);
  server_.Port = 0;
  WriteServerFile(path, server_);
  ASSERT_TRUE(StartServer(path));
  main_->RefreshServers();
  OnRow(0, &TfMain::miLinkClick);
  const std::vector<std::string> running = Row(0);
  StopServer(path);
  main_->RefreshServers();

  ASSERT_EQ(Boxes.size(), 1u);
  EXPECT_TRUE(Boxes[0].starts_with("Link: ftp://1.2.3.4:43210/\r\n(If you have a firewall, make sure port 43210 "))
      << Boxes[0];
  EXPECT_NE(running.at(2).find("Port: 43210"), std::string::npos) << running.at(2);
  EXPECT_NE(Row(0).at(2).find("Port: 0"), std::string::npos) << Row(0).at(2);
  EXPECT_EQ(ReadBack(path).Port, 0);
}

TEST_F(MainWindowLink, TrayLinkOfAWebServerWithTlsIsHttps) {
  http_.Reply = "HTTP/1.0 200 OK\r\n\r\n1.2.3.4";
  TServerFile web = Definition("Pages", kTypeWeb, 8080);
  web.Tray = true;
  web.Username = "ann";
  web.Password = "pw";
  const std::string path = WriteDefinition("b", web);
  ASSERT_TRUE(StartServer(path));
  const int entry = FindRunningServer(path);
  TServerTrays& trays = main_->ServerTrays();
  trays.ServerTrayMouseUp(entry, Qt::RightButton);
  trays.Menu().close();
  trays.GetLink1Click();
  FakeEngines()[entry]->Tls = true;
  trays.GetLink1Click();
  ASSERT_EQ(Boxes.size(), 2u);
  EXPECT_TRUE(Boxes[0].starts_with("Link: http://ann:pw@1.2.3.4:8080/\r\n")) << Boxes[0];
  EXPECT_TRUE(Boxes[1].starts_with("Link: https://ann:pw@1.2.3.4:8080/\r\n")) << Boxes[1];
}

TEST_F(MainWindowLink, CancelLeavesTheClipboardAlone) {
  http_.Reply = "HTTP/1.0 200 OK\r\n\r\n1.2.3.4";
  Yes = false;
  OnRow(0, &TfMain::miLinkClick);
  EXPECT_EQ(Boxes.size(), 1u);
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "before");
}

TEST_F(MainWindowLink, FailedLookupWithoutALocalAddressShowsItsTextInsteadOfTheBox) {
  http_.Reply = "HTTP/1.0 404 Not Found\r\n\r\n";
  Lan.clear();
  OnRow(0, &TfMain::miLinkClick);
  EXPECT_TRUE(Boxes.empty());
  EXPECT_EQ(ui_->Errors, std::vector<std::string>{"Not Found"});
}

TEST_F(MainWindowLink, SilentLookupIsGivenUpAndTheLocalLinkOffered) {
  http_.Silent = true;
  SetPublicAddressTimeLimit(std::chrono::milliseconds(300));
  const auto began = std::chrono::steady_clock::now();
  OnRow(0, &TfMain::miLinkClick);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  ASSERT_EQ(Boxes.size(), 1u);
  EXPECT_EQ(Boxes[0], LocalBox("ftp://192.168.7.20:21/"));
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "ftp://192.168.7.20:21/");
  EXPECT_TRUE(ui_->Errors.empty());
}

TEST_F(MainWindowLink, RefusedLookupOffersThisMachinesLanAddress) {
  // A port that was just free on the loopback refuses the connection.
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(probe, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size), 0);
  close(probe);
  SetPublicAddressUrl("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/cgi-bin/getip.cgi");

  main_->LanAddress = FirstLanIPv4Address;
  const std::string lan = FirstLanIPv4Address();
  if (lan.empty()) GTEST_SKIP() << "this machine has no IPv4 interface that is up and not a loopback";
  OnRow(0, &TfMain::miLinkClick);
  ASSERT_EQ(Boxes.size(), 1u);
  EXPECT_EQ(Boxes[0], LocalBox("ftp://" + lan + ":21/"));
}

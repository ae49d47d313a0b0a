#include <gtest/gtest.h>

#include <filesystem>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include "UiTestSupport.h"
#include "platform/PortPrivilege.h"
#include "ui/MarkupGrid.h"
#include "ui/frmAddShare.h"
#include "ui/frmNewServer.h"
#include "ui/uGridDraw.h"

namespace {

TServerFile Definition(int type, std::vector<TDirectory> directories, std::vector<TFile> files = {}) {
  TServerFile server;
  server.Name = "Files";
  server.Banner.clear();
  server.Type = static_cast<std::uint8_t>(type);
  server.Directories = std::move(directories);
  server.Files = std::move(files);
  server.DirectoryCount = static_cast<std::int32_t>(server.Directories.size());
  server.FileCount = static_cast<std::int32_t>(server.Files.size());
  server.Port = 2121;
  server.Multiple = true;
  server.Tray = false;
  server.Active = true;
  return server;
}

class NewServerWizard : public testing::Test {
protected:
  void SetUp() override {
    auto ui = std::make_unique<TRecordingUi>();
    ui_ = ui.get();
    previous_ = SetUi(std::move(ui));
    // The proposals depend on who runs the tests; pin them to a user who may bind anything.
    previousCheck_ = SetPortPrivilegeCheck([](int) { return true; });
  }
  void TearDown() override {
    SetPortPrivilegeCheck(std::move(previousCheck_));
    SetUi(std::move(previous_));
  }

  void Open(const TServerFile& server, bool editMode) {
    wizard_ = std::make_unique<TfNewServer>(server, editMode);
    wizard_->show();
  }
  template <class T = QWidget>
  T* W(const char* name) {
    return Child<T>(*wizard_, name);
  }
  bool Shown(const char* name) { return W(name) && W(name)->isVisible(); }
  QString Text(const char* name) { return W<QLineEdit>(name)->text(); }
  void Type(const char* name, const QString& text) { W<QLineEdit>(name)->setText(text); }
  void Click(const char* name) {
    auto* button = W<QAbstractButton>(name);
    ASSERT_TRUE(button->isVisible() && button->isEnabled()) << name << " cannot be clicked";
    button->click();
  }
  QWidget* Page() { return W<QStackedWidget>("pcPages")->currentWidget(); }
  std::string PageName() { return Page()->objectName().toStdString(); }

  // Fills in the share dialog that the next click opens, and presses OK.
  static void AnswerShareDialog(const QString& path, const QString& description, bool write = false,
                                bool recursive = false) {
    QTimer::singleShot(0, [=] {
      ASSERT_TRUE(WaitFor([] { return qobject_cast<TfAddShare*>(QApplication::activeModalWidget()); }));
      auto* dialog = qobject_cast<TfAddShare*>(QApplication::activeModalWidget());
      Child<QLineEdit>(*dialog, "ePath")->setText(path);
      Child<QLineEdit>(*dialog, "eDesc")->setText(description);
      if (write) Child<QCheckBox>(*dialog, "cbWrite")->click();
      if (recursive) Child<QCheckBox>(*dialog, "cbRecursive")->click();
      Child<QPushButton>(*dialog, "bOK")->click();
    });
  }

  // Writes the finished definition and reads it back as the main window would.
  TServerFile SavedAndLoaded() {
    const auto path = std::filesystem::temp_directory_path() /
                      ("wizard-" + std::to_string(::getpid()) + ".server");
    EXPECT_TRUE(WriteServerFile(path.string(), wizard_->Server()));
    TServerFile loaded;
    EXPECT_TRUE(ReadServerFile(path.string(), loaded));
    std::filesystem::remove(path);
    return loaded;
  }

  TRecordingUi* ui_ = nullptr;
  std::unique_ptr<ServerUi> previous_;
  TPortPrivilegeCheck previousCheck_;
  std::unique_ptr<TfNewServer> wizard_;
};

TEST_F(NewServerWizard, NewFtpServerTakesFtpDefaultsAndSavesItsFolder) {
  Open(TServerFile(), false);
  EXPECT_FALSE(Shown("bBack"));
  Click("bNext");
  EXPECT_EQ(PageName(), "tsShares");
  EXPECT_FALSE(Shown("bNext"));
  EXPECT_FALSE(Shown("bAddFile2"));
  EXPECT_FALSE(Shown("gShares"));

  AnswerShareDialog("/srv/pub", "Public", false, true);
  Click("bAddPath2");
  EXPECT_TRUE(Shown("gShares"));
  EXPECT_TRUE(Shown("bAddPath"));
  EXPECT_FALSE(Shown("bAddFile"));
  EXPECT_EQ(W("bAddPath")->x(), 13);
  auto* grid = W<TMarkupGrid>("gShares");
  ASSERT_EQ(grid->rowCount(), 1);
  EXPECT_EQ(grid->CellText(1, 0), "Directory: C:\\srv\\pub\rDescription: Public\rAccess: Read, Recursive");
  EXPECT_EQ(grid->rowHeight(0), 3 * 13 + 10);

  Click("bNext");
  EXPECT_EQ(PageName(), "tsOptions");
  EXPECT_EQ(Text("ePort"), "21");
  EXPECT_EQ(Text("eDescription"), "");
  EXPECT_FALSE(W<QCheckBox>("cbLogin")->isChecked());
  EXPECT_FALSE(Shown("gbLogin"));
  EXPECT_FALSE(W<QCheckBox>("cbMultiple")->isChecked());
  EXPECT_TRUE(W<QCheckBox>("cbTray")->isChecked());
  EXPECT_EQ(W<QPushButton>("bNext")->text(), "Finish");

  Type("eDescription", "Files");
  Click("bNext");
  EXPECT_EQ(wizard_->result(), QDialog::Accepted);
  const TServerFile saved = SavedAndLoaded();
  EXPECT_EQ(saved.Name, "Files");
  EXPECT_EQ(saved.Type, kTypeFtp);
  EXPECT_EQ(saved.Port, 21);
  EXPECT_TRUE(saved.Active);
  EXPECT_TRUE(saved.Tray);
  EXPECT_FALSE(saved.Multiple);
  EXPECT_EQ(saved.Banner, "");
  ASSERT_EQ(saved.DirectoryCount, 1);
  EXPECT_EQ(saved.Directories[0].Path, "C:\\srv\\pub");
  EXPECT_EQ(saved.Directories[0].Description, "Public");
  EXPECT_TRUE(saved.Directories[0].AccessR);
  EXPECT_FALSE(saved.Directories[0].AccessW);
  EXPECT_TRUE(saved.Directories[0].Recursive);
  EXPECT_EQ(saved.FileCount, 0);
}

TEST_F(NewServerWizard, NewWebServerStoresTheDefaultTemplateOnOneLine) {
  Open(TServerFile(), false);
  W<QRadioButton>("rbWeb")->click();
  Click("bNext");
  EXPECT_FALSE(Shown("bAddPath2"));
  AnswerShareDialog("C:\\data\\a.txt", "A file");
  Click("bAddFile2");
  EXPECT_TRUE(Shown("bAddFile"));
  EXPECT_FALSE(Shown("bAddPath"));
  Click("bNext");
  EXPECT_EQ(Text("ePort"), "80");
  EXPECT_TRUE(W<QCheckBox>("cbMultiple")->isChecked());
  EXPECT_EQ(W<QPushButton>("bNext")->text(), "Next >");
  Click("bNext");
  EXPECT_EQ(PageName(), "tsAdvanced");
  EXPECT_FALSE(W<QCheckBox>("cbShow")->isChecked());
  EXPECT_FALSE(Shown("mTemplate"));
  EXPECT_EQ(W<QPlainTextEdit>("mTemplate")->toPlainText(), kDefaultTemplate);
  EXPECT_EQ(W<QPushButton>("bNext")->text(), "Finish");
  Click("bNext");

  const TServerFile saved = SavedAndLoaded();
  EXPECT_EQ(saved.Type, kTypeWeb);
  EXPECT_EQ(saved.Port, 80);
  EXPECT_TRUE(saved.Multiple);
  EXPECT_EQ(saved.Banner, kDefaultTemplate);
  ASSERT_EQ(saved.FileCount, 1);
  EXPECT_EQ(saved.Files[0].Path, "C:\\data\\a.txt");
  EXPECT_EQ(saved.DirectoryCount, 0);
}

TEST_F(NewServerWizard, CustomTemplateLosesItsLineBreaksAndSetDefaultRestores) {
  TServerFile web = Definition(kTypeWeb, {}, {{"C:\\a.txt", "a"}});
  web.Banner = "<p>[FILE_PATH]</p>";
  Open(web, true);
  EXPECT_TRUE(W<QRadioButton>("rbWeb")->isChecked());
  Click("bNext");
  Click("bNext");
  Click("bNext");
  EXPECT_TRUE(W<QCheckBox>("cbShow")->isChecked());
  EXPECT_TRUE(Shown("mTemplate"));
  EXPECT_EQ(W<QPlainTextEdit>("mTemplate")->toPlainText(), "<p>[FILE_PATH]</p>");

  Click("bDefaults");
  EXPECT_FALSE(W<QCheckBox>("cbShow")->isChecked());
  EXPECT_FALSE(Shown("mTemplate"));
  EXPECT_FALSE(Shown("bDefaults"));
  W<QCheckBox>("cbShow")->click();
  W<QPlainTextEdit>("mTemplate")->setPlainText("<h1>\r\n[FILE_DESC]\n</h1>\r");
  Click("bNext");
  EXPECT_EQ(wizard_->Server().Banner, "<h1>[FILE_DESC]</h1>");
}

TEST_F(NewServerWizard, UserWithoutLowPortsIsOfferedPortsThatCanStart) {
  std::vector<int> asked;
  SetPortPrivilegeCheck([&asked](int port) {
    asked.push_back(port);
    return port >= 1024;
  });
  struct Row {
    const char* radio;
    int port;
  } rows[] = {{"rbFTP", 2121}, {"rbWeb", 8080}};
  for (const Row& row : rows) {
    Open(TServerFile(), false);
    W<QRadioButton>(row.radio)->click();
    Click("bNext");
    EXPECT_EQ(wizard_->Server().Port, row.port) << row.radio;
  }
  EXPECT_EQ(asked, (std::vector<int>{21, 80}));

  // A port the definition already has is the user's choice, not a proposal.
  TServerFile edited = Definition(kTypeFtp, {{"C:\\one", "1", true, true, false}});
  edited.Port = 21;
  Open(edited, true);
  Click("bNext");
  EXPECT_EQ(wizard_->Server().Port, 21);
}

TEST_F(NewServerWizard, SwitchingFtpToWebDropsFoldersButKeepsSettings) {
  Open(Definition(kTypeFtp, {{"C:\\one", "1", true, true, false}, {"C:\\two", "2", true, false, true}}), true);
  W<QRadioButton>("rbWeb")->click();
  Click("bNext");
  EXPECT_TRUE(wizard_->Server().Directories.empty());
  EXPECT_EQ(wizard_->Server().DirectoryCount, 0);
  EXPECT_TRUE(Shown("bAddFile2"));
  EXPECT_FALSE(Shown("bAddPath2"));
  EXPECT_FALSE(Shown("gShares"));
  EXPECT_FALSE(Shown("bNext"));

  AnswerShareDialog("C:\\f.txt", "f");
  Click("bAddFile2");
  EXPECT_TRUE(Shown("bNext"));
  Click("bNext");
  EXPECT_EQ(Text("ePort"), "2121");
  EXPECT_TRUE(W<QCheckBox>("cbMultiple")->isChecked());
  EXPECT_FALSE(W<QCheckBox>("cbTray")->isChecked());
}

// Port=0 (the system picks) in a definition being edited is a choice, not options
// never confirmed: Finish used to replace it and the settings with the defaults.
TEST_F(NewServerWizard, EditedDefinitionWithPortZeroKeepsItsSettings) {
  TServerFile server = Definition(kTypeFtp, {{"C:\\one", "1", true, true, false}});
  server.Port = 0;
  Open(server, true);
  Click("bNext");
  Click("bNext");
  EXPECT_EQ(Text("ePort"), "0");
  EXPECT_TRUE(W<QCheckBox>("cbMultiple")->isChecked());
  EXPECT_FALSE(W<QCheckBox>("cbTray")->isChecked());
}

TEST_F(NewServerWizard, RequireEncryptionRoundTripsThroughTheSavedDefinition) {
  const TServerFile shared = Definition(kTypeFtp, {{"C:\\pub", "Public", true, false, false}});
  auto toOptions = [&](const TServerFile& server) {
    Open(server, true);
    Click("bNext");
    Click("bNext");
    EXPECT_EQ(PageName(), "tsOptions");
    return W<QCheckBox>("cbRequireTls");
  };

  EXPECT_FALSE(toOptions(shared)->isChecked());
  Click("bNext");
  EXPECT_FALSE(SavedAndLoaded().RequireTls);

  toOptions(shared)->click();
  Click("bNext");
  const TServerFile ticked = SavedAndLoaded();
  EXPECT_TRUE(ticked.RequireTls);

  QCheckBox* box = toOptions(ticked);
  EXPECT_TRUE(box->isChecked());
  box->click();
  Click("bNext");
  EXPECT_FALSE(SavedAndLoaded().RequireTls);
}

TEST_F(NewServerWizard, RequireEncryptionSitsBesideRequireLoginWithRoomForItsLabel) {
  Open(Definition(kTypeFtp, {{"C:\\pub", "Public", true, false, false}}), true);
  Click("bNext");
  Click("bNext");
  auto* box = W<QCheckBox>("cbRequireTls");
  auto* login = W<QCheckBox>("cbLogin");
  ASSERT_TRUE(box->isVisible());
  EXPECT_EQ(box->font().pixelSize(), 11);
  EXPECT_LE(box->sizeHint().width(), box->width());
  EXPECT_LE(login->sizeHint().width(), login->width());
  EXPECT_EQ(box->y(), login->y());
  EXPECT_LT(login->geometry().right(), box->x());
  EXPECT_LE(box->geometry().right(), W("tsOptions")->width());
  login->click();
  EXPECT_LT(box->geometry().bottom(), W("gbLogin")->y());
}

TEST_F(NewServerWizard, PortTextIsDecimalOrDollarHex) {
  struct Row {
    const char* typed;
    std::int32_t port;
    bool complaint;
  };
  const Row rows[] = {{"8021", 8021, false}, {"$50", 80, false}, {"abc", 21, true},
                      {"-1", 21, true},      {"", 21, true},     {"70000", 70000, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.typed);
    ui_->errors.clear();
    TServerFile server = Definition(kTypeFtp, {{"C:\\pub", "", true, false, false}});
    server.Port = 21;
    Open(server, true);
    Click("bNext");
    Click("bNext");
    Type("ePort", row.typed);
    Click("bNext");
    EXPECT_EQ(wizard_->result(), QDialog::Accepted);
    EXPECT_EQ(wizard_->Server().Port, row.port);
    if (row.complaint) {
      ASSERT_EQ(ui_->errors.size(), 1u);
      EXPECT_EQ(ui_->errors[0], "Invalid Port number, resetting to default.");
      EXPECT_EQ(Text("ePort"), "21");
    } else {
      EXPECT_TRUE(ui_->errors.empty());
    }
  }
}

TEST_F(NewServerWizard, RemovingSharesPicksFilesAfterFoldersAndLastOneBringsBackBigButtons) {
  Open(Definition(kTypeVokt, {{"C:\\d", "", true, false, false}}, {{"C:\\f1", ""}, {"C:\\f2", ""}}), true);
  EXPECT_TRUE(W<QRadioButton>("rbCustom")->isChecked());
  EXPECT_FALSE(Shown("rbCustom"));
  Click("bNext");
  EXPECT_EQ(W<TMarkupGrid>("gShares")->rowCount(), 3);
  EXPECT_EQ(W("bAddFile")->x(), 13);
  EXPECT_EQ(W("bAddPath")->x(), 85);
  W<TMarkupGrid>("gShares")->selectRow(2);
  Click("bRemoveSel");
  ASSERT_EQ(wizard_->Server().Files.size(), 1u);
  EXPECT_EQ(wizard_->Server().Files[0].Path, "C:\\f1");
  EXPECT_EQ(wizard_->Server().FileCount, 1);

  W<TMarkupGrid>("gShares")->selectRow(0);
  Click("bRemoveSel");
  W<TMarkupGrid>("gShares")->selectRow(0);
  Click("bRemoveSel");
  EXPECT_EQ(wizard_->Server().DirectoryCount + wizard_->Server().FileCount, 0);
  EXPECT_TRUE(Shown("bAddFile2"));
  EXPECT_TRUE(Shown("bAddPath2"));
  EXPECT_FALSE(Shown("gShares"));
  EXPECT_FALSE(Shown("bRemoveSel"));
  EXPECT_FALSE(Shown("bNext"));
}

TEST_F(NewServerWizard, ShareGridDrawsMarkupAndSurvivesBadTagsInDescriptions) {
  Open(Definition(kTypeFtp, {{"C:\\pub", "<!FNT=oops>mine", true, true, false}}), true);
  Click("bNext");
  auto* grid = W<TMarkupGrid>("gShares");
  ASSERT_EQ(grid->rowCount(), 1);
  EXPECT_EQ(grid->CellText(1, 0),
            "Directory: C:\\pub\rDescription: <!FNT=oops>mine\rAccess: Read and Write, Non-Recursive");
  const TMarkupList* tokens = MarkupEntry(grid->CellMarkup(1, 0));
  ASSERT_NE(tokens, nullptr);
  EXPECT_NE(std::find(tokens->begin(), tokens->end(), TMarkupToken{"<FNT=oops>mine", 0, mkText}),
            tokens->end());
  grid->clearSelection();  // the selected row is washed lighter
  const QImage shot = grid->grab().toImage();
  EXPECT_EQ(shot.pixelColor(25, grid->rowHeight(0) - 2), QColor(0x00, 0x40, 0x80));
  EXPECT_EQ(shot.pixelColor(5, grid->rowHeight(0) - 2), QColor(0x00, 0x40, 0x80));
}

TEST_F(NewServerWizard, PercentSInAPathIsShownAsTyped) {
  // A folder named "a%sb" used to swallow the description into its own name, and the
  // description then showed the access text.
  Open(Definition(kTypeVokt, {{"C:\\a%sb", "d%s", true, false, false}}, {{"C:\\f%s", "g"}}), true);
  Click("bNext");
  auto* grid = W<TMarkupGrid>("gShares");
  ASSERT_EQ(grid->rowCount(), 2);
  EXPECT_EQ(grid->CellText(1, 0), "Directory: C:\\a%sb\rDescription: d%s\rAccess: Read, Non-Recursive");
  EXPECT_EQ(grid->CellText(1, 1), "File: C:\\f%s\rDescription: g");
  const TMarkupList* tokens = MarkupEntry(grid->CellMarkup(1, 0));
  ASSERT_NE(tokens, nullptr);
  EXPECT_NE(std::find(tokens->begin(), tokens->end(), TMarkupToken{"C:\\a%sb", 0, mkText}), tokens->end());
  EXPECT_NE(std::find(tokens->begin(), tokens->end(), TMarkupToken{"d%s", 0, mkText}), tokens->end());
}

TEST_F(NewServerWizard, LoginBoxFollowsTheDefinitionAndUntickingClearsIt) {
  TServerFile server = Definition(kTypeFtp, {{"C:\\pub", "", true, false, false}});
  server.Username = "ann";
  server.Password = "secret";
  Open(server, true);
  Click("bNext");
  Click("bNext");
  EXPECT_TRUE(W<QCheckBox>("cbLogin")->isChecked());
  EXPECT_TRUE(Shown("gbLogin"));
  EXPECT_EQ(Text("eUsername"), "ann");
  EXPECT_EQ(W<QLineEdit>("ePassword")->echoMode(), QLineEdit::Password);

  W<QCheckBox>("cbLogin")->click();
  EXPECT_FALSE(Shown("gbLogin"));
  EXPECT_EQ(Text("eUsername"), "");
  Click("bBack");  // what was changed on the page is dropped, the box included
  Click("bNext");
  EXPECT_TRUE(W<QCheckBox>("cbLogin")->isChecked());
  EXPECT_EQ(Text("ePassword"), "secret");

  W<QCheckBox>("cbLogin")->click();
  Click("bNext");
  EXPECT_EQ(wizard_->Server().Username, "");
  EXPECT_EQ(wizard_->Server().Password, "");
}

TEST_F(NewServerWizard, CancelAndCloseLeaveTheDefinitionAlone) {
  for (const char* button : {"bCancel", "bClose"}) {
    SCOPED_TRACE(button);
    TServerFile server = Definition(kTypeFtp, {{"C:\\pub", "", true, false, false}});
    QTimer::singleShot(0, [button] {
      ASSERT_TRUE(WaitFor([] { return qobject_cast<TfNewServer*>(QApplication::activeModalWidget()); }));
      auto* wizard = qobject_cast<TfNewServer*>(QApplication::activeModalWidget());
      Child<QRadioButton>(*wizard, "rbWeb")->click();
      Child<QPushButton>(*wizard, "bNext")->click();
      Child<QAbstractButton>(*wizard, button)->click();
    });
    EXPECT_FALSE(RunServerWizard(server, true));
    EXPECT_EQ(server.Type, kTypeFtp);
    EXPECT_EQ(server.Directories.size(), 1u);
  }
}

TEST_F(NewServerWizard, FinishReplacesTheCallersDefinition) {
  TServerFile server;
  QTimer::singleShot(0, [] {
    ASSERT_TRUE(WaitFor([] { return qobject_cast<TfNewServer*>(QApplication::activeModalWidget()); }));
    auto* wizard = qobject_cast<TfNewServer*>(QApplication::activeModalWidget());
    Child<QPushButton>(*wizard, "bNext")->click();
    AnswerShareDialog("C:\\x", "x");
    Child<QPushButton>(*wizard, "bAddPath2")->click();
    Child<QPushButton>(*wizard, "bNext")->click();
    Child<QPushButton>(*wizard, "bNext")->click();
  });
  ASSERT_TRUE(RunServerWizard(server, false));
  EXPECT_EQ(server.Type, kTypeFtp);
  EXPECT_EQ(server.Name, "");
  EXPECT_EQ(server.Banner, "");
  EXPECT_EQ(server.Port, 21);
  EXPECT_EQ(server.DirectoryCount, 1);
}

}  // namespace

namespace {

TEST_F(NewServerWizard, ShareRowHintIsItsPlainTextOverColumnOne) {
  Open(Definition(kTypeFtp, {{"C:\\pub", "Public", true, false, false}}), true);
  Click("bNext");
  auto* grid = W<TMarkupGrid>("gShares");
  const QPoint overText(60, grid->rowHeight(0) / 2);
  QTest::mouseMove(grid->viewport(), overText);
  ASSERT_TRUE(WaitFor([] { return QToolTip::isVisible(); }));
  EXPECT_EQ(QToolTip::text(), "Directory: C:\\pub\nDescription: Public\nAccess: Read, Non-Recursive");
  QTest::mouseMove(grid->viewport(), QPoint(5, grid->rowHeight(0) / 2));
  EXPECT_TRUE(WaitFor([] { return !QToolTip::isVisible(); }));
}

TEST_F(NewServerWizard, PressingTheCaptionOrPageMovesTheWindow) {
  Open(TServerFile(), false);
  for (const char* area : {"pCaption", "tsType"}) {
    SCOPED_TRACE(area);
    QWidget* grip = W(area);
    const QPoint start = wizard_->pos();
    QTest::mousePress(grip, Qt::LeftButton, {}, QPoint(40, 10));
    QMouseEvent drag(QEvent::MouseMove, QPointF(70, 30), grip->mapToGlobal(QPointF(70, 30)), Qt::NoButton,
                     Qt::LeftButton, {});
    QApplication::sendEvent(grip, &drag);
    QTest::mouseRelease(grip, Qt::LeftButton, {}, QPoint(70, 30));
    EXPECT_EQ(wizard_->pos(), start + QPoint(30, 20));
  }
}

}  // namespace

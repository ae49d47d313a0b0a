// The wizard's controls and their places; the behaviour is in frmNewServer.cpp.

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>

#include "ui/Controls.h"
#include "ui/CaptionBar.h"
#include "ui/MarkupGrid.h"
#include "ui/Style.h"
#include "ui/frmNewServer.h"

namespace {

constexpr int kWidth = 353;
constexpr int kHeight = 331;
constexpr int kCaptionHeight = 21;
constexpr int kButtonBarHeight = 36;

QLabel* Note(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
  auto* label = Place<QLabel>(parent, name, text, geometry);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

QWidget* Page(QStackedWidget* pages, const char* name, const QString& title) {
  auto* page = new QWidget(pages);
  page->setObjectName(QString::fromLatin1(name));
  QLabel* heading = Place<QLabel>(page, "lTitle", title, QRect(13, 6, 327, 20));
  QFont font = heading->font();
  font.setBold(true);
  font.setPixelSize(13);
  heading->setFont(font);
  pages->addWidget(page);
  return page;
}

QLineEdit* Edit(QWidget* parent, const char* name, const QRect& geometry) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setGeometry(geometry);
  return edit;
}

}  // namespace

void TfNewServer::BuildWindow() {
  setObjectName(QStringLiteral("fNewServer"));
  setWindowTitle(QStringLiteral("Dravik Server Wizard"));
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setFixedSize(kWidth, kHeight);
  setFont(WindowFont());

  auto* mover = new TWindowMover(*this);
  auto* caption = new TCaptionBar(QStringLiteral("Dravik Server Wizard"), true, *this);
  caption->setGeometry(0, 0, kWidth, kCaptionHeight);
  connect(caption, &TCaptionBar::CloseClicked, this, &QDialog::reject);
  mover->Watch(*caption);

  pcPages_ = new QStackedWidget(this);
  pcPages_->setObjectName(QStringLiteral("pcPages"));
  pcPages_->setGeometry(0, kCaptionHeight, kWidth, kHeight - kCaptionHeight - kButtonBarHeight);
  BuildTypePage();
  BuildSharesPage();
  BuildOptionsPage();
  BuildAdvancedPage();
  for (QWidget* page : {tsType_, tsShares_, tsOptions_, tsAdvanced_}) mover->Watch(*page);

  auto* bar = new QFrame(this);
  bar->setObjectName(QStringLiteral("pButtons"));
  bar->setGeometry(0, kHeight - kButtonBarHeight, kWidth, kButtonBarHeight);
  mover->Watch(*bar);
  bBack_ = Button(bar, "bBack", QStringLiteral("< Back"), QRect(104, 7, 75, 23));
  bNext_ = Button(bar, "bNext", QStringLiteral("Next >"), QRect(186, 7, 75, 23));
  bCancel_ = Button(bar, "bCancel", QStringLiteral("Cancel"), QRect(268, 7, 75, 23));
  bBack_->hide();
  connect(bBack_, &QPushButton::clicked, this, &TfNewServer::bBackClick);
  connect(bNext_, &QPushButton::clicked, this, &TfNewServer::bNextClick);
  connect(bCancel_, &QPushButton::clicked, this, &QDialog::reject);
  ApplyBrushedSteel(*this);
  CentreOnScreen(*this);
}

void TfNewServer::BuildTypePage() {
  tsType_ = Page(pcPages_, "tsType", QStringLiteral("Select Server Type"));
  rbFTP_ = Place<QRadioButton>(tsType_, "rbFTP", QStringLiteral("FTP Server"), QRect(20, 38, 300, 18));
  Note(tsType_, "lFTP",
       QStringLiteral("Can be accessed using any FTP Client like Flash FXP, WS FTP, etc. Use this for folders."),
       QRect(38, 58, 300, 42));
  rbWeb_ = Place<QRadioButton>(tsType_, "rbWeb", QStringLiteral("Web Server"), QRect(20, 108, 300, 18));
  Note(tsType_, "lWeb",
       QStringLiteral("Can be accessed using any web browser, like Firefox or Internet Explorer. Use this for files."),
       QRect(38, 128, 300, 42));
  rbCustom_ = Place<QRadioButton>(tsType_, "rbCustom", QStringLiteral("Custom Vokt Server"),
                                  QRect(20, 178, 300, 18));
  QLabel* custom = Note(tsType_, "lCustom",
                        QStringLiteral("Can only be accessed using Vokt programs. Allows you to serve both "
                                       "files and folders.     [Not Implemented Yet]"),
                        QRect(38, 198, 300, 56));
  rbFTP_->setChecked(true);
  rbCustom_->setEnabled(false);
  rbCustom_->hide();
  custom->hide();
}

void TfNewServer::BuildSharesPage() {
  tsShares_ = Page(pcPages_, "tsShares", QStringLiteral("Select Files and Directories"));
  gShares_ = new TMarkupGrid(tsShares_);
  gShares_->setObjectName(QStringLiteral("gShares"));
  gShares_->setGeometry(13, 32, 327, 196);
  gShares_->setMouseTracking(true);
  gShares_->viewport()->installEventFilter(this);
  bAddFile_ = Button(tsShares_, "bAddFile", QStringLiteral("Add File"), QRect(13, 236, 68, 23));
  bAddPath_ = Button(tsShares_, "bAddPath", QStringLiteral("Add Directory"), QRect(85, 236, 96, 23));
  bRemoveSel_ = Button(tsShares_, "bRemoveSel", QStringLiteral("Remove Selected"), QRect(227, 236, 113, 23));
  bAddFile2_ = Button(tsShares_, "bAddFile2", QStringLiteral("Select File(s) to share"), QRect(76, 80, 200, 40));
  bAddPath2_ = Button(tsShares_, "bAddPath2", QStringLiteral("Select Folder(s) to share"), QRect(76, 140, 200, 40));
  connect(bAddFile_, &QPushButton::clicked, this, &TfNewServer::bAddFileClick);
  connect(bAddFile2_, &QPushButton::clicked, this, &TfNewServer::bAddFileClick);
  connect(bAddPath_, &QPushButton::clicked, this, &TfNewServer::bAddPathClick);
  connect(bAddPath2_, &QPushButton::clicked, this, &TfNewServer::bAddPathClick);
  connect(bRemoveSel_, &QPushButton::clicked, this, &TfNewServer::bRemoveSelClick);
  connect(gShares_, &QTableWidget::itemSelectionChanged, this, &TfNewServer::UpdateSharesPage);
}

void TfNewServer::BuildOptionsPage() {
  tsOptions_ = Page(pcPages_, "tsOptions", QStringLiteral("Settings"));
  Place<QLabel>(tsOptions_, "lDescription", QStringLiteral("Description:"), QRect(13, 36, 84, 18));
  eDescription_ = Edit(tsOptions_, "eDescription", QRect(100, 34, 240, 20));
  Place<QLabel>(tsOptions_, "lPort", QStringLiteral("Port:"), QRect(13, 60, 84, 18));
  ePort_ = Edit(tsOptions_, "ePort", QRect(100, 58, 70, 20));
  cbMultiple_ = Place<QCheckBox>(tsOptions_, "cbMultiple", QStringLiteral("Enable Multiple connections"),
                                 QRect(13, 86, 320, 18));
  Note(tsOptions_, "lMultiple", QStringLiteral("Allow more than one simultaneous connections"),
       QRect(31, 104, 309, 16));
  cbTray_ = Place<QCheckBox>(tsOptions_, "cbTray", QStringLiteral("Enable Tray Icon"), QRect(13, 124, 320, 18));
  Note(tsOptions_, "lTray", QStringLiteral("Display this server's activity in a separate tray icon"),
       QRect(31, 142, 309, 16));
  // The page has no room for another box with a note below it, so the two things a
  // client must do to get in share one row, and this one explains itself in its hint.
  cbLogin_ = Place<QCheckBox>(tsOptions_, "cbLogin", QStringLiteral("Require Login"), QRect(13, 164, 150, 18));
  cbRequireTls_ = Place<QCheckBox>(tsOptions_, "cbRequireTls", QStringLiteral("Require encryption"),
                                   QRect(180, 164, 160, 18));
  cbRequireTls_->setToolTip(
      QStringLiteral("Refuse FTP logins that are not encrypted and send web visitors to https"));
  gbLogin_ = new QGroupBox(tsOptions_);
  gbLogin_->setObjectName(QStringLiteral("gbLogin"));
  gbLogin_->setGeometry(13, 184, 327, 80);
  Place<QLabel>(gbLogin_, "lUsername", QStringLiteral("Username:"), QRect(10, 20, 80, 18));
  eUsername_ = Edit(gbLogin_, "eUsername", QRect(90, 18, 225, 20));
  Place<QLabel>(gbLogin_, "lPassword", QStringLiteral("Password:"), QRect(10, 48, 80, 18));
  ePassword_ = Edit(gbLogin_, "ePassword", QRect(90, 46, 225, 20));
  ePassword_->setEchoMode(QLineEdit::Password);
  gbLogin_->hide();
  connect(cbLogin_, &QCheckBox::toggled, this, &TfNewServer::cbLoginClick);
}

void TfNewServer::BuildAdvancedPage() {
  tsAdvanced_ = Page(pcPages_, "tsAdvanced", QStringLiteral("HTML Template"));
  cbShow_ = Place<QCheckBox>(tsAdvanced_, "cbShow", QStringLiteral("Custom HTML Template"), QRect(13, 32, 320, 18));
  mTemplate_ = new QPlainTextEdit(tsAdvanced_);
  mTemplate_->setObjectName(QStringLiteral("mTemplate"));
  mTemplate_->setGeometry(13, 54, 327, 118);
  bDefaults_ = Button(tsAdvanced_, "bDefaults", QStringLiteral("Set Default"), QRect(13, 178, 90, 23));
  lNote_ = Note(tsAdvanced_, "lNote",
                QStringLiteral("Note: This is the HTML template that will be served to the browser for every "
                               "shared file. You can use the following variables: [FILE_PATH], [FILE_DESC], "
                               "[FILE_SIZE]. Leave blank to use default template."),
                QRect(13, 205, 327, 66));
  ShowTemplateControls(false);
  connect(cbShow_, &QCheckBox::toggled, this, &TfNewServer::ShowTemplateControls);
  connect(bDefaults_, &QPushButton::clicked, this, &TfNewServer::bDefaultsClick);
}

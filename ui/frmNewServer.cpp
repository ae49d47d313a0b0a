#include "ui/frmNewServer.h"

#include <algorithm>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QToolTip>

#include "catalogue/ServerUi.h"
#include "platform/PortPrivilege.h"
#include "platform/Text.h"
#include "ui/DrivePath.h"
#include "ui/MarkupGrid.h"
#include "ui/frmAddShare.h"
#include "ui/uGridDraw.h"

namespace {

constexpr const char* kStarMarkup = "<!BCK=$00804000><!FNT=clBlack><!ITA> * <!ITA>";

constexpr int kFtpPort = 21;
constexpr int kWebPort = 80;
constexpr int kFtpPortUnprivileged = 2121;
constexpr int kWebPortUnprivileged = 8080;
constexpr int kCustomPort = 47372;

// The protocol's own port is proposed only where this user may listen on it: a first
// server that can never start teaches nothing.
int ProposedPort(int type) {
  if (type == kTypeFtp) return CanBindPrivilegedPorts(kFtpPort) ? kFtpPort : kFtpPortUnprivileged;
  if (type == kTypeWeb) return CanBindPrivilegedPorts(kWebPort) ? kWebPort : kWebPortUnprivileged;
  return kCustomPort;
}

// Each value goes in as typed: a "%s" inside a path is not a place for the next one.
std::string Fill(std::string format, std::initializer_list<std::string> values) {
  std::size_t from = 0;
  for (const std::string& value : values) {
    const std::size_t at = format.find("%s", from);
    if (at == std::string::npos) break;
    format.replace(at, 2, value);
    from = at + value.size();
  }
  return format;
}

// A typed path or description can hold a tag with a bad colour; shown with the tags
// defused, the share stays visible and removable.
std::string Defused(std::string text) {
  for (std::size_t at = text.find("<!"); at != std::string::npos; at = text.find("<!", at))
    text.erase(at + 1, 1);
  return text;
}

std::string DirectoryMarkup(const TDirectory& d, const std::string& path, const std::string& description) {
  return Fill(
      "<!BCK=$00804000><!FNT=clWhite><!ITA>Directory:<!ITA> <!FNT=clYellow>%s<!NLN>"
      "<!FNT=clWhite><!ITA>Description:<!ITA> <!FNT=clYellow>%s<!NLN>"
      "<!FNT=clWhite><!ITA>Access:<!ITA> <!FNT=clYellow>%s",
      {path, description, ShareAccessMarkup(d)});
}

std::string FileMarkup(const std::string& path, const std::string& description) {
  return Fill(
      "<!BCK=$00804000><!FNT=clWhite><!ITA>File:<!ITA> <!FNT=clYellow>%s<!NLN>"
      "<!FNT=clWhite><!ITA>Description:<!ITA> <!FNT=clYellow>%s",
      {path, description});
}

}  // namespace

std::string StripLineBreaks(const std::string& text) {
  std::string out;
  std::copy_if(text.begin(), text.end(), std::back_inserter(out),
               [](char c) { return c != '\r' && c != '\n'; });
  return out;
}

std::string ShareAccessMarkup(const TDirectory& d) {
  std::string access;
  if (d.AccessR) access += "<!FNT=clLime>Read";
  if (d.AccessR && d.AccessW) access += "<!FNT=clSilver> and ";
  if (d.AccessW) access += "<!FNT=$008080FF>Write";
  access += d.Recursive ? "<!FNT=clWhite>, <!FNT=$008080FF>Recursive" : "<!FNT=clWhite>, <!FNT=clLime>Non-Recursive";
  return access;
}

std::string ShareAccessText(const TDirectory& d) {
  std::string access;
  if (d.AccessR) access += "Read";
  if (d.AccessR && d.AccessW) access += " and ";
  if (d.AccessW) access += "Write";
  access += d.Recursive ? ", Recursive" : ", Non-Recursive";
  return access;
}

TfNewServer::TfNewServer(const TServerFile& server, bool editMode, QWidget* parent)
    : QDialog(parent), editMode_(editMode) {
  if (editMode) {
    server_ = server;
  } else {
    server_.Name.clear();
    server_.Banner.clear();
    server_.Type = kTypeFtp;
    server_.Active = true;
    server_.Multiple = false;
    server_.Tray = false;
    server_.Port = 0;
  }
  SyncCounts();
  BuildWindow();
  if (editMode) {
    QRadioButton* byType[] = {rbFTP_, rbWeb_, rbCustom_};
    if (server_.Type < std::size(byType)) byType[server_.Type]->setChecked(true);
  }
  pcPages_->setCurrentWidget(tsType_);
  UpdateWizardButtons();
}

void TfNewServer::SyncCounts() {
  // The file format trusts the counts over the arrays, so they must never disagree.
  server_.DirectoryCount = static_cast<std::int32_t>(server_.Directories.size());
  server_.FileCount = static_cast<std::int32_t>(server_.Files.size());
}

void TfNewServer::UpdateWizardButtons() {
  QWidget* page = pcPages_->currentWidget();
  bBack_->setVisible(page != tsType_);
  const bool hasShares = !server_.Directories.empty() || !server_.Files.empty();
  bNext_->setVisible(page != tsShares_ || hasShares);
  const bool finish = page == tsAdvanced_ || (page == tsOptions_ && server_.Type != kTypeWeb);
  bNext_->setText(finish ? QStringLiteral("Finish") : QStringLiteral("Next >"));
}

void TfNewServer::ShowPage(QWidget* page) {
  pcPages_->setCurrentWidget(page);
  EnterPage(page);
  UpdateWizardButtons();
}

void TfNewServer::EnterPage(QWidget* page) {
  if (page == tsShares_) {
    RebuildShareList();
    UpdateSharesPage();
  } else if (page == tsOptions_) {
    eDescription_->setText(ToQt(server_.Name));
    eUsername_->setText(ToQt(server_.Username));
    ePassword_->setText(ToQt(server_.Password));
    ePort_->setText(QString::number(server_.Port));
    cbMultiple_->setChecked(server_.Multiple);
    cbTray_->setChecked(server_.Tray);
    cbRequireTls_->setChecked(server_.RequireTls);
    // Going back drops what was changed here, the login box included; otherwise an
    // unticked box could hide credentials that the next Finish would keep.
    const bool login = !server_.Username.empty() || !server_.Password.empty();
    cbLogin_->setChecked(login);
    cbLoginClick(login);
  } else if (page == tsAdvanced_) {
    ShowTemplateControls(cbShow_->isChecked());
  }
}

void TfNewServer::LeaveTypePage() {
  if (rbFTP_->isChecked()) server_.Type = kTypeFtp;
  else if (rbWeb_->isChecked()) server_.Type = kTypeWeb;
  else if (rbCustom_->isChecked()) server_.Type = kTypeVokt;
  const bool login = !server_.Username.empty() || !server_.Password.empty();
  cbLogin_->setChecked(login);
  cbLoginClick(login);
  // Port 0 marks options never confirmed only in a new definition: one being edited
  // may hold Port=0 on purpose (the system picks the port), with its own settings.
  if (!editMode_ && server_.Port == 0) {
    server_.Multiple = server_.Type == kTypeWeb;
    server_.Tray = true;
    server_.Port = ProposedPort(server_.Type);
  }
  if (rbFTP_->isChecked()) server_.Files.clear();
  if (rbWeb_->isChecked()) server_.Directories.clear();
  SyncCounts();
  RebuildShareList();
  UpdateSharesPage();
}

void TfNewServer::LeaveOptionsPage() {
  server_.Name = ToStd(eDescription_->text());
  server_.Username = ToStd(eUsername_->text());
  server_.Password = ToStd(ePassword_->text());
  std::int32_t port = 0;
  if (!ParseIntegerText(ToStd(ePort_->text()), port) || port == -1) {
    Ui().ShowError("Invalid Port number, resetting to default.");
    ePort_->setText(QString::number(server_.Port));
  } else {
    server_.Port = port;
  }
  server_.Multiple = cbMultiple_->isChecked();
  server_.Tray = cbTray_->isChecked();
  server_.RequireTls = cbRequireTls_->isChecked();
  if (server_.Type == kTypeWeb) {
    mTemplate_->setPlainText(server_.Banner.empty() ? QString::fromLatin1(kDefaultTemplate) : ToQt(server_.Banner));
    if (!server_.Banner.empty()) cbShow_->setChecked(true);
  }
}

void TfNewServer::bNextClick() {
  QWidget* page = pcPages_->currentWidget();
  if (page == tsType_) LeaveTypePage();
  else if (page == tsOptions_) LeaveOptionsPage();
  else if (page == tsAdvanced_) server_.Banner = StripLineBreaks(ToStd(mTemplate_->toPlainText()));

  if (bNext_->text() == QStringLiteral("Finish")) {
    accept();
    return;
  }
  const int next = pcPages_->currentIndex() + 1;
  if (next < pcPages_->count()) ShowPage(pcPages_->widget(next));
}

void TfNewServer::bBackClick() {
  const int previous = pcPages_->currentIndex() - 1;
  if (previous >= 0) ShowPage(pcPages_->widget(previous));
}

void TfNewServer::cbLoginClick(bool checked) {
  gbLogin_->setVisible(checked);
  if (!checked) {
    eUsername_->clear();
    ePassword_->clear();
  }
}

void TfNewServer::ShowTemplateControls(bool shown) {
  mTemplate_->setVisible(shown);
  bDefaults_->setVisible(shown);
  lNote_->setVisible(shown);
}

void TfNewServer::bDefaultsClick() {
  mTemplate_->setPlainText(QString::fromLatin1(kDefaultTemplate));
  cbShow_->setChecked(false);
  ShowTemplateControls(false);
}

void TfNewServer::UpdateSharesPage() {
  const bool hasShares = !server_.Directories.empty() || !server_.Files.empty();
  for (QWidget* w : {static_cast<QWidget*>(gShares_), static_cast<QWidget*>(bAddFile_),
                     static_cast<QWidget*>(bAddPath_), static_cast<QWidget*>(bRemoveSel_)})
    w->setVisible(hasShares);
  bAddFile2_->setVisible(!hasShares);
  bAddPath2_->setVisible(!hasShares);
  if (server_.Type == kTypeFtp) {
    bAddFile_->hide();
    bAddFile2_->hide();
    bAddPath_->move(13, bAddPath_->y());
  } else {
    if (server_.Type == kTypeWeb) {
      bAddPath_->hide();
      bAddPath2_->hide();
    }
    bAddFile_->move(13, bAddFile_->y());
    bAddPath_->move(85, bAddPath_->y());
  }
  // A single large button sits in the middle of the page; two share it.
  const bool both = !bAddFile2_->isHidden() && !bAddPath2_->isHidden();
  bAddFile2_->move(bAddFile2_->x(), both ? 80 : 110);
  bAddPath2_->move(bAddPath2_->x(), both ? 140 : 110);

  const auto ranges = gShares_->selectedRanges();
  bRemoveSel_->setEnabled(!ranges.isEmpty() && ranges.first().leftColumn() == 0 &&
                          ranges.first().topRow() != -1);
}

void TfNewServer::RebuildShareList() {
  gShares_->clearSelection();
  gShares_->setRowCount(0);
  gShares_->setColumnCount(2);
  gShares_->setRowCount(1);
  gShares_->setColumnWidth(0, 20);
  gShares_->setColumnWidth(1, 300);
  gShares_->SetCellText(1, 0, QString());
  for (const TDirectory& d : server_.Directories) {
    const std::string access = ShareAccessText(d);
    AddShareRow(DirectoryMarkup(d, d.Path, d.Description),
                DirectoryMarkup(d, Defused(d.Path), Defused(d.Description)),
                Fill("Directory: %s\rDescription: %s\rAccess: %s", {d.Path, d.Description, access}));
  }
  for (const TFile& f : server_.Files) {
    AddShareRow(FileMarkup(f.Path, f.Description), FileMarkup(Defused(f.Path), Defused(f.Description)),
                Fill("File: %s\rDescription: %s", {f.Path, f.Description}));
  }
}

void TfNewServer::AddShareRow(const std::string& markup, const std::string& fallback, const std::string& hint) {
  if (!gShares_->CellText(1, 0).isEmpty()) gShares_->insertRow(gShares_->rowCount());
  const int row = gShares_->rowCount() - 1;
  gShares_->SetCellMarkup(0, row, RegisterMarkup(kStarMarkup));
  int index;
  try {
    index = RegisterMarkup(markup);
  } catch (const EMarkupError&) {
    index = RegisterMarkup(fallback);
  }
  gShares_->SetCellMarkup(1, row, index);
  gShares_->SetCellText(1, row, ToQt(hint));
  FitRowHeights(*gShares_);
  gShares_->selectRow(row);
}

void TfNewServer::bAddFileClick() {
  TDirectory share;
  if (RunShareDialog(false, share, this)) {
    server_.Files.push_back({share.Path, share.Description});
    SyncCounts();
    RebuildShareList();
  }
  UpdateSharesPage();
  UpdateWizardButtons();
}

void TfNewServer::bAddPathClick() {
  TDirectory share;
  if (RunShareDialog(true, share, this)) {
    server_.Directories.push_back(share);
    SyncCounts();
    RebuildShareList();
  }
  UpdateSharesPage();
  UpdateWizardButtons();
}

void TfNewServer::bRemoveSelClick() {
  const auto ranges = gShares_->selectedRanges();
  if (!ranges.isEmpty()) RemoveShare(ranges.first().topRow());
}

void TfNewServer::RemoveShare(int row) {
  const int directories = static_cast<int>(server_.Directories.size());
  if (row < 0) return;
  if (row < directories) {
    server_.Directories.erase(server_.Directories.begin() + row);
  } else if (row - directories < static_cast<int>(server_.Files.size())) {
    server_.Files.erase(server_.Files.begin() + (row - directories));
  } else {
    return;
  }
  SyncCounts();
  RebuildShareList();
  UpdateSharesPage();
  UpdateWizardButtons();
}

bool TfNewServer::eventFilter(QObject* watched, QEvent* event) {
  if (watched == gShares_->viewport() && event->type() == QEvent::MouseMove)
    gSharesMouseMove(static_cast<QMouseEvent*>(event)->position().toPoint());
  return QDialog::eventFilter(watched, event);
}

void TfNewServer::gSharesMouseMove(const QPoint& position) {
  const QModelIndex cell = gShares_->indexAt(position);
  const QString hint = cell.isValid() && cell.column() == 1 ? gShares_->CellText(1, cell.row()) : QString();
  if (hint.isEmpty()) {
    QToolTip::hideText();
    return;
  }
  QString shown = hint;
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  QToolTip::showText(gShares_->viewport()->mapToGlobal(position), shown, gShares_);
}

bool RunServerWizard(TServerFile& server, bool editMode, QWidget* parent) {
  TfNewServer wizard(server, editMode, parent);
  if (wizard.exec() != QDialog::Accepted) return false;
  server = wizard.Server();
  return true;
}

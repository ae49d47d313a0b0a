// The main window's server list and the commands that act on its rows.

#include <algorithm>
#include <climits>

#include <QFile>

#include "catalogue/ServerUi.h"
#include "catalogue/uServers.h"
#include "ui/DrivePath.h"
#include "ui/MarkupGrid.h"
#include "ui/ServerTray.h"
#include "ui/frmMain.h"
#include "ui/frmNewServer.h"
#include "ui/uGridDraw.h"

namespace {

constexpr const char* kEmptyIconMarkup = "<!BCK=$00804000><!FNT=clWhite> ";
constexpr const char* kEmptyRowMarkup =
    "<!BCK=$00804000><!FNT=clWhite><!BLD>No servers found. To create a new server, click \"New Server...\"";
// Marks row 0 as free; cell texts are never drawn.
const QString kFreeRow = QStringLiteral("x");
const QString kTakenRow = QStringLiteral("m000");

std::string OnOff(bool on) { return on ? "<!FNT=clLime>ON" : "<!FNT=$008080FF>OFF"; }

std::string Setting(const std::string& label, const std::string& value) {
  return "<!FNT=clYellow>" + label + ": " + value + "<!FNT=clYellow>";
}

std::string Defused(std::string text) {
  for (std::size_t at = text.find("<!"); at != std::string::npos; at = text.find("<!", at)) text.erase(at + 1, 1);
  return text;
}

// A name may carry tags on purpose, but one bad colour value in a name or a path must
// not cost the whole list: that row is shown with the typed texts' tags disarmed.
int RegisterRow(const TServerFile& server) {
  try {
    return RegisterMarkup(ServerRowMarkup(server));
  } catch (const EMarkupError&) {
    TServerFile shown = server;
    shown.Name = Defused(shown.Name);
    for (TDirectory& d : shown.Directories) d.Path = Defused(d.Path);
    for (TFile& f : shown.Files) f.Path = Defused(f.Path);
    return RegisterMarkup(ServerRowMarkup(shown));
  }
}

}  // namespace

std::string SettingsMarkup(const TServerFile& server) {
  return Setting("Multi-user", OnOff(server.Multiple)) + ", " + Setting("Tray Icon", OnOff(server.Tray)) +
         ", " + Setting("Port", "<!FNT=clWhite>" + std::to_string(server.Port));
}

std::string SharesMarkup(const TServerFile& server) {
  std::vector<std::string> lines;
  for (const TDirectory& d : server.Directories)
    lines.push_back("<!FNT=clWhite><!ITA>Folder:<!ITA> [" + ShareAccessMarkup(d) + "<!FNT=clWhite>] <!FNT=clYellow>" +
                    d.Path);
  for (const TFile& f : server.Files) lines.push_back("<!FNT=clWhite><!ITA>File:<!ITA> <!FNT=clYellow>" + f.Path);
  std::string markup;
  for (std::size_t i = 0; i < lines.size(); ++i) markup += (i ? "<!NLN>" : "") + lines[i];
  return markup;
}

std::string ServerRowMarkup(const TServerFile& server) {
  return "<!BCK=$00804000><!FNT=clWhite><!ITA>Name:<!ITA> <!FNT=clYellow><!BLD>" + server.Name + "<!BLD><!NLN>" +
         "<!FNT=clWhite><!ITA>Type:<!ITA> <!FNT=clLime>" + ServerTypeName(server.Type) + "<!NLN>" +
         "<!FNT=clWhite><!ITA>Settings:<!ITA> " + SettingsMarkup(server) + "<!NLN>" + SharesMarkup(server);
}

std::string ServerIconMarkup(const TServerFile& server) {
  return "<!BCK=$00804000>  <!IMG=" + std::to_string(server.Type + 2) + ">  <!NLN>  <!IMG=" +
         std::to_string(server.Active ? 1 : 0) + ">  ";
}

// The selection stays on the server it was on, wherever the rebuilt list puts it.
void TfMain::RefreshServers() {
  const std::string selected = SelectedPath();
  ClearMarkup();
  grid_->clearSelection();
  grid_->setColumnCount(2);
  grid_->setRowCount(1);
  grid_->SetCellText(1, 0, kFreeRow);
  serverFiles_.clear();
  int count = 0;
  for (const std::string& path : scan_()) {
    TServerFile server;
    if (!ReadServerFile(path, server)) continue;
    serverFiles_.push_back(path);
    ShowListeningPort(path, server);
    AddServerRow(server);
    ++count;
  }
  listedServerCount_ = count;
  if (count == 0) {
    grid_->SetCellMarkup(0, 0, RegisterMarkup(kEmptyIconMarkup));
    grid_->SetCellMarkup(1, 0, RegisterMarkup(kEmptyRowMarkup));
    FitRowHeights(*grid_);
  }
  const auto kept = std::find(serverFiles_.begin(), serverFiles_.end(), selected);
  grid_->selectRow(kept == serverFiles_.end() ? 0 : static_cast<int>(kept - serverFiles_.begin()));
  grid_->viewport()->update();
}

void TfMain::AddServerRow(const TServerFile& server) {
  int row = 0;
  if (grid_->CellText(1, 0) != kFreeRow) {
    row = grid_->rowCount();
    grid_->setRowCount(row + 1);
  }
  grid_->SetCellMarkup(0, row, RegisterMarkup(ServerIconMarkup(server)));
  grid_->SetCellMarkup(1, row, RegisterRow(server));
  grid_->SetCellText(1, row, kTakenRow);
  FitRowHeights(*grid_);
}

int TfMain::SelectedRow() const {
  const auto ranges = grid_->selectedRanges();
  if (ranges.isEmpty()) return grid_->currentRow();
  int top = INT_MAX;
  for (const auto& range : ranges) top = std::min(top, range.topRow());
  return top;
}

void TfMain::SelectRow(int row) { grid_->selectRow(row); }

std::string TfMain::SelectedPath() const {
  const int row = SelectedRow();
  if (listedServerCount_ == 0 || row < 0 || row >= static_cast<int>(serverFiles_.size())) return {};
  return serverFiles_[row];
}

// Every press selects the row under the pointer, so the menu of a right-click acts on
// the row it was opened over, whatever was selected before the list was rebuilt.
void TfMain::GridMouseDown(const QPoint& position) {
  const int row = grid_->rowAt(position.y());
  if (row < 0) return;
  grid_->selectRow(row);
}

void TfMain::bNewClick() {
  Guarded([this] {
    TServerFile server;
    if (!RunWizard(server, false)) return;
    if (!CreateServersFolder(serversFolder_)) {
      Ui().ShowError("Could not create folder " + serversFolder_);
      return;
    }
    const std::string path = serversFolder_ + "/" + NewServerFileName();
    WriteServerFile(path, server);
    StartServer(path);
    RefreshServers();
  });
}

void TfMain::gridDblClick() {
  const std::string path = SelectedPath();
  if (!path.empty()) EditServer(path);
}

void TfMain::EditServer(const std::string& path) {
  Guarded([this, &path] {
    TServerFile server;
    if (!ReadServerFile(path, server)) return;
    const bool wasActive = server.Active;
    if (wasActive) StopServer(path);
    if (!RunWizard(server, true)) {
      // Nothing was changed, so nothing should stay changed: a server stopped for the
      // edit runs again, and the list shows the state it really has.
      if (wasActive) StartServer(path);
      RefreshServers();
      return;
    }
    if (wasActive) {
      server.Active = true;
      WriteServerFile(path, server);
      StartServer(path);
    } else {
      WriteServerFile(path, server);
    }
    RefreshServers();
  });
}

void TfMain::miToggleClick() {
  const std::string path = SelectedPath();
  if (path.empty()) return;
  Guarded([this, &path] {
    ToggleServer(path);
    RefreshServers();
  });
}

void TfMain::miLinkClick() {
  const std::string path = SelectedPath();
  if (path.empty()) return;
  TServerFile server;
  if (!ReadServerFile(path, server)) return;
  ShowListeningPort(path, server);
  ShowServerLink(server, EntryOffersTls(FindRunningServer(path)));
}

void TfMain::miDeleteClick() {
  const std::string path = SelectedPath();
  if (path.empty()) return;
  Guarded([this, &path] {
    std::string name = path;
    TServerFile server;
    if (ReadServerFile(path, server)) name = server.Name;
    if (!Ui().Confirm("Are you sure you want to delete server " + name + "?")) return;
    if (FindRunningServer(path) >= 0) StopServer(path);
    if (!QFile::remove(ToQt(path))) Ui().ShowError("Could not delete " + path);
    RefreshServers();
  });
}

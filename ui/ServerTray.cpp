#include "ui/Controls.h"
#include "ui/ServerTray.h"

#include <cstdio>
#include <functional>

#include <QCursor>
#include <QFile>
#include <QMenu>
#include <QSystemTrayIcon>

#include "catalogue/ServerUi.h"
#include "catalogue/uServers.h"
#include "ui/DrivePath.h"
#include "ui/Icons.h"

TServerTrays::TServerTrays(QWidget& owner, TServerTrayHost host)
    : QObject(&owner), owner_(owner), host_(std::move(host)) {
  BuildMenu();
}

TServerTrays::~TServerTrays() = default;

void TServerTrays::BuildMenu() {
  pmTray_ = new QMenu(&owner_);
  pmTray_->setObjectName(QStringLiteral("pmTray"));
  connect(MenuItem(pmTray_, "GetLink1", QStringLiteral("Get Link...")), &QAction::triggered, this,
          &TServerTrays::GetLink1Click);
  connect(MenuItem(pmTray_, "Displayallclients1", QStringLiteral("Display status")), &QAction::triggered, this,
          &TServerTrays::Displayallclients1Click);
  connect(MenuItem(pmTray_, "DisplayClients1", QStringLiteral("Display connections")), &QAction::triggered, this,
          &TServerTrays::DisplayClients1Click);
  pmTray_->addSeparator();
  connect(MenuItem(pmTray_, "Kickallclients1", QStringLiteral("Kick all clients")), &QAction::triggered, this,
          &TServerTrays::Kickallclients1Click);
  connect(MenuItem(pmTray_, "StopServer1", QStringLiteral("Stop Server")), &QAction::triggered, this,
          &TServerTrays::StopServer1Click);
  pmTray_->addSeparator();
  connect(MenuItem(pmTray_, "DeleteServer1", QStringLiteral("Delete Server")), &QAction::triggered, this,
          &TServerTrays::DeleteServer1Click);
}

void TServerTrays::CreateServerTray(int index) {
  RemoveServerTray(index);
  auto* icon = new QSystemTrayIcon(this);
  icon->setObjectName(QStringLiteral("ServerTray%1").arg(index));
  connect(icon, &QSystemTrayIcon::activated, this, [this, index](QSystemTrayIcon::ActivationReason reason) {
    // As on the main tray icon: a single click opens too (see TfMain::trayDblClick).
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) host_.OpenMainWindow();
    if (reason == QSystemTrayIcon::Context) ServerTrayMouseUp(index, Qt::RightButton);
  });
  icons_[index] = TIcon{icon, -1};
  // An icon without a picture shows nothing at all; the first refresh follows at once.
  icon->setIcon(ServerImages().Icon(kImgMainTrayIdle));
  icon->show();
}

void TServerTrays::SetServerTray(int index, int image, const std::string& hint) {
  auto it = icons_.find(index);
  if (it == icons_.end()) return;
  it->second.Image = image;
  it->second.Icon->setIcon(ServerImages().Icon(image));
  it->second.Icon->setToolTip(ToQt(hint).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

void TServerTrays::RemoveServerTray(int index) {
  auto it = icons_.find(index);
  if (it == icons_.end()) return;
  // The icon may be the one whose menu is running this very command.
  it->second.Icon->hide();
  it->second.Icon->deleteLater();
  icons_.erase(it);
}

int TServerTrays::TrayImage(int index) const {
  auto it = icons_.find(index);
  return it == icons_.end() ? -1 : it->second.Image;
}

QString TServerTrays::TrayHint(int index) const {
  auto it = icons_.find(index);
  return it == icons_.end() ? QString() : it->second.Icon->toolTip();
}

void TServerTrays::ServerTrayMouseUp(int index, Qt::MouseButton button) {
  if (button != Qt::RightButton) return;
  tag_ = index;
  pmTray_->popup(QCursor::pos());
}

int TServerTrays::RunningTag() const {
  if (tag_ < 0 || static_cast<std::size_t>(tag_) >= ServerRegistry.size()) return -1;
  return ServerRegistry[tag_].Running ? tag_ : -1;
}

void TServerTrays::GetLink1Click() {
  if (const int i = RunningTag(); i >= 0) host_.ShowServerLink(ServerRegistry[i].Definition, EntryOffersTls(i));
}

void TServerTrays::Displayallclients1Click() {
  if (const int i = RunningTag(); i >= 0) host_.OpenServerLog(i);
}

void TServerTrays::DisplayClients1Click() {
  const int i = RunningTag();
  if (i < 0) return;
  host_.OpenServerLog(i);
  if (ServerRegistry[i].ClientCount == 0) AddLogLine(i, "No clients connected.");
  const TServerEngine* engine = ServerRegistry[i].Engine.get();
  const int count = engine ? engine->ClientCount() : 0;
  for (int client = 0; client < count; ++client) {
    char number[16];
    std::snprintf(number, sizeof number, "[%.2d] ", client);
    AddLogLine(i, number + engine->ClientAddress(client));
  }
}

void TServerTrays::Kickallclients1Click() {
  const int i = RunningTag();
  if (i < 0 || !ServerRegistry[i].Engine) return;
  Guarded([i] { ServerRegistry[i].Engine->DisconnectAllClients(); });
}

void TServerTrays::StopServer1Click() {
  const int i = RunningTag();
  if (i < 0) return;
  Guarded([this, i] {
    StopServer(ServerRegistry[i].FileName);
    host_.RefreshServers();
  });
}

void TServerTrays::DeleteServer1Click() {
  const int i = RunningTag();
  if (i < 0) return;
  const std::string path = ServerRegistry[i].FileName;
  if (!Ui().Confirm("Are you sure you want to permanently delete server \"" + ServerRegistry[i].Definition.Name +
                    "\" ?"))
    return;
  Guarded([this, &path] {
    StopServer(path);
    if (!QFile::remove(ToQt(path))) Ui().ShowError("Could not delete " + path);
    host_.RefreshServers();
  });
}

#pragma once
// The tray icons of running servers and the menu they share. The registry asks for an
// icon per server whose definition wants one; the menu's commands act on the entry
// whose icon was right-clicked last. Owned by the main window.

#include <functional>
#include <map>
#include <string>

#include <QObject>
#include <QString>

#include "catalogue/uFileFormat.h"

class QMenu;
class QSystemTrayIcon;
class QWidget;

// What the icons and their menu ask of the window that owns them; each is required.
struct TServerTrayHost {
  std::function<void()> OpenMainWindow;  // a click or double-click on an icon
  std::function<void(const TServerFile& server, bool tls)> ShowServerLink;
  std::function<void(int index)> OpenServerLog;
  std::function<void()> RefreshServers;
};

class TServerTrays : public QObject {
  Q_OBJECT

public:
  // The menu and the icons belong to `owner`.
  TServerTrays(QWidget& owner, TServerTrayHost host);
  ~TServerTrays() override;

  void CreateServerTray(int index);
  void SetServerTray(int index, int image, const std::string& hint);
  void RemoveServerTray(int index);

  bool HasTray(int index) const { return icons_.count(index) != 0; }
  // What the icon of entry `index` shows: its image-list index (-1 before the first
  // refresh) and its hint.
  int TrayImage(int index) const;
  QString TrayHint(int index) const;

  // Only the right button opens the menu, for entry `index`.
  void ServerTrayMouseUp(int index, Qt::MouseButton button);
  QMenu& Menu() const { return *pmTray_; }
  int MenuTag() const { return tag_; }

  void GetLink1Click();
  void Displayallclients1Click();
  void DisplayClients1Click();
  void Kickallclients1Click();
  void StopServer1Click();
  void DeleteServer1Click();

private:
  struct TIcon {
    QSystemTrayIcon* Icon = nullptr;
    int Image = -1;
  };

  void BuildMenu();
  // The running entry the menu was opened for, or -1.
  int RunningTag() const;

  QWidget& owner_;
  TServerTrayHost host_;
  std::map<int, TIcon> icons_;
  QMenu* pmTray_ = nullptr;
  int tag_ = -1;
};

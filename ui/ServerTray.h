#pragma once
// The tray icons of running servers and the menu they share. The registry asks for an
// icon per server whose definition wants one; the menu's commands act on the entry
// whose icon was right-clicked last. Owned by the main window.

#include <map>
#include <string>

#include <QObject>
#include <QString>

class QMenu;
class QSystemTrayIcon;
class TfMain;

class TServerTrays : public QObject {
  Q_OBJECT

public:
  explicit TServerTrays(TfMain& main);
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

  TfMain& main_;
  std::map<int, TIcon> icons_;
  QMenu* pmTray_ = nullptr;
  int tag_ = -1;
};

#pragma once
// Shared by the desktop tests: the font the windows use, bounded waits that keep Qt's
// events running, and a front that records message boxes instead of showing them.

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QFont>
#include <QWidget>

#include "catalogue/ServerUi.h"

// 11-pixel DejaVu Sans: a text height of 13 pixels, like the windows' own font.
QFont TestFont();

// Runs Qt's events until `done` holds or two seconds pass; returns `done()`.
bool WaitFor(const std::function<bool()>& done);

// The named child, failing the test when it is missing.
template <class T>
T* Child(const QWidget& parent, const char* name) {
  T* child = parent.findChild<T*>(QString::fromLatin1(name));
  if (!child) ADD_FAILURE() << "no child named " << name;
  return child;
}

// Answers boxes without showing them; remembers every error text.
class TRecordingUi : public ServerUi {
public:
  std::vector<std::string> Errors;

  void AddActivityLine(const std::string&) override {}
  void UpdateTrayIcon(int) override {}
  void CreateServerTray(int) override {}
  void SetServerTray(int, int, const std::string&) override {}
  void RemoveServerTray(int) override {}
  void AppendLogLine(int, const std::string&) override {}
  void CloseLogWindow(int) override {}
  void StartGlitchTimer(int) override {}
  void ShowError(const std::string& text) override { Errors.push_back(text); }
  bool Confirm(const std::string&) override { return true; }
};

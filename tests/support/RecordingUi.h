#pragma once
// A front that records what the registry shows instead of showing it: activity
// lines, tray changes, log-window lines, delayed tray refreshes and boxes.
// Confirmations answer Yes.

#include <string>
#include <vector>

#include "catalogue/ServerUi.h"

struct TRecordingUi : ServerUi {
  void AddActivityLine(const std::string& line) override { activity.push_back(line); }
  void UpdateTrayIcon(int count) override { mainTray.push_back(count); }
  void CreateServerTray(int index) override { trays.push_back("create " + std::to_string(index)); }
  void SetServerTray(int index, int image, const std::string& hint) override {
    trays.push_back("set " + std::to_string(index) + " " + std::to_string(image));
    lastHint = hint;
  }
  void RemoveServerTray(int index) override { trays.push_back("remove " + std::to_string(index)); }
  void AppendLogLine(int, const std::string& line) override { logWindow.push_back(line); }
  void CloseLogWindow(int index) override { trays.push_back("close log " + std::to_string(index)); }
  void StartGlitchTimer(int index) override { glitches.push_back(index); }
  void ShowError(const std::string& text) override { errors.push_back(text); }
  bool Confirm(const std::string&) override { return true; }

  std::vector<std::string> activity, trays, logWindow, errors;
  std::vector<int> mainTray, glitches;
  std::string lastHint;
};

#pragma once
// The one door from the core to whatever front is running: the desktop front
// implements it with Qt, the headless front with standard output and error.

#include <functional>
#include <memory>
#include <string>

class ServerUi {
public:
  virtual ~ServerUi() = default;

  // A finished log line ("[9:07 PM] text") for the activity log.
  virtual void AddActivityLine(const std::string& line) = 0;
  // The main tray image: 10 while something runs, 9 otherwise.
  virtual void UpdateTrayIcon(int runningServerCount) = 0;

  // A server's own tray icon (registry entry index). Its double-click opens the
  // main window and its right button the server menu; the front wires both.
  virtual void CreateServerTray(int index) = 0;
  virtual void SetServerTray(int index, int image, const std::string& hint) = 0;
  virtual void RemoveServerTray(int index) = 0;

  // The server's log window, when the front has one open.
  virtual void AppendLogLine(int index, const std::string& line) = 0;
  virtual void CloseLogWindow(int index) = 0;

  // Runs UpdateServerTray(index) about 500 ms from now.
  virtual void StartGlitchTimer(int index) = 0;

  // Modal boxes: an error with OK; a confirmation with Yes/No (true for Yes).
  virtual void ShowError(const std::string& text) = 0;
  virtual bool Confirm(const std::string& text) = 0;
};

// The front in use; never null (a front that prints to standard error stands in
// until one is installed).
ServerUi& Ui();
// Installs a front; returns the previous one so tests can restore it.
std::unique_ptr<ServerUi> SetUi(std::unique_ptr<ServerUi> ui);

// Runs a command the user gave. What it raises (a definition that cannot be written
// back) ends the command and is shown with ShowError; let through, it would leave the
// front's event loop and end the program.
void Guarded(const std::function<void()>& command);

#pragma once
// Gives a test a fresh registry, a recording front and a fixed local clock, and puts
// all of it back afterwards (engine makers registered meanwhile included), so tests
// that start servers cannot leak entries or fronts into the next one.

#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include "catalogue/ServerUi.h"
#include "catalogue/uFileFormat.h"
#include "catalogue/uServers.h"
#include "tests/support/RecordingUi.h"

class TRegistryScope {
public:
  explicit TRegistryScope(std::tm now) {
    auto ui = std::make_unique<TRecordingUi>();
    ui_ = ui.get();
    previousUi_ = SetUi(std::move(ui));
    SetLocalClock([now] { return now; });
    ResetRegistry();
  }
  ~TRegistryScope() {
    ResetRegistry();
    RegisterEngineMaker(kTypeFtp, nullptr);
    RegisterEngineMaker(kTypeWeb, nullptr);
    SetLocalClock(nullptr);
    SetUi(std::move(previousUi_));
  }
  TRegistryScope(const TRegistryScope&) = delete;
  TRegistryScope& operator=(const TRegistryScope&) = delete;

  TRecordingUi& Ui() { return *ui_; }

private:
  TRecordingUi* ui_ = nullptr;
  std::unique_ptr<ServerUi> previousUi_;
};

// A local time on Dec 06, 2026 (a Sunday).
inline std::tm Dec06At(int hour, int minute, int second = 0) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 6;
  t.tm_wday = 0;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

// A definition file written as the program writes them.
inline std::string WriteDefinition(const std::string& path, const std::string& name, int type,
                                   bool active, int port = 0, bool tray = true) {
  TServerFile def;
  def.Name = name;
  def.Type = static_cast<std::uint8_t>(type);
  def.Active = active;
  def.Port = port;
  def.Tray = tray;
  WriteServerFile(path, def);
  return path;
}

inline bool ActiveOnDisk(const std::string& path) {
  TServerFile def;
  return ReadServerFile(path, def) && def.Active;
}

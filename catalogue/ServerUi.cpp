#include "catalogue/ServerUi.h"

#include <cstdio>
#include <exception>
#include <utility>

namespace {

// Stands in until a front is installed: texts still reach somebody, trays and log
// windows do not exist, and a question is answered No so nothing is done unasked.
class TStandInUi : public ServerUi {
public:
  void AddActivityLine(const std::string& line) override {
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
  }
  void UpdateTrayIcon(int) override {}
  void CreateServerTray(int) override {}
  void SetServerTray(int, int, const std::string&) override {}
  void RemoveServerTray(int) override {}
  void AppendLogLine(int, const std::string&) override {}
  void CloseLogWindow(int) override {}
  void StartGlitchTimer(int) override {}
  void ShowError(const std::string& text) override {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  }
  bool Confirm(const std::string& text) override {
    ShowError(text);
    return false;
  }
};

std::unique_ptr<ServerUi>& Current() {
  static std::unique_ptr<ServerUi> ui = std::make_unique<TStandInUi>();
  return ui;
}

}  // namespace

ServerUi& Ui() { return *Current(); }

std::unique_ptr<ServerUi> SetUi(std::unique_ptr<ServerUi> ui) {
  if (!ui) ui = std::make_unique<TStandInUi>();
  return std::exchange(Current(), std::move(ui));
}

void Guarded(const std::function<void()>& command) {
  try {
    command();
  } catch (const std::exception& e) {
    Ui().ShowError(e.what());
  }
}

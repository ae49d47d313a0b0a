#pragma once
// Shared by the desktop front's tests: a front that records boxes while the main
// window shows everything else, engines that only pretend to serve, a tiny HTTP
// server on the loopback for the address lookup, and a Servers folder of their own.

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalogue/uServers.h"
#include "net/WSocketS.h"
#include "ui/QtFront.h"
#include "ui/frmMain.h"

// The real desktop front, but boxes are answered from `Answer` and remembered.
class TBoxRecordingUi : public TQtUi {
public:
  using TQtUi::TQtUi;
  std::vector<std::string> Errors;
  std::vector<std::string> Questions;
  bool Answer = true;

  void ShowError(const std::string& text) override { Errors.push_back(text); }
  bool Confirm(const std::string& text) override {
    Questions.push_back(text);
    return Answer;
  }
};

// Stands in for the FTP and web engines: clients are just addresses.
class TFakeEngine : public TServerEngine {
public:
  std::vector<std::string> Clients;
  int Kicks = 0;
  bool Tls = false;  // as if a certificate had loaded at the start

  void Start() override {}
  void Stop() override {}
  int ClientCount() const override { return static_cast<int>(Clients.size()); }
  void DisconnectAllClients() override {
    ++Kicks;
    Clients.clear();
  }
  std::string ClientAddress(int client) const override { return Clients.at(client); }
  bool OffersTls() const override { return Tls; }
  // Where a definition with Port=0 is reached, as if the system had picked it.
  int BoundPort() const override { return 43210; }
};

// The fake engine of each registry entry, made as the registry starts it.
std::map<int, TFakeEngine*>& FakeEngines();
void RegisterFakeEngines();
void UnregisterFakeEngines();

// Answers every connection with `Reply` (then closes, unless KeepOpen) once the
// request's empty line has arrived; remembers each request.
class TCannedHttpServer {
public:
  TCannedHttpServer();
  ~TCannedHttpServer();

  std::string Reply;
  bool KeepOpen = false;
  bool Silent = false;
  std::vector<std::string> Requests;

  std::string Port() const { return server_.LocalBoundPort(); }
  std::string Url(const std::string& path = "/cgi-bin/getip.cgi") const {
    return "http://127.0.0.1:" + Port() + path;
  }

private:
  TWSocketServer server_;
  std::map<TWSocketClient*, std::string> pending_;
};

// A main window over a Servers folder of its own, with the recording front installed
// and the registry emptied before and after.
class DesktopTest : public testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Writes Servers/<name>.server and returns its path.
  std::string WriteDefinition(const std::string& name, const TServerFile& server);
  static TServerFile Definition(const std::string& name, int type, int port = 2121);
  TServerFile ReadBack(const std::string& path);

  std::filesystem::path root_;
  std::string servers_;
  std::unique_ptr<TfMain> main_;
  TBoxRecordingUi* ui_ = nullptr;
  std::unique_ptr<ServerUi> previous_;
};

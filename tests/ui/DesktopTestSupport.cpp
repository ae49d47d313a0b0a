#include "DesktopTestSupport.h"

#include <algorithm>
#include <atomic>

#include <unistd.h>

std::map<int, TFakeEngine*>& FakeEngines() {
  static std::map<int, TFakeEngine*> engines;
  return engines;
}

void RegisterFakeEngines() {
  for (int type : {int(kTypeFtp), int(kTypeWeb)}) {
    RegisterEngineMaker(type, [](int index, const TServerFile&) {
      auto engine = std::make_unique<TFakeEngine>();
      FakeEngines()[index] = engine.get();
      return std::unique_ptr<TServerEngine>(std::move(engine));
    });
  }
}

void UnregisterFakeEngines() {
  RegisterEngineMaker(kTypeFtp, nullptr);
  RegisterEngineMaker(kTypeWeb, nullptr);
  FakeEngines().clear();
}

TCannedHttpServer::TCannedHttpServer() {
  server_.OnClientConnect = [this](TCustomWSocketServer&, TWSocketClient& client, std::uint16_t) {
    client.OnDataAvailable = [this](TCustomWSocket& sender, std::uint16_t) {
      auto& peer = static_cast<TWSocketClient&>(sender);
      std::string& request = pending_[&peer];
      request += peer.ReceiveText();
      if (request.find("\r\n\r\n") == std::string::npos) return;
      Requests.push_back(request);
      request.clear();
      if (Silent) return;
      peer.SendText(Reply);
      if (!KeepOpen) peer.OnDataSent = [](TCustomWSocket& s, std::uint16_t) { s.Shutdown(1); };
    };
  };
  server_.OnClientDisconnect = [this](TCustomWSocketServer&, TWSocketClient& client, std::uint16_t) {
    pending_.erase(&client);
  };
  server_.SetBanner("");
  server_.SetAddr("127.0.0.1");
  server_.SetPort("0");
  server_.Listen();
}

TCannedHttpServer::~TCannedHttpServer() { server_.Close(); }

void DesktopTest::SetUp() {
  static std::atomic<int> counter{0};
  root_ = std::filesystem::temp_directory_path() /
          ("dravik-desktop-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(root_);
  servers_ = (root_ / "Servers").string();
  ResetRegistry();
  RegisterFakeEngines();
  const std::string folder = servers_;
  main_ = std::make_unique<TfMain>(folder, [folder] {
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
      if (entry.is_regular_file() && entry.path().extension() == ".server") files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
  });
  main_->OpenUrl = [](const QString&) {};
  main_->Quit = [] {};
  auto ui = std::make_unique<TBoxRecordingUi>(*main_);
  ui_ = ui.get();
  previous_ = SetUi(std::move(ui));
}

void DesktopTest::TearDown() {
  ResetRegistry();
  SetUi(std::move(previous_));
  main_.reset();
  UnregisterFakeEngines();
  std::filesystem::remove_all(root_);
}

std::string DesktopTest::WriteDefinition(const std::string& name, const TServerFile& server) {
  std::filesystem::create_directories(servers_);
  const std::string path = servers_ + "/" + name + ".server";
  WriteServerFile(path, server);
  return path;
}

TServerFile DesktopTest::Definition(const std::string& name, int type, int port) {
  TServerFile server;
  server.Name = name;
  server.Type = static_cast<std::uint8_t>(type);
  server.Port = port;
  server.Tray = false;
  server.Active = false;
  return server;
}

TServerFile DesktopTest::ReadBack(const std::string& path) {
  TServerFile server;
  EXPECT_TRUE(ReadServerFile(path, server)) << path;
  return server;
}

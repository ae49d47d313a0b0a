#include "ftp/FtpShare.h"

#include <memory>
#include <string>

#include "catalogue/Product.h"
#include "catalogue/uServers.h"
#include "ftp/FtpSrv.h"

namespace {

// The registry's view of one running FTP server.
class TFtpEngine : public TServerEngine {
public:
  explicit TFtpEngine(std::unique_ptr<TFtpServer> server) : server_(std::move(server)) {}
  void Start() override { server_->Start(); }
  void Stop() override { server_->Stop(); }
  int ClientCount() const override { return server_->ClientCount(); }
  void DisconnectAllClients() override { server_->DisconnectAllClients(); }
  TFtpServer& Server() { return *server_; }

private:
  std::unique_ptr<TFtpServer> server_;
};

}  // namespace

void RegisterFtpEngine() {
  RegisterEngineMaker(0, [](int index, const TServerFile& definition) {
    auto server = std::make_unique<TFtpServer>();
    server->Tag = index;
    server->Port = std::to_string(definition.Port);
    server->MaxClients = definition.Multiple ? 100 : 1;
    server->Banner = std::string("220 Dravik Server FTP (") + kMakerAddress + ")";
    return std::unique_ptr<TServerEngine>(std::make_unique<TFtpEngine>(std::move(server)));
  });
}

#pragma once
// Where the FTP engine meets the registry: the engine a type 0 definition starts,
// a TFtpServer tagged with the entry's index and carrying the share policy.

#include <memory>
#include <string>

#include "catalogue/uServers.h"
#include "ftp/FtpSrv.h"

// The registry's view of one running FTP server.
class TFtpEngine : public TServerEngine {
public:
  explicit TFtpEngine(std::unique_ptr<TFtpServer> server) : server_(std::move(server)) {}
  void Start() override { server_->Start(); }
  void Stop() override { server_->Stop(); }
  int ClientCount() const override { return server_->ClientCount(); }
  void DisconnectAllClients() override { server_->DisconnectAllClients(); }
  std::string ClientAddress(int client) const override {
    const TFtpCtrlSocket* c = server_->Client(client);
    return c ? c->PeerAddr() : std::string();
  }
  TFtpServer& Server() { return *server_; }

private:
  std::unique_ptr<TFtpServer> server_;
};

// Registers the FTP engine maker (type 0) with the registry.
void RegisterFtpEngine();

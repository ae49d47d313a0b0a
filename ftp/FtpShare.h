#pragma once
// Where the FTP engine meets the registry: the engine a type 0 definition starts,
// a TFtpServer tagged with the entry's index and carrying the share policy.

#include <memory>
#include <string>
#include <vector>

#include "catalogue/uServers.h"
#include "ftp/FtpSrv.h"

// The registry's view of one running FTP server.
class TFtpEngine : public TServerEngine {
public:
  // folders: the shared folders' paths, checked at every start.
  explicit TFtpEngine(std::unique_ptr<TFtpServer> server, std::vector<std::string> folders = {})
      : server_(std::move(server)), folders_(std::move(folders)) {}
  // Begins listening, then tells the owner of every shared folder that is missing: a
  // client would only ever see a refusal, and the owner nothing at all.
  void Start() override;
  void Stop() override { server_->Stop(); }
  int ClientCount() const override { return server_->ClientCount(); }
  void DisconnectAllClients() override { server_->DisconnectAllClients(); }
  std::string ClientAddress(int client) const override {
    const TFtpCtrlSocket* c = server_->Client(client);
    return c ? c->PeerAddr() : std::string();
  }
  int BoundPort() const override { return server_->Listening() ? server_->BoundPort() : 0; }
  std::string StartNote() const override { return startNote_; }
  bool OffersTls() const override { return tls_ != nullptr; }
  std::string TlsError() const override { return tlsError_; }
  TFtpServer& Server() { return *server_; }

private:
  std::unique_ptr<TTlsContext> tls_;  // outlives the sessions made from it
  std::string startNote_;
  std::string tlsError_;
  std::unique_ptr<TFtpServer> server_;
  std::vector<std::string> folders_;
};

// Registers the FTP engine maker (type 0) with the registry.
void RegisterFtpEngine();

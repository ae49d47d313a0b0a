#pragma once
// The program's side of every web server: the connection class TClient, the three
// handlers the registry installs on a THttpServer, and the engine the registry
// makes for a type 1 definition. The handlers find their registry entry through
// the Tag of the server that calls them.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/uServers.h"
#include "platform/HostPlace.h"
#include "web/HttpSrv.h"

// A web peer. Authorized belongs to the connection, not to one request: it changes
// only when a request carries an Authorization line.
class TClient : public THttpConnection {
public:
  bool Authorized() const { return authorized_; }
  void SetAuthorized(bool on) { authorized_ = on; }

private:
  bool authorized_ = false;
};

void WebClientConnect(THttpServer& sender, THttpConnection& client, std::uint16_t error);
// Logs the leave; the tray refresh waits 500 ms because the engine still counts the
// closing client now.
void WebClientDisconnect(THttpServer& sender, THttpConnection& client, std::uint16_t error);
// A time limit or refusal hit a client: one activity line.
void WebLimit(THttpServer& sender, THttpConnection& client, const std::string& text);
// Basic authorization, the listing page for "/", shared files by their link; any
// other path is left to the engine (Flags stays hgSendDoc).
void WebGetDocument(THttpServer& sender, THttpConnection& client, THttpGetFlag& flags);
// As GET, without the body; other paths keep the engine's own HEAD answer.
void WebHeadDocument(THttpServer& sender, THttpConnection& client, THttpGetFlag& flags);
void SendUnauthorized(THttpConnection& client, bool withBody = true);

// The registry's engine for a Web definition: a THttpServer with TClient
// connections and the handlers above, tagged with the entry's index.
class TWebEngine : public TServerEngine {
public:
  TWebEngine(int index, const TServerFile& definition);
  // Begins listening, then tells the owner of every shared file that cannot be read:
  // it would take the listing page down with it, and say nothing of why.
  void Start() override;
  void Stop() override { server_.Stop(); }
  int ClientCount() const override { return server_.ClientCount(); }
  void DisconnectAllClients() override;
  std::string ClientAddress(int client) const override {
    const THttpConnection* connection = server_.Client(client);
    return connection ? connection->PeerAddr() : std::string();
  }
  // ListeningPort() says "error" when not listening, which reads as 0.
  int BoundPort() const override { return std::atoi(server_.ListeningPort().c_str()); }
  std::string StartNote() const override { return startNote_; }
  bool OffersTls() const override { return tls_ != nullptr; }
  std::string TlsError() const override { return tlsError_; }
  THttpServer& Server() { return server_; }
  // Where shared file i is, located beneath its folder as opened at start: only the
  // very file the owner shared, never one a link swapped in since leads to (an empty
  // place, which opens nothing, then).
  THostPlace PlaceOfFile(std::size_t i);

private:
  std::unique_ptr<TTlsContext> tls_;  // outlives the connections made from it
  std::string startNote_;
  std::string tlsError_;
  THttpServer server_;
  std::vector<std::string> files_;
  THostRoots roots_;              // the shared files' folders
  std::vector<std::string> canonical_;  // each shared file's canonical native path
};

// Makes type 1 definitions start a TWebEngine.
void RegisterWebEngine();

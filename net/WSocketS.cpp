#include "net/WSocketS.h"

#include <algorithm>
#include <exception>

// ---- TWSocketClient ----

std::string TWSocketClient::PeerAddr() const {
  return peerCaptured_ ? peerAddr_ : TWSocket::PeerAddr();
}

std::string TWSocketClient::PeerPort() const {
  return peerCaptured_ ? peerPort_ : TWSocket::PeerPort();
}

void TWSocketClient::SetSocketHandle(int handle) {
  auto alive = AliveToken();
  TWSocket::SetSocketHandle(handle);
  if (alive.expired()) return;
  sessionClosedNoted_ = false;
  peerAddr_ = TWSocket::PeerAddr();
  peerPort_ = TWSocket::PeerPort();
  peerCaptured_ = true;
}

void TWSocketClient::SendBanner() {
  if (!banner_.empty()) SendText(banner_ + LineEnd());
}

void TWSocketClient::TriggerSessionClosed(std::uint16_t error) {
  if (!sessionClosedNoted_) {
    sessionClosedNoted_ = true;
    if (server_) server_->PostClientClosed(*this);
  }
  TWSocket::TriggerSessionClosed(error);
}

// ---- TCustomWSocketServer ----

TCustomWSocketServer::TCustomWSocketServer() { SetClientClass<TWSocketClient>(); }

TCustomWSocketServer::~TCustomWSocketServer() {
  // Last to first; a session's destruction fires no event.
  while (!clients_.empty()) {
    auto last = std::move(clients_.back());
    clients_.pop_back();
  }
}

int TCustomWSocketServer::ClientCount() const { return static_cast<int>(clients_.size()); }

TWSocketClient* TCustomWSocketServer::Client(int index) const {
  if (index < 0 || index >= ClientCount()) return nullptr;
  return clients_[static_cast<std::size_t>(index)].get();
}

bool TCustomWSocketServer::Holds(const TWSocketClient* client) const {
  return std::any_of(clients_.begin(), clients_.end(), [client](const auto& c) { return c.get() == client; });
}

void TCustomWSocketServer::TriggerClientCreate(TWSocketClient& client) {
  if (OnClientCreate) OnClientCreate(*this, client);
}
void TCustomWSocketServer::TriggerClientConnect(TWSocketClient& client, std::uint16_t error) {
  if (OnClientConnect) OnClientConnect(*this, client, error);
}
void TCustomWSocketServer::TriggerClientDisconnect(TWSocketClient& client, std::uint16_t error) {
  if (OnClientDisconnect) OnClientDisconnect(*this, client, error);
}

void TCustomWSocketServer::TriggerSessionAvailable(std::uint16_t error) {
  auto alive = AliveToken();
  TWSocket::TriggerSessionAvailable(error);
  if (alive.expired() || error != 0 || State() != wsListening) return;
  // Accepting before the session object exists means a failed accept leaves no
  // connection-less session behind, and never stops the server.
  int accepted = Accept();
  if (accepted < 0 || alive.expired()) return;
  FileHandle handle(accepted);

  ++clientNumber_;
  std::unique_ptr<TWSocketClient> made = ClientClass ? ClientClass() : nullptr;
  if (!made) made = std::make_unique<TWSocketClient>();
  TWSocketClient* client = made.get();
  client->server_ = this;
  client->FreeLaterHandler = [this](TCustomWSocket& s) { FreeClient(static_cast<TWSocketClient*>(&s)); };
  clients_.push_back(std::move(made));

  TriggerClientCreate(*client);
  if (alive.expired() || !Holds(client)) return;
  client->SetName(Name() + "Client" + std::to_string(clientNumber_));
  client->SetBanner(banner_);
  client->server_ = this;
  auto clientAlive = client->AliveToken();
  client->SetSocketHandle(handle.Release());
  if (alive.expired() || clientAlive.expired()) return;

  TriggerClientConnect(*client, error);
  if (alive.expired() || !Holds(client) || client->State() != wsConnected) return;
  if (maxClients_ > 0 && ClientCount() > maxClients_) {
    client->SetBanner(bannerToBusy_);
    client->SendBanner();
    if (!alive.expired() && Holds(client) && client->State() != wsClosed) client->Close();
    return;
  }
  client->SendBanner();
}

void TCustomWSocketServer::PostClientClosed(TWSocketClient& client) {
  auto clientAlive = client.AliveToken();
  TWSocketClient* raw = &client;
  Endpoint().Post([this, clientAlive, raw] {
    if (!clientAlive.expired()) ClientClosed(raw);
  });
}

void TCustomWSocketServer::ClientClosed(TWSocketClient* client) {
  if (!Holds(client)) return;
  auto alive = AliveToken();
  std::exception_ptr failure;
  try {
    TriggerClientDisconnect(*client, 0);
  } catch (...) {
    failure = std::current_exception();
  }
  if (alive.expired()) return;
  // Freed whatever the handler did, also when it raised.
  FreeClient(client);
  if (!failure) return;
  Guarded([&] { std::rethrow_exception(failure); });
}

void TCustomWSocketServer::FreeClient(TWSocketClient* client) {
  auto it = std::find_if(clients_.begin(), clients_.end(), [client](const auto& c) { return c.get() == client; });
  if (it == clients_.end()) return;
  auto doomed = std::move(*it);
  clients_.erase(it);
}

#pragma once
// A listening socket that turns every incoming connection into a client session
// object of a class its owner chooses, keeps the live sessions, enforces an optional
// client limit with a busy banner, and frees each session after it has closed.
//
//   TWSocketServer server;
//   server.SetClientClass<THttpConnection>();   // or: server.ClientClass = [] {...};
//   server.OnClientConnect = [](TCustomWSocketServer&, TWSocketClient& c, std::uint16_t) {...};
//   server.SetAddr("0.0.0.0"); server.SetPort("8080"); server.Listen();
//
// The server owns its sessions. A session is freed on a later turn of the loop, after
// its OnSessionClosed and the server's OnClientDisconnect; never keep a reference to
// one past OnClientDisconnect.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/WSocket.h"

class TCustomWSocketServer;

// Base class of the session objects a server makes. It adopts its connection through
// SetSocketHandle; PeerAddr/PeerPort stay readable after the connection closed.
class TWSocketClient : public TWSocket {
public:
  const std::string& Banner() const { return banner_; }
  void SetBanner(std::string banner) { banner_ = std::move(banner); }
  // The owning server; none for a free-standing session.
  TCustomWSocketServer* Server() const { return server_; }

  std::string PeerAddr() const override;
  std::string PeerPort() const override;
  void SetSocketHandle(int handle) override;
  // Sends Banner followed by LineEnd, unless Banner is empty.
  virtual void SendBanner();

protected:
  void TriggerSessionClosed(std::uint16_t error) override;

private:
  friend class TCustomWSocketServer;
  TCustomWSocketServer* server_ = nullptr;
  std::string banner_;
  std::string peerAddr_, peerPort_;
  bool peerCaptured_ = false;
  bool sessionClosedNoted_ = false;
};

using TWSocketClientCreateEvent = std::function<void(TCustomWSocketServer& sender, TWSocketClient& client)>;
using TWSocketClientConnectEvent =
    std::function<void(TCustomWSocketServer& sender, TWSocketClient& client, std::uint16_t error)>;

class TCustomWSocketServer : public TWSocket {
public:
  using TClientFactory = std::function<std::unique_ptr<TWSocketClient>()>;

  TCustomWSocketServer();
  ~TCustomWSocketServer() override;

  // Makes one session object per accepted connection; set before Listen.
  TClientFactory ClientClass;
  template <typename T>
  void SetClientClass() {
    ClientClass = [] { return std::make_unique<T>(); };
  }

  TWSocketClientCreateEvent OnClientCreate;
  TWSocketClientConnectEvent OnClientConnect;
  // The session has closed and is freed right after this returns.
  TWSocketClientConnectEvent OnClientDisconnect;

  const std::string& Banner() const { return banner_; }
  void SetBanner(std::string banner) { banner_ = std::move(banner); }
  const std::string& BannerToBusy() const { return bannerToBusy_; }
  void SetBannerToBusy(std::string banner) { bannerToBusy_ = std::move(banner); }
  std::int32_t MaxClients() const { return maxClients_; }
  void SetMaxClients(std::int32_t n) { maxClients_ = n; }

  virtual int ClientCount() const;
  // The session at index, or nullptr outside 0 .. ClientCount()-1.
  virtual TWSocketClient* Client(int index) const;

protected:
  void TriggerSessionAvailable(std::uint16_t error) override;
  virtual void TriggerClientCreate(TWSocketClient& client);
  virtual void TriggerClientConnect(TWSocketClient& client, std::uint16_t error);
  virtual void TriggerClientDisconnect(TWSocketClient& client, std::uint16_t error);

private:
  friend class TWSocketClient;
  void PostClientClosed(TWSocketClient& client);
  void ClientClosed(TWSocketClient* client);
  bool Holds(const TWSocketClient* client) const;
  void FreeClient(TWSocketClient* client);

  std::string banner_ = "Welcome to Netbay";
  std::string bannerToBusy_ = "Sorry, too many clients";
  std::int32_t maxClients_ = 0;
  std::int32_t clientNumber_ = 0;
  std::vector<std::unique_ptr<TWSocketClient>> clients_;
};

class TWSocketServer : public TCustomWSocketServer {};

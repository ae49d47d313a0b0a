#pragma once
// A stand-in protocol engine for registry tests: it really listens on 127.0.0.1, so a
// port another socket holds really fails, and its client count is set by the test.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <stdexcept>

#include "catalogue/uServers.h"
#include "platform/FileHandle.h"

class TLoopbackEngine : public TServerEngine {
public:
  explicit TLoopbackEngine(int port) : port_(port) {}
  void Start() override {
    FileHandle fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.Get(), 5) != 0)
      throw std::runtime_error("Address already in use");
    listener_ = std::move(fd);
  }
  void Stop() override { listener_.Reset(); }
  int ClientCount() const override { return clients; }
  void DisconnectAllClients() override { clients = 0; }

  int clients = 0;

private:
  int port_;
  FileHandle listener_;
};

// A port held by another listener on 127.0.0.1 for the holder's lifetime.
class THeldPort {
public:
  THeldPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(fd_.Get(), 1) != 0 ||
        ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("cannot hold a loopback port");
    port = ntohs(addr.sin_port);
  }
  int port = 0;

private:
  FileHandle fd_;
};

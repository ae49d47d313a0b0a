#pragma once
// A vocabulary for loopback socket tests: bounded waits on the test thread's loop,
// and a plain peer (listener or client) that is not built on the layer under test.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/EventLoop.h"
#include "platform/FileHandle.h"

namespace nettest {

using namespace std::chrono_literals;

// Pumps the loop until cond holds or the timeout passes.
bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout = 5000ms);
// Pumps the loop for a while, for checks that something does NOT happen.
void Settle(std::chrono::milliseconds period = 100ms);

// A peer on 127.0.0.1 driven with plain calls; every wait pumps the loop, so the
// socket under test keeps working meanwhile.
class Peer {
public:
  // Connects to 127.0.0.1:port (the handshake completes in the kernel's backlog).
  static Peer ConnectTo(std::uint16_t port);
  explicit Peer(FileHandle fd) : fd_(std::move(fd)) {}

  void Send(const std::string& bytes);
  // Collects until `count` bytes arrived, the peer closed, or the timeout passed.
  std::string Read(std::size_t count, std::chrono::milliseconds timeout = 5000ms);
  // Collects until the other side closes; the bytes read before the end.
  std::string ReadToEnd(std::chrono::milliseconds timeout = 5000ms);
  // Whatever arrives within the period.
  std::string ReadFor(std::chrono::milliseconds period);
  bool SawEnd() const { return sawEnd_; }
  void SetReceiveBuffer(int bytes);
  // Closes with a reset instead of an orderly close.
  void Reset();
  void Close() { fd_.Reset(); }
  int Fd() const { return fd_.Get(); }

private:
  FileHandle fd_;
  bool sawEnd_ = false;
};

// A listening peer on 127.0.0.1 and a port chosen by the system.
class PeerListener {
public:
  PeerListener();
  std::uint16_t Port() const { return port_; }
  // Waits (pumping) for a connection.
  Peer Accept(std::chrono::milliseconds timeout = 5000ms);

private:
  FileHandle fd_;
  std::uint16_t port_ = 0;
};

std::string Pattern(std::size_t size);

}  // namespace nettest

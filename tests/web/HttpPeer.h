#pragma once
// A raw HTTP peer for engine tests: a plain loopback socket that sends bytes as
// written and collects the answer, pumping the program's loop while it waits so
// the server in the same thread keeps running. Every wait is bounded.

#include <chrono>
#include <string>

class THttpPeer {
public:
  explicit THttpPeer(int port);
  ~THttpPeer();
  THttpPeer(const THttpPeer&) = delete;
  THttpPeer& operator=(const THttpPeer&) = delete;

  void Send(const std::string& bytes);
  // Ends the sending side only, as a client does that has nothing more to ask.
  void EndSending();
  // Everything until the server ends its sending side (end of stream) or the
  // timeout passes.
  std::string ReadToEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits until at least n bytes arrived or the timeout passes; returns all so far.
  std::string ReadAtLeast(std::size_t n,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True once end of stream was seen.
  bool Ended() const { return ended_; }
  // True once the connection was reset rather than ended.
  bool WasReset() const { return reset_; }
  // Whether the connection was reset or refused data after the server closed it:
  // sends a byte and pumps until the peer notices (bounded).
  bool ClosedByServer(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void Close();

private:
  void Poll();

  int fd_ = -1;
  std::string received_;
  bool ended_ = false;
  bool reset_ = false;
};

// "HTTP/1.0 200 OK\r\n...\r\n\r\n" + body split at the blank line.
struct THttpAnswer {
  std::string head;
  std::string body;
};
THttpAnswer SplitAnswer(const std::string& answer);

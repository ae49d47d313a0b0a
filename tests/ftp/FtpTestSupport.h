#pragma once
// A TFtpServer on this test's event loop, listening on 127.0.0.1 port 0, and raw
// loopback clients that speak to it byte for byte. Every wait pumps the loop
// and gives up after a few seconds.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ftp/FtpSrv.h"
#include "platform/FileHandle.h"

// A plain TCP connection the test drives itself (non-blocking underneath).
class RawConn {
public:
  // Connects to host:port, optionally from a given local address.
  RawConn(const std::string& host, int port, const std::string& from = "");
  bool Connected() const { return fd_.Valid(); }
  void SendBytes(const std::string& bytes);
  // The next line without its CR LF; "<timeout>" or "<closed>" when none comes.
  std::string ReadLine();
  // Everything until the peer closes.
  std::string ReadAll();
  // True once the peer has closed (pending bytes are collected first).
  bool WaitClosed();
  // Resets the connection (RST) instead of closing it.
  void Reset();
  // Ends the sending side only (FIN); reading goes on.
  void ShutdownSending();
  void Close() { fd_.Reset(); }
  int LocalPort() const;
  // Reads at most max bytes that are there now, as a slow client does; 0 when none
  // are, or at the end of the stream (then Ended).
  std::size_t Take(std::size_t max);
  bool Ended() const { return eof_; }

private:
  bool Fill();  // reads what is there; false at end of stream
  FileHandle fd_;
  std::string in_;
  bool eof_ = false;
};

class FtpTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Connects a new control connection and reads its greeting; returns its index.
  int Connect();
  RawConn& Ctrl(int c = 0) { return *ctrls_.at(static_cast<std::size_t>(c)); }
  // Sends one command line and answers the reply (all lines of a multi-line one,
  // joined with "\n").
  std::string Command(const std::string& line, int c = 0);
  std::string Reply(int c = 0);
  void Login(const std::string& user, const std::string& pass, int c = 0);

  // PASV, then a data connection to the announced port.
  std::unique_ptr<RawConn> Passive(int c = 0);

  // The scratch folder (native, with a trailing "/") and its drive form.
  std::string Native(const std::string& name = "") const { return dir_ + name; }
  std::string HostDir() const;  // C:\tmp\...\ (trailing backslash)
  std::string FtpDir() const;   // /C:/tmp/.../
  void WriteFile(const std::string& name, const std::string& content);
  std::string ReadFile(const std::string& name) const;
  bool Exists(const std::string& name) const;
  void Pump();
  bool WaitFor(const std::function<bool()>& cond);

  std::unique_ptr<TFtpServer> server_;
  int port_ = 0;
  std::string dir_;
  std::vector<std::unique_ptr<RawConn>> ctrls_;
};

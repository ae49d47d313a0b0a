#include "FtpTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/EventLoop.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kWait = 5s;

sockaddr_in Endpoint(const std::string& host, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
  return a;
}

bool Pumped(const std::function<bool()>& cond) {
  return EventLoop::Instance().WaitFor(cond, std::chrono::duration_cast<std::chrono::milliseconds>(kWait));
}

}  // namespace

RawConn::RawConn(const std::string& host, int port, const std::string& from) {
  FileHandle fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!from.empty()) {
    sockaddr_in local = Endpoint(from, 0);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return;
  }
  sockaddr_in to = Endpoint(host, port);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)
    return;
  bool done = Pumped([&] {
    pollfd p{fd.Get(), POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1;
  });
  int err = 0;
  socklen_t len = sizeof err;
  ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len);
  if (done && err == 0) fd_ = std::move(fd);
}

void RawConn::SendBytes(const std::string& bytes) {
  std::size_t off = 0;
  Pumped([&] {
    while (off < bytes.size()) {
      ssize_t n = ::send(fd_.Get(), bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return n < 0 && errno != EAGAIN;  // a broken pipe ends the attempt
      off += static_cast<std::size_t>(n);
    }
    return true;
  });
}

bool RawConn::Fill() {
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd_.Get(), buf, sizeof buf, 0);
    if (n > 0) {
      in_.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) eof_ = true;
    return !eof_;
  }
}

std::string RawConn::ReadLine() {
  if (!fd_.Valid()) return "<closed>";
  std::size_t pos = std::string::npos;
  Pumped([&] {
    Fill();
    pos = in_.find("\r\n");
    return pos != std::string::npos || eof_;
  });
  if (pos == std::string::npos) return eof_ ? "<closed>" : "<timeout>";
  std::string line = in_.substr(0, pos);
  in_.erase(0, pos + 2);
  return line;
}

std::string RawConn::ReadAll() {
  WaitClosed();
  return std::exchange(in_, {});
}

bool RawConn::WaitClosed() {
  if (!fd_.Valid()) return true;
  return Pumped([&] { return !Fill(); });
}

void RawConn::Reset() {
  linger l{1, 0};
  ::setsockopt(fd_.Get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  fd_.Reset();
}

void RawConn::ShutdownSending() { ::shutdown(fd_.Get(), SHUT_WR); }

std::size_t RawConn::Take(std::size_t max) {
  std::string buf(max, '\0');
  const ssize_t n = ::recv(fd_.Get(), buf.data(), max, 0);
  if (n == 0) eof_ = true;
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

int RawConn::LocalPort() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// ---------------------------------------------------------------------------

void FtpTest::SetUp() {
  char tmpl[] = "/tmp/dravik-ftp-test-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  dir_ = std::string(tmpl) + "/";
  server_ = std::make_unique<TFtpServer>();
  server_->Addr = "127.0.0.1";
  server_->Port = "0";
  server_->OnAuthenticate = [this](TFtpServer&, TFtpCtrlSocket& client, const std::string&,
                                   const std::string& password, bool& ok) {
    ok = password == "secret";
    client.StartDirectory = HostDir();
  };
  server_->Start();
  port_ = server_->BoundPort();
  ASSERT_GT(port_, 0);
}

void FtpTest::TearDown() {
  ctrls_.clear();
  server_.reset();
  Pump();
  std::filesystem::remove_all(dir_);
}

int FtpTest::Connect() {
  ctrls_.push_back(std::make_unique<RawConn>("127.0.0.1", port_));
  int c = static_cast<int>(ctrls_.size()) - 1;
  EXPECT_TRUE(Ctrl(c).Connected());
  return c;
}

std::string FtpTest::Reply(int c) {
  std::string reply = Ctrl(c).ReadLine();
  // A multi-line reply runs from "nnn-" to the line that starts with "nnn ".
  if (reply.size() >= 4 && reply[3] == '-') {
    std::string code = reply.substr(0, 3) + " ";
    for (;;) {
      std::string line = Ctrl(c).ReadLine();
      reply += "\n" + line;
      if (line.rfind(code, 0) == 0 || line[0] == '<') break;
    }
  }
  return reply;
}

std::string FtpTest::Command(const std::string& line, int c) {
  Ctrl(c).SendBytes(line + "\r\n");
  return Reply(c);
}

void FtpTest::Login(const std::string& user, const std::string& pass, int c) {
  ASSERT_EQ(Command("USER " + user, c), "331 Password required for " + user + ".");
  ASSERT_EQ(Command("PASS " + pass, c), "230 User " + user + " logged in.");
}

std::unique_ptr<RawConn> FtpTest::Passive(int c) {
  std::string reply = Command("PASV", c);
  unsigned a, b, cc, d, p1, p2;
  if (std::sscanf(reply.c_str(), "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u).", &a, &b, &cc,
                  &d, &p1, &p2) != 6) {
    ADD_FAILURE() << reply;
    return nullptr;
  }
  return std::make_unique<RawConn>("127.0.0.1", static_cast<int>(p1 * 256 + p2));
}

std::string FtpTest::HostDir() const {
  std::string host = "C:" + dir_;
  for (char& ch : host)
    if (ch == '/') ch = '\\';
  return host;
}

std::string FtpTest::FtpDir() const { return "/C:" + dir_; }

void FtpTest::WriteFile(const std::string& name, const std::string& content) {
  std::ofstream(Native(name), std::ios::binary) << content;
}

std::string FtpTest::ReadFile(const std::string& name) const {
  std::ifstream in(Native(name), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FtpTest::Exists(const std::string& name) const {
  return std::filesystem::exists(Native(name));
}

void FtpTest::Pump() {
  while (EventLoop::Instance().pump()) {
  }
}

bool FtpTest::WaitFor(const std::function<bool()>& cond) { return Pumped(cond); }

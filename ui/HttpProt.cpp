#include "ui/HttpProt.h"

#include <cstdlib>
#include <utility>

#include "catalogue/Product.h"
#include "net/WSocket.h"
#include "platform/EventLoop.h"
#include "platform/SocketError.h"
#include "platform/Text.h"

namespace {

constexpr int kStatusNotFound = 404;
constexpr int kErrorBusy = 1;
constexpr int kErrorLineTooLong = 4;
// Each pass waits this long at most for the sockets before the windows get a turn.
constexpr int kPassMs = 10;

std::string ErrorWithNumber(int error) {
  return SocketErrorText(error) + " (Error #" + std::to_string(error) + ")";
}

std::string& LookupUrl() {
  static std::string url;
  return url;
}

std::chrono::milliseconds& LookupTimeLimit() {
  static std::chrono::milliseconds limit{0};
  return limit;
}

}  // namespace

THttpUrl ParseURL(const std::string& url) {
  THttpUrl parts;
  std::string rest = url;
  if (auto scheme = rest.find("://"); scheme != std::string::npos) {
    parts.Proto = AsciiLower(rest.substr(0, scheme));
    rest.erase(0, scheme + 3);
  }
  if (auto slash = rest.find('/'); slash != std::string::npos) {
    parts.Path = rest.substr(slash);
    rest.erase(slash);
  }
  if (auto at = rest.rfind('@'); at != std::string::npos) {
    std::string login = rest.substr(0, at);
    rest.erase(0, at + 1);
    auto colon = login.find(':');
    parts.User = login.substr(0, colon);
    if (colon != std::string::npos) parts.Password = login.substr(colon + 1);
  }
  if (auto colon = rest.find(':'); colon != std::string::npos) {
    if (colon + 1 < rest.size()) parts.Port = rest.substr(colon + 1);
    rest.erase(colon);
  }
  parts.Host = rest;
  return parts;
}

THttpCli::THttpCli() = default;
THttpCli::~THttpCli() = default;

std::string THttpCli::RequestText(const THttpUrl& url) const {
  std::string request = "GET " + url.Path + " HTTP/1.0\r\n";
  auto line = [&request](const char* name, const std::string& value) {
    if (!value.empty()) request += name + value + "\r\n";
  };
  line("From: ", Sender);
  line("Accept: ", Accept);
  line("Referer: ", Reference);
  line("Accept-Language: ", AcceptLanguage);
  line("User-Agent: ", Agent);
  line("Host: ", url.Host);
  if (NoCache) request += "Pragma: no-cache\r\n";
  if (!Username.empty() || !Password.empty())
    line("Authorization: Basic ", Base64Encode(Username + ":" + Password));
  line("Cookie: ", Cookie);
  return request + "\r\n";
}

void THttpCli::Get() {
  if (busy_) throw EHttpException("HTTP component is busy", kErrorBusy);
  busy_ = true;
  rcvdHeader_.clear();
  contentLength_ = -1;
  statusCode_ = 0;
  reasonPhrase_.clear();
  lineTooLong_ = false;

  auto& loop = EventLoop::Instance();
  const auto deadline = EventLoop::Clock::now() + TimeLimit;
  int redirections = 0;
  StartRound(ParseURL(URL));
  for (;;) {
    while (roundOpen_ && EventLoop::Clock::now() < deadline) loop.RunOnce(kPassMs);
    if (roundOpen_) {
      EndRound(kStatusNotFound, "no answer from " + url_.Host + " in time");
      break;
    }
    if (location_.empty()) break;
    if (++redirections > MaxRedirections) {
      EndRound(kStatusNotFound, "too many redirections");
      break;
    }
    THttpUrl next = Redirected(location_);
    socket_.reset();  // outside its events: the round has ended
    StartRound(next);
  }
  socket_.reset();
  state_ = httpReady;
  busy_ = false;
  if (lineTooLong_) throw EHttpException("HTTP line too long", kErrorLineTooLong);
  if (statusCode_ >= 400) throw EHttpException(reasonPhrase_, statusCode_);
}

void THttpCli::StartRound(const THttpUrl& url) {
  url_ = url;
  location_.clear();
  pending_.clear();
  contentLength_ = -1;
  roundOpen_ = true;
  state_ = httpDnsLookup;
  socket_ = std::make_unique<TWSocket>();
  socket_->OnDnsLookupDone = [this](TCustomWSocket&, std::uint16_t error) { DnsLookupDone(error); };
  socket_->OnSessionConnected = [this](TCustomWSocket&, std::uint16_t error) { SessionConnected(error); };
  socket_->OnDataAvailable = [this](TCustomWSocket&, std::uint16_t) { DataAvailable(); };
  socket_->OnSessionClosed = [this](TCustomWSocket&, std::uint16_t) { SessionClosed(); };
  try {
    socket_->DnsLookup(url_.Host);
  } catch (const std::exception& e) {
    EndRound(kStatusNotFound, e.what());
  }
}

void THttpCli::EndRound(int status, const std::string& reason) {
  statusCode_ = status;
  reasonPhrase_ = reason;
  location_.clear();
  roundOpen_ = false;
  if (socket_ && socket_->State() != wsClosed) socket_->Abort();
}

void THttpCli::DnsLookupDone(std::uint16_t error) {
  if (!roundOpen_) return;
  if (error != 0 || socket_->DnsResult().empty()) {
    EndRound(kStatusNotFound, "can't resolve hostname to IP address");
    return;
  }
  state_ = httpConnecting;
  try {
    socket_->SetAddr(socket_->DnsResult());
    socket_->SetPort(url_.Port);
    socket_->SetProto("tcp");
    socket_->SetLocalAddr(LocalAddr);
    socket_->Connect();
  } catch (const ESocketException& e) {
    const int error = socket_->LastError();
    EndRound(kStatusNotFound, "can't connect: " + (error ? ErrorWithNumber(error) : std::string(e.what())));
  }
}

void THttpCli::SessionConnected(std::uint16_t error) {
  if (!roundOpen_) return;
  if (error != 0) {
    EndRound(kStatusNotFound, ErrorWithNumber(error));
    return;
  }
  state_ = httpWaitingHeader;
  socket_->SendText(RequestText(url_));
}

void THttpCli::DataAvailable() {
  char buffer[kBufferSize];
  const int n = socket_->Receive(buffer, sizeof buffer);
  if (n > 0 && roundOpen_) TakeBytes(buffer, static_cast<std::size_t>(n));
}

void THttpCli::SessionClosed() {
  if (!roundOpen_) return;
  // A header the server ended by closing still counts, as does a page that began
  // without one and had no line end.
  if (state_ == httpWaitingHeader && !pending_.empty()) HeaderLine(std::exchange(pending_, {}));
  if (!roundOpen_) return;
  if (state_ == httpWaitingHeader && !location_.empty()) {
    roundOpen_ = false;  // Get follows the location
    return;
  }
  EndRound(statusCode_, reasonPhrase_);
}

void THttpCli::TakeBytes(const char* data, std::size_t size) {
  if (state_ == httpWaitingBody) {
    BodyBlock(std::string(data, size));
    return;
  }
  pending_.append(data, size);
  std::size_t lf;
  while (roundOpen_ && state_ == httpWaitingHeader && (lf = pending_.find('\n')) != std::string::npos) {
    std::string line = pending_.substr(0, lf);
    pending_.erase(0, lf + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    HeaderLine(line);
  }
  if (!roundOpen_) return;
  if (state_ == httpWaitingBody) {
    if (!pending_.empty()) BodyBlock(std::exchange(pending_, {}));
  } else if (pending_.size() > kBufferSize) {
    lineTooLong_ = true;
    EndRound(statusCode_, "HTTP line too long");
  }
}

void THttpCli::HeaderLine(const std::string& line) {
  lastReceived_ = line;
  if (StartsWithNoCase(line, "<HTML>")) {
    // A server that sends no header at all: the page starts here.
    if (contentType_.empty()) contentType_ = "text/html";
    state_ = httpWaitingBody;
    rcvdCount_ += static_cast<std::int64_t>(line.size());
    return;
  }
  if (line.empty()) {
    HeaderEnded();
    return;
  }
  rcvdHeader_.push_back(line);
  if (line.starts_with("HTTP/1.0") || line.starts_with("HTTP/1.1")) {
    statusCode_ = line.size() > 9 ? std::atoi(line.substr(9, 3).c_str()) : 0;
    reasonPhrase_ = line.size() > 13 ? line.substr(13) : std::string();
    return;
  }
  const auto colon = line.find(':');
  const std::string name = AsciiLower(line.substr(0, colon));
  std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
  value.erase(0, value.find_first_not_of(' '));
  if (name == "content-length")
    contentLength_ = std::atoll(std::string(TrimSpaces(value)).c_str());
  else if (name == "content-type")
    contentType_ = AsciiLower(value);
  else if (name == "location")
    location_ = value;
}

void THttpCli::HeaderEnded() {
  if (!location_.empty()) {
    // Follow once this connection is gone; what else it sent is of no use.
    pending_.clear();
    socket_->Close();
    if (roundOpen_ && socket_->State() == wsClosed) roundOpen_ = false;
    return;
  }
  if (contentLength_ == 0 || statusCode_ >= 400) {
    EndRound(statusCode_, reasonPhrase_);
    return;
  }
  state_ = httpWaitingBody;
}

void THttpCli::BodyBlock(std::string block) {
  rcvdCount_ += static_cast<std::int64_t>(block.size());
  lastReceived_ = std::move(block);
}

THttpUrl THttpCli::Redirected(const std::string& location) const {
  if (StartsWithNoCase(location, "http://")) return ParseURL(location);
  THttpUrl next = url_;
  if (location.starts_with("/")) {
    next.Path = location;
  } else {
    next.Path = url_.Path.substr(0, url_.Path.rfind('/') + 1) + location;
  }
  return next;
}

std::string GetPublicAddress(const std::string& url, std::chrono::milliseconds timeLimit) {
  THttpCli client;
  client.URL = url;
  client.TimeLimit = timeLimit;
  client.Get();
  return client.LastReceived();
}

const std::string& PublicAddressUrl() {
  static const std::string kDefault = std::string("http://") + kMakerAddress + "/cgi-bin/getip.cgi";
  return LookupUrl().empty() ? kDefault : LookupUrl();
}

void SetPublicAddressUrl(std::string url) { LookupUrl() = std::move(url); }

std::chrono::milliseconds PublicAddressTimeLimit() {
  return LookupTimeLimit() > std::chrono::milliseconds::zero() ? LookupTimeLimit() : kPublicAddressTimeLimit;
}

void SetPublicAddressTimeLimit(std::chrono::milliseconds limit) { LookupTimeLimit() = limit; }

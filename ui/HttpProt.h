#pragma once
// The small HTTP/1.0 client behind the public address lookup: one GET of one URL,
// made synchronously for its caller while the program's loop keeps running, so the
// windows and every running server stay alive during the wait.

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class TWSocket;

// A failed exchange. ErrorCode is the HTTP status for a status of 400 or more, 404 for
// failures below HTTP (no such host, refused), or a small number of the client's own.
class EHttpException : public std::runtime_error {
public:
  EHttpException(const std::string& message, int errorCode)
      : std::runtime_error(message), errorCode_(errorCode) {}
  int ErrorCode() const { return errorCode_; }

private:
  int errorCode_;
};

enum THttpState : std::uint8_t {
  httpNotConnected,
  httpDnsLookup,
  httpConnecting,
  httpWaitingHeader,
  httpWaitingBody,
  httpReady,
};

// The parts of a URL; absent parts take "http", "80" and "/".
struct THttpUrl {
  std::string Proto = "http";
  std::string User;
  std::string Password;
  std::string Host;
  std::string Port = "80";
  std::string Path = "/";
};
THttpUrl ParseURL(const std::string& url);

class THttpCli {
public:
  static constexpr std::size_t kBufferSize = 8192;

  THttpCli();
  ~THttpCli();
  THttpCli(const THttpCli&) = delete;
  THttpCli& operator=(const THttpCli&) = delete;

  std::string URL;
  std::string Agent = "Mozilla/3.0 (compatible)";
  std::string Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  std::string LocalAddr = "0.0.0.0";
  std::string Sender, Reference, AcceptLanguage, Cookie, Username, Password;
  bool NoCache = false;
  // A server that never answers or redirects forever would hold its caller for good.
  std::chrono::milliseconds TimeLimit{30000};
  int MaxRedirections = 10;

  // Fetches URL; returns once the exchange has ended. Throws EHttpException when it
  // ends with a status of 400 or more (failures below HTTP count as 404), when a
  // header line exceeds the buffer, and when the client is already busy.
  void Get();

  int StatusCode() const { return statusCode_; }
  const std::string& ReasonPhrase() const { return reasonPhrase_; }
  std::int64_t ContentLength() const { return contentLength_; }
  const std::string& ContentType() const { return contentType_; }
  const std::vector<std::string>& RcvdHeader() const { return rcvdHeader_; }
  // The last header line, or once the body has begun, the last block of it.
  const std::string& LastReceived() const { return lastReceived_; }
  std::int64_t RcvdCount() const { return rcvdCount_; }
  THttpState State() const { return state_; }
  bool Busy() const { return busy_; }

  // What Get sends for `url`: the request line and headers, each ended by CR LF.
  std::string RequestText(const THttpUrl& url) const;

private:
  void StartRound(const THttpUrl& url);
  void EndRound(int status, const std::string& reason);
  void DnsLookupDone(std::uint16_t error);
  void SessionConnected(std::uint16_t error);
  void DataAvailable();
  void SessionClosed();
  void TakeBytes(const char* data, std::size_t size);
  void HeaderLine(const std::string& line);
  void HeaderEnded();
  void BodyBlock(std::string block);
  THttpUrl Redirected(const std::string& location) const;

  std::unique_ptr<TWSocket> socket_;
  THttpUrl url_;
  THttpState state_ = httpNotConnected;
  bool busy_ = false;
  bool roundOpen_ = false;
  bool lineTooLong_ = false;
  std::string location_;
  std::string pending_;  // header bytes not yet cut into lines
  int statusCode_ = 0;
  std::string reasonPhrase_;
  std::int64_t contentLength_ = -1;
  std::string contentType_;
  std::vector<std::string> rcvdHeader_;
  std::string lastReceived_;
  std::int64_t rcvdCount_ = 0;
};

// Long enough for a slow network, short enough that an offline machine soon offers
// its local address instead.
constexpr std::chrono::milliseconds kPublicAddressTimeLimit{10000};

// The body the lookup address answers, unchanged (a line end the script sends stays).
// Throws EHttpException as Get does, also when no answer has come within timeLimit.
std::string GetPublicAddress(const std::string& url, std::chrono::milliseconds timeLimit = kPublicAddressTimeLimit);

// The lookup address: the maker's site and "/cgi-bin/getip.cgi". Tests point it at a
// local server; an empty text restores the default.
const std::string& PublicAddressUrl();
void SetPublicAddressUrl(std::string url);

// How long the link commands wait for the lookup (the user is waiting on the box);
// tests shorten it. Zero or less restores the default.
std::chrono::milliseconds PublicAddressTimeLimit();
void SetPublicAddressTimeLimit(std::chrono::milliseconds limit);

// Properties, name resolution and host lookups of TCustomWSocket.
#include <algorithm>

#include "net/WSocket.h"
#include "platform/AsyncLookup.h"
#include "platform/Text.h"

namespace {

constexpr std::size_t kMaxHostLength = 256;
constexpr std::size_t kMaxPortLength = 32;  // texts of this length or more are refused
constexpr std::size_t kMaxLookupResults = 256;

std::string Trim(std::string_view s) { return std::string(TrimControls(s)); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool LooksNumeric(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return IsDigit(c) || c == '.' || c == ' '; });
}

}  // namespace

void TCustomWSocket::SetAddr(std::string_view value) {
  std::string v = Trim(value);
  if (v == addr_ && addrAssigned_) return;
  if (state_ != wsClosed) {
    RaiseException("Cannot change Addr if not closed");
    return;
  }
  addr_ = v;
  addrResolved_ = false;
  addrAssigned_ = !v.empty();
}

void TCustomWSocket::SetPort(std::string_view value) {
  std::string v = Trim(value);
  if (v == port_ && portAssigned_) return;
  if (state_ != wsClosed) {
    RaiseException("Cannot change Port if not closed");
    return;
  }
  port_ = v;
  portResolved_ = false;
  portAssigned_ = !v.empty();
}

void TCustomWSocket::SetProto(std::string_view value) {
  std::string v = Trim(value);
  if (v == proto_ && protoAssigned_) return;
  if (state_ != wsClosed) {
    RaiseException("Cannot change Proto if not closed");
    return;
  }
  proto_ = v;
  protoResolved_ = false;
  portResolved_ = false;  // a service name resolves per protocol
  protoAssigned_ = !v.empty();
}

void TCustomWSocket::SetLocalAddr(std::string_view value) {
  if (state_ != wsClosed) {
    RaiseException("Cannot change LocalAddr if not closed");
    return;
  }
  localAddr_ = value.empty() ? std::string("0.0.0.0") : std::string(value);
}

void TCustomWSocket::SetLocalPort(std::string_view value) {
  if (state_ != wsClosed) {
    RaiseException("Cannot change LocalPort if not closed");
    return;
  }
  localPort_ = std::string(value);
  localPortResolved_ = false;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags flags) {
  if (flags != wsSendNormal && flags != wsSendUrgent) {
    RaiseException("Invalid SendFlags");
    return;
  }
  sendFlags_ = flags;
}

bool TCustomWSocket::ParseDottedQuad(std::string_view text, std::uint32_t& out) {
  std::string s = Trim(text);
  std::uint32_t result = 0;
  std::size_t i = 0;
  for (int group = 0; group < 4; ++group) {
    if (group > 0) {
      if (i >= s.size() || s[i] != '.') return false;
      ++i;
    }
    std::size_t start = i;
    std::uint32_t value = 0;
    while (i < s.size() && IsDigit(s[i]) && i - start < 4) value = value * 10 + (s[i++] - '0');
    if (i == start || value > 255) return false;
    result = (result << 8) | value;
  }
  if (i != s.size()) return false;
  out = result;
  return true;
}

std::uint32_t TCustomWSocket::ResolveHost(const std::string& host) {
  if (host.empty() || host.size() > kMaxHostLength)
    throw ESocketException("WSocketResolveHost: '" + host + "' Invalid Hostname.");
  if (LooksNumeric(host)) {
    std::uint32_t a;
    // All ones is also what a failed conversion gives, so only its plain spelling passes.
    if (!ParseDottedQuad(host, a) || (a == 0xFFFFFFFFu && host != "255.255.255.255"))
      throw ESocketException("WSocketResolveHost: '" + host + "' Invalid IP address.");
    return a;
  }
  // Only Connect and Listen come here with a name; the program itself looks names
  // up with DnsLookup first and connects to the address it got.
  std::vector<std::uint32_t> addrs;
  int err = native::LookupHostV4(Trim(host), addrs);
  if (err != 0)
    throw ESocketException("WSocketResolveHost: Cannot convert host address '" + host + "', Error #" +
                           std::to_string(err));
  return addrs.front();
}

std::uint16_t TCustomWSocket::ResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty() || port.size() >= kMaxPortLength) throw ESocketException("WSocketResolvePort: Invalid Port.");
  if (proto.empty() || proto.size() >= kMaxPortLength) throw ESocketException("WSocketResolvePort: Invalid Proto.");
  std::size_t i = 0;
  while (i < port.size() && port[i] == ' ') ++i;
  if (i < port.size() && IsDigit(port[i])) {
    std::uint32_t value = 0;
    while (i < port.size() && IsDigit(port[i])) {
      value = value * 10 + (port[i++] - '0');
      // A number past the port range would otherwise wrap to some other port.
      if (value > 65535) throw ESocketException("WSocketResolvePort: Invalid Port.");
    }
    return static_cast<std::uint16_t>(value);
  }
  std::uint16_t number = 0;
  int err = native::LookupService(port, proto, number);
  if (err != 0)
    throw ESocketException("WSocketResolvePort: Cannot convert port '" + port + "', Error #" +
                           std::to_string(err));
  return number;
}

int TCustomWSocket::ResolveProto(const std::string& proto) {
  if (proto.empty() || proto.size() >= kMaxPortLength)
    throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  if (IsDigit(proto[0])) {
    int value = 0;
    for (std::size_t i = 0; i < proto.size() && IsDigit(proto[i]) && value < 1000; ++i)
      value = value * 10 + (proto[i] - '0');
    return value;
  }
  const std::string lower = AsciiLower(proto);
  int number = 0;
  int err = native::LookupProtocol(lower, number);
  if (err != 0)
    throw ESocketException("WSocketResolveProto: Cannot convert protocol '" + proto + "', Error #" +
                           std::to_string(err));
  return number;
}

// A connection's peer never changes, and servers ask for it several times per
// connection (limits, log lines), so it is asked of the system once.
bool TCustomWSocket::CachedPeer(native::TSockAddrIn& out) const {
  if (state_ != wsConnected) return false;
  if (peerGeneration_ != generation_) {
    if (native::PeerName(handle_.Get(), peer_) != 0) return false;
    peerGeneration_ = generation_;
  }
  out = peer_;
  return true;
}

std::string TCustomWSocket::PeerAddr() const {
  native::TSockAddrIn a;
  if (!CachedPeer(a)) return "error";
  return native::DottedAddr(a.addr);
}

std::string TCustomWSocket::PeerPort() const {
  native::TSockAddrIn a;
  if (!CachedPeer(a)) return "error";
  return std::to_string(a.port);
}

std::string TCustomWSocket::LocalBoundAddr() const {
  native::TSockAddrIn a;
  if ((state_ != wsBound && state_ != wsConnected && state_ != wsListening) ||
      native::LocalName(handle_.Get(), a) != 0)
    return "error";
  return native::DottedAddr(a.addr);
}

std::string TCustomWSocket::LocalBoundPort() const {
  native::TSockAddrIn a;
  if ((state_ != wsBound && state_ != wsConnected && state_ != wsListening) ||
      native::LocalName(handle_.Get(), a) != 0)
    return "error";
  return std::to_string(a.port);
}

int TCustomWSocket::PeerName(native::TSockAddrIn& out) {
  int err = native::PeerName(handle_.Get(), out);
  if (err == 0) return 0;
  lastError_ = err;
  return -1;
}

int TCustomWSocket::SockName(native::TSockAddrIn& out) {
  int err = native::LocalName(handle_.Get(), out);
  if (err == 0) return 0;
  lastError_ = err;
  return -1;
}

void TCustomWSocket::DnsLookup(const std::string& host) {
  if (host.empty()) {
    RaiseException("DNS lookup: invalid host name.");
    TriggerDnsLookupDone(sockerr::kInvalid);
    return;
  }
  CancelDnsLookup();
  dnsResult_.clear();
  dnsResultList_.clear();
  std::uint32_t literal;
  if (ParseDottedQuad(host, literal)) {
    dnsResult_ = native::DottedAddr(literal);
    dnsResultList_.push_back(dnsResult_);
    TriggerDnsLookupDone(0);
    return;
  }
  lookup_ = std::make_unique<TAsyncLookup>(loop_, [this](int error, std::vector<std::string> results) {
    LookupDone(error, std::move(results), false);
  });
  int err = lookup_->StartForward(host);
  if (err != 0) {
    lookup_.reset();
    lastError_ = err;
    RaiseException(host + ": can't start DNS lookup, error #" + std::to_string(err));
  }
}

void TCustomWSocket::ReverseDnsLookup(const std::string& dottedAddr) {
  std::uint32_t addr;
  if (dottedAddr.empty() || dottedAddr.size() > kMaxHostLength || !ParseDottedQuad(dottedAddr, addr)) {
    RaiseException("ReverseDnsLookup: Invalid host name.");
    TriggerDnsLookupDone(sockerr::kInvalid);
    return;
  }
  CancelDnsLookup();
  dnsResult_.clear();
  dnsResultList_.clear();
  lookup_ = std::make_unique<TAsyncLookup>(loop_, [this](int error, std::vector<std::string> results) {
    LookupDone(error, std::move(results), true);
  });
  int err = lookup_->StartReverse(addr);
  if (err != 0) {
    lookup_.reset();
    lastError_ = err;
    RaiseException(dottedAddr + ": can't start DNS lookup, error #" + std::to_string(err));
  }
}

void TCustomWSocket::CancelDnsLookup() {
  if (!lookup_) return;
  lookup_.reset();
  if (!destroying_) TriggerDnsLookupDone(sockerr::kInterrupted);
}

void TCustomWSocket::LookupDone(int error, std::vector<std::string> results, bool reverse) {
  // Keep the finished lookup until this handler returns: it is the caller.
  auto finished = std::move(lookup_);
  Guarded([&] {
    if (error == 0) {
      if (results.size() > kMaxLookupResults) results.resize(kMaxLookupResults);
      dnsResultList_ = std::move(results);
      if (reverse && dnsResultList_.size() > 1) dnsResultList_.resize(1);
      dnsResult_ = dnsResultList_.empty() ? std::string() : dnsResultList_.front();
    }
    TriggerDnsLookupDone(static_cast<std::uint16_t>(error));
  });
}

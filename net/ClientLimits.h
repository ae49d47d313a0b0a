#pragma once
// What keeps strangers from holding a server to ransom: the time limits a server
// gives its connections, the cap on connections from one address, and the record of
// failed logins that blocks an address guessing passwords. One TAddressGuard per
// server, owned by its engine; the engines decide when a rule applies, this module
// decides what the rule says. The clock is injectable so the ten-minute rules can be
// tested without waiting.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>

struct TLimitSettings {
  int IdleTimeout = 300;   // seconds without progress; 0 turns every time limit off
  int MaxPerAddress = 20;  // simultaneous connections from one address; 0 no cap

  bool TimeLimitsOn() const { return IdleTimeout > 0; }
  std::chrono::milliseconds Idle() const { return std::chrono::seconds(IdleTimeout); }
  // How often a send that waits on its peer is looked at. Whether a slow peer takes
  // what the kernel holds shows only on looking; looking once the limit had run out
  // took the filling of the peer's buffers, right after the send stopped, for reading,
  // and a peer that read nothing kept its connection for twice the limit. The first
  // look after a stall still sees that filling and dates it by itself, so a stalled
  // peer is cut one gap late: every quarter cut a 300-second limit at 375. A look
  // costs one timer turn and one ioctl, and is made only for a connection with bytes
  // in flight: twice a second is cheap for thousands of them.
  std::chrono::milliseconds LookEvery() const {
    return std::min<std::chrono::milliseconds>(Idle() / 4, std::chrono::milliseconds(500));
  }
  // min(capSeconds, IdleTimeout): the shorter waits (login, passive connection,
  // request header) never outlast the idle limit the owner chose.
  std::chrono::milliseconds Capped(int capSeconds) const;
  // A connection that would be number `count` from its address is one too many.
  bool OverAddressCap(int count) const { return MaxPerAddress > 0 && count > MaxPerAddress; }
};

class TAddressGuard {
public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kFailureLimit = 10;
  static constexpr std::chrono::minutes kWindow{10};
  static constexpr std::chrono::minutes kBlockTime{10};
  // Addresses whose failures have all aged out are forgotten once the table grows
  // past this, so a spread of guessers cannot grow it for ever.
  static constexpr std::size_t kPruneAbove = 1024;

  std::function<Clock::time_point()> Now = [] { return Clock::now(); };

  // True while the address is blocked.
  bool Blocked(const std::string& addr);
  // Counts one failed login of the address; true when this failure blocks it (the
  // caller logs that once).
  bool NoteFailure(const std::string& addr);
  std::size_t TrackedAddresses() const { return records_.size(); }

private:
  struct TRecord {
    std::deque<Clock::time_point> failures;  // within the window, oldest first
    Clock::time_point blockedUntil{};
  };
  void Forget(TRecord& record, Clock::time_point now) const;
  void Prune(Clock::time_point now);

  std::unordered_map<std::string, TRecord> records_;
  std::size_t pruneAt_ = kPruneAbove;
};

// The texts of the limits, in one place: clients and the activity log see these.
inline constexpr const char* kMsgAddressBlocked =
    "Address blocked for 10 minutes after 10 failed logins";
inline constexpr const char* kMsgTooManyFromAddress = "Too many connections from this address";

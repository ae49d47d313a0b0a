#pragma once
// What keeps strangers from holding a server to ransom: the time limits a server
// gives its connections, the cap on connections from one address, which silent
// connection gives up its slot to a newcomer when a server is full, and the record
// of failed logins that blocks an address guessing passwords. One TAddressGuard per
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
#include <vector>

struct TLimitSettings {
  int IdleTimeout = 300;   // seconds without progress; 0 turns every time limit off
  int MaxPerAddress = 20;  // simultaneous connections from one address; 0 no cap

  bool TimeLimitsOn() const { return IdleTimeout > 0; }
  std::chrono::milliseconds Idle() const { return std::chrono::seconds(IdleTimeout); }
  // How often a send that waits on its peer is looked at. Whether a slow peer takes
  // what the kernel holds shows only on looking, and the first look after a stall
  // still sees the filling of the peer's buffers right after the send stopped and
  // dates it by itself, so a stalled peer is cut one gap past the limit. Looking only
  // when the limit runs out would take that filling for reading and keep a peer that
  // reads nothing for twice the limit; a quarter of the limit would cut a 300-second
  // limit at 375. A look costs one timer turn and one ioctl, and is made only for a
  // connection with bytes in flight: twice a second is cheap for thousands of them.
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

// The key by which a client's slots are counted, from its peer address. Today the
// dotted IPv4 address itself; a server that speaks IPv6 would key its clients by
// their /64 prefix here, since one host is handed a whole /64 to pick from.
std::string SlotKey(const std::string& peerAddr);

// One connection holding a slot of a full server, as the rule below sees it.
struct TSlotHolder {
  std::string Key;  // SlotKey of its address
  bool LoggedIn = false;
  std::chrono::steady_clock::time_point ConnectedAt{};
  bool Closing = false;  // on its way out already: it holds its slot but cannot give it
};

// Which holder a newcomer from newcomerKey may take the slot of, when the server's
// `slots` are all held; -1 when none qualifies and the newcomer is refused. Holders
// are every slot but the newcomer's own. A holder qualifies when it has not logged
// in, has been open for kSlotMinAge and its address holds at least kSlotMargin more
// slots than the newcomer's (one more on a server of one slot); among those, the
// address holding the most slots gives its oldest.
//
// The margin is what keeps the slots from changing hands in a chain: an address
// that holds slots cannot take one from an address holding about as many, so an
// attacker's reconnect cannot win back what a newcomer took. Whoever holds no slot
// gets one as long as any address holds two silent connections older than
// kSlotMinAge; to shut such newcomers out, an attacker must keep all but one of its
// silent connections per address younger than that, by closing and reopening every
// one of them within each kSlotMinAge, and every slot so freed goes to whoever
// comes first.
int ChooseSlotToTake(const std::vector<TSlotHolder>& holders, const std::string& newcomerKey,
                     int slots, std::chrono::steady_clock::time_point now);

inline constexpr std::chrono::seconds kSlotMinAge{10};
inline constexpr int kSlotMargin = 2;

// The texts of the limits, in one place: clients and the activity log see these.
inline constexpr const char* kMsgAddressBlocked =
    "Address blocked for 10 minutes after 10 failed logins";
inline constexpr const char* kMsgTooManyFromAddress = "Too many connections from this address";
inline constexpr const char* kMsgSlotGiven = "Login timeout: slot given to a new client";

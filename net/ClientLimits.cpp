#include "net/ClientLimits.h"

#include <algorithm>

std::chrono::milliseconds TLimitSettings::Capped(int capSeconds) const {
  return std::chrono::seconds(std::min(capSeconds, IdleTimeout));
}

void TAddressGuard::Forget(TRecord& record, Clock::time_point now) const {
  while (!record.failures.empty() && record.failures.front() + kWindow <= now)
    record.failures.pop_front();
}

bool TAddressGuard::Blocked(const std::string& addr) {
  auto it = records_.find(addr);
  return it != records_.end() && Now() < it->second.blockedUntil;
}

bool TAddressGuard::NoteFailure(const std::string& addr) {
  const Clock::time_point now = Now();
  if (records_.size() > pruneAt_) Prune(now);
  TRecord& record = records_[addr];
  if (now < record.blockedUntil) return false;
  Forget(record, now);
  record.failures.push_back(now);
  if (record.failures.size() < static_cast<std::size_t>(kFailureLimit)) return false;
  record.failures.clear();
  record.blockedUntil = now + kBlockTime;
  return true;
}

void TAddressGuard::Prune(Clock::time_point now) {
  for (auto it = records_.begin(); it != records_.end();) {
    Forget(it->second, now);
    if (it->second.failures.empty() && it->second.blockedUntil <= now)
      it = records_.erase(it);
    else
      ++it;
  }
  // Addresses still remembered are pruned again only once the table has doubled, so
  // a failure costs amortised constant time however many addresses are tracked.
  pruneAt_ = std::max(kPruneAbove, 2 * records_.size());
}

std::string SlotKey(const std::string& peerAddr) { return peerAddr; }

int ChooseSlotToTake(const std::vector<TSlotHolder>& holders, const std::string& newcomerKey,
                     int slots, std::chrono::steady_clock::time_point now) {
  std::unordered_map<std::string, int> held;
  for (const TSlotHolder& h : holders) ++held[h.Key];
  const int margin = slots == 1 ? 1 : kSlotMargin;
  const int needed = held[newcomerKey] + margin;
  int best = -1;
  for (std::size_t i = 0; i < holders.size(); ++i) {
    const TSlotHolder& h = holders[i];
    const int count = held[h.Key];
    if (h.LoggedIn || h.Closing || now - h.ConnectedAt < kSlotMinAge || count < needed) continue;
    if (best >= 0) {
      const TSlotHolder& b = holders[static_cast<std::size_t>(best)];
      const int bestCount = held[b.Key];
      if (count < bestCount || (count == bestCount && h.ConnectedAt >= b.ConnectedAt)) continue;
    }
    best = static_cast<int>(i);
  }
  return best;
}

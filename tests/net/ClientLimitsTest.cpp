// The address rules decided by TAddressGuard, on an injected clock.

#include <gtest/gtest.h>

#include "net/ClientLimits.h"

namespace {

using namespace std::chrono_literals;

class AddressGuardTest : public ::testing::Test {
protected:
  AddressGuardTest() {
    guard_.Now = [this] { return now_; };
  }
  // Failures of addr, returning how many of them blocked it.
  int Fail(const std::string& addr, int times) {
    int blocks = 0;
    for (int i = 0; i < times; ++i) blocks += guard_.NoteFailure(addr) ? 1 : 0;
    return blocks;
  }

  TAddressGuard guard_;
  TAddressGuard::Clock::time_point now_{};
};

TEST_F(AddressGuardTest, TenFailuresBlockTheAddressForTenMinutes) {
  EXPECT_EQ(Fail("10.0.0.1", 9), 0);
  EXPECT_FALSE(guard_.Blocked("10.0.0.1"));
  EXPECT_EQ(Fail("10.0.0.1", 1), 1);  // reported once, for the owner's one log line
  EXPECT_TRUE(guard_.Blocked("10.0.0.1"));
  EXPECT_EQ(Fail("10.0.0.1", 20), 0);
  EXPECT_FALSE(guard_.Blocked("10.0.0.2"));

  now_ += 10min - 1s;
  EXPECT_TRUE(guard_.Blocked("10.0.0.1"));
  now_ += 1s;
  EXPECT_FALSE(guard_.Blocked("10.0.0.1"));
  // The block wiped the count: a fresh start, not one failure from another block.
  EXPECT_EQ(Fail("10.0.0.1", 9), 0);
}

TEST_F(AddressGuardTest, FailuresOlderThanTheWindowAreForgotten) {
  Fail("10.0.0.1", 9);
  now_ += 10min;
  EXPECT_EQ(Fail("10.0.0.1", 9), 0);
  EXPECT_FALSE(guard_.Blocked("10.0.0.1"));
  now_ += 5min;
  EXPECT_EQ(Fail("10.0.0.1", 1), 1);
}

TEST_F(AddressGuardTest, GuessersFromManyAddressesDoNotGrowTheTableForEver) {
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 3000; ++i)
      Fail("10." + std::to_string(round) + "." + std::to_string(i / 256) + "." +
               std::to_string(i % 256),
           1);
    now_ += 11min;
  }
  // 15000 addresses failed in all, but never more than 3000 within ten minutes.
  EXPECT_LE(guard_.TrackedAddresses(), 9000u);
}

TEST(LimitSettings, ShortWaitsNeverOutlastTheIdleLimit) {
  EXPECT_EQ((TLimitSettings{300, 20}.Capped(60)), 60s);
  EXPECT_EQ((TLimitSettings{2, 20}.Capped(60)), 2s);
  EXPECT_TRUE(TLimitSettings({0, 2}).OverAddressCap(3));
  EXPECT_FALSE(TLimitSettings({0, 2}).OverAddressCap(2));
  EXPECT_FALSE(TLimitSettings({0, 0}).OverAddressCap(1000));
}

// Who may take a slot of a full server: holders from a (six slots), b (two) and c
// (one), every one silent and old enough unless a case says otherwise.
class SlotRuleTest : public ::testing::Test {
protected:
  SlotRuleTest() {
    for (const char* key : {"a", "a", "a", "a", "a", "a", "b", "b", "c"}) Add(key, 30s);
  }
  void Add(const std::string& key, std::chrono::seconds age, bool loggedIn = false) {
    holders_.push_back({key, loggedIn, now_ - age});
  }
  int Take(const std::string& newcomer, int slots = 100) const {
    return ChooseSlotToTake(holders_, newcomer, slots, now_);
  }

  std::vector<TSlotHolder> holders_;
  std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::time_point{} + 1h;
};

TEST_F(SlotRuleTest, TheAddressHoldingMostGivesItsOldestSilentSlot) {
  holders_[0].LoggedIn = true;            // a logged-in session is never taken
  holders_[1].ConnectedAt = now_ - 9s;    // nor one younger than ten seconds
  holders_[2].Closing = true;             // nor one already on its way out
  holders_[4].ConnectedAt = now_ - 40s;   // the oldest of what a may give
  EXPECT_EQ(Take("new"), 4);
  for (auto& h : holders_)
    if (h.Key == "a") h.LoggedIn = true;
  EXPECT_EQ(Take("new"), 6);  // b holds two more than a newcomer holding nothing
  holders_[6].ConnectedAt = now_ - 9s;
  EXPECT_EQ(Take("new"), 7);
  holders_[7].ConnectedAt = now_ - kSlotMinAge;  // ten seconds is old enough
  EXPECT_EQ(Take("new"), 7);
  holders_[7].LoggedIn = true;
  EXPECT_EQ(Take("new"), -1);  // c holds one: not enough on a server of many slots
}

TEST_F(SlotRuleTest, AddressesHoldingSlotsCannotTakeThemFromOneAnother) {
  EXPECT_EQ(Take("c"), 0);   // one slot against six: far enough apart
  EXPECT_EQ(Take("b"), 0);
  for (int i = 0; i < 5; ++i) Add("d", 30s);
  EXPECT_EQ(Take("d"), -1);  // five against six: an attacker's reconnect wins nothing back
  EXPECT_EQ(Take("a"), -1);
}

TEST_F(SlotRuleTest, OnAServerOfOneSlotAnOldSilentConnectionYields) {
  holders_.clear();
  Add("a", 11s);
  EXPECT_EQ(Take("b", 1), 0);
  EXPECT_EQ(Take("a", 1), -1);  // from its own address, a newcomer waits its turn
  holders_[0].ConnectedAt = now_ - 9s;
  EXPECT_EQ(Take("b", 1), -1);
  holders_[0] = {"a", true, now_ - 1h};
  EXPECT_EQ(Take("b", 1), -1);
}

}  // namespace

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

}  // namespace

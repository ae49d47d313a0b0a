#include "net/ConnectionTally.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Records the live count at every give-back; restores the real one afterwards.
class TallyTest : public ::testing::Test {
protected:
  void SetUp() override {
    previous_ = tally.SetRelease([this] { releasedAt.push_back(tally.Live()); });
  }
  void TearDown() override { tally.SetRelease(previous_); }

  void Open(int n) {
    for (int i = 0; i < n; ++i) tally.Opened();
  }
  void Close(int n) {
    for (int i = 0; i < n; ++i) tally.Closed();
  }

  TConnectionTally& tally = TConnectionTally::Instance();
  std::vector<int> releasedAt;

private:
  std::function<void()> previous_;
};

}  // namespace

TEST_F(TallyTest, OrdinaryTrafficNeverGivesBack) {
  for (int round = 0; round < 3; ++round) {
    Open(TConnectionTally::kLargePeak - 1);
    Close(TConnectionTally::kLargePeak - 1);
  }
  EXPECT_TRUE(releasedAt.empty());
}

TEST_F(TallyTest, AFloodGivesBackAtEachEighthUntilNoneIsLeft) {
  Open(2000);
  Close(1749);  // 251 left: above 2000 / 8
  EXPECT_TRUE(releasedAt.empty());
  Close(251);
  EXPECT_EQ(releasedAt, (std::vector<int>{250, 31, 3, 0}));
  EXPECT_EQ(tally.Live(), 0);

  // Over once none is left: ordinary traffic after it gives nothing back.
  releasedAt.clear();
  Open(10);
  Close(10);
  EXPECT_TRUE(releasedAt.empty());
}

TEST_F(TallyTest, ASocketHandleCountsOnceAndGoesWithItsHolder) {
  const int before = tally.Live();
  {
    TTalliedConnection connection;
    connection.Count();
    connection.Count();  // a socket adopting a second handle
    EXPECT_EQ(tally.Live(), before + 1);
  }
  EXPECT_EQ(tally.Live(), before);
}

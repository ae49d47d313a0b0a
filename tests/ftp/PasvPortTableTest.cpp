#include "ftp/PasvPortTable.h"

#include <gtest/gtest.h>

#include "ftp/FtpSrvParse.h"

namespace {

TEST(FtpPasvPortTable, HandsOutTheLowestFreePortUntilTheRangeIsFull) {
  TPasvPortTable table;
  EXPECT_EQ(table.Acquire(), 0) << "no range: any port";
  table.SetStart(50000);
  table.SetSize(2);
  EXPECT_EQ(table.Acquire(), 50000);
  EXPECT_EQ(table.Acquire(), 50001);
  EXPECT_EQ(table.Acquire(), std::nullopt);
  table.Release(50000);
  table.Release(50000);  // a second release of the same port changes nothing
  EXPECT_EQ(table.Acquire(), 50000);
  EXPECT_EQ(table.Acquire(), std::nullopt);
}

TEST(FtpPasvPortTable, SettersRefuseBadValuesAndPortsInUse) {
  TPasvPortTable table;
  try {
    table.SetStart(70000);
    FAIL();
  } catch (const FtpServerException& e) {
    EXPECT_STREQ(e.what(), "Invalid PasvPortRangeStart 70000.");
  }
  try {
    table.SetSize(-1);
    FAIL();
  } catch (const FtpServerException& e) {
    EXPECT_STREQ(e.what(), "Invalid PasvPortRangeSize -1.");
  }
  table.SetStart(40000);
  table.SetSize(3);
  table.Acquire();
  table.Acquire();  // 40000 and 40001 in use
  table.SetStart(40000);  // same value: allowed
  try {
    table.SetStart(41000);
    FAIL();
  } catch (const FtpServerException& e) {
    EXPECT_STREQ(e.what(), "Unable to change PasvPortRangeStart when port is in use.");
  }
  table.SetSize(2);  // drops only the free 40002
  try {
    table.SetSize(1);
    FAIL();
  } catch (const FtpServerException& e) {
    EXPECT_STREQ(e.what(), "Unable to change PasvPortRangeSize when port is in use.");
  }
  table.SetSize(4);
  EXPECT_EQ(table.Acquire(), 40002);
}

}  // namespace

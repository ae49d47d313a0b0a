#include "platform/Process.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

namespace {

TEST(DescriptorLimit, SoftLimitIsRaisedToTheHardOne) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max <= 256) GTEST_SKIP() << "no room to raise";
  limit.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(RaiseDescriptorLimit(), static_cast<std::int64_t>(limit.rlim_max));
  ::getrlimit(RLIMIT_NOFILE, &limit);
  EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
}

}  // namespace

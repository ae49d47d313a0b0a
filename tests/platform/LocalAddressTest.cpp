#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "platform/LocalAddress.h"

namespace {

// Every IPv4 address this machine holds on an interface that is up and not a
// loopback, as the system lists them.
std::vector<std::string> LanAddresses() {
  std::vector<std::string> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text);
    if (std::string(text).starts_with("127.")) continue;
    found.emplace_back(text);
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

TEST(LocalAddress, IsTheFirstLanAddressNeverALoopback) {
  const std::vector<std::string> lan = LanAddresses();
  const std::string address = FirstLanIPv4Address();
  if (lan.empty()) {
    EXPECT_EQ(address, "");
    GTEST_SKIP() << "this machine has no IPv4 interface that is up and not a loopback";
  }
  EXPECT_EQ(address, lan.front());
  EXPECT_FALSE(address.starts_with("127.")) << address;
  in_addr parsed{};
  EXPECT_EQ(inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
}

#include "platform/LocalAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <memory>

namespace {

struct TIfAddrsFree {
  void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

}  // namespace

std::string FirstLanIPv4Address() {
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return {};
  const std::unique_ptr<ifaddrs, TIfAddrsFree> list(raw);
  for (const ifaddrs* entry = list.get(); entry; entry = entry->ifa_next) {
    // An interface without an address (or one of another family) is listed too.
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if ((ntohl(address->sin_addr.s_addr) >> 24) == IN_LOOPBACKNET) continue;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) return text;
  }
  return {};
}

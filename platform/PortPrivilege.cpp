#include "platform/PortPrivilege.h"

#include <unistd.h>

#include <cstdint>
#include <exception>
#include <fstream>
#include <string>

namespace {

constexpr int kNetBindServiceBit = 10;  // CAP_NET_BIND_SERVICE
constexpr int kDefaultUnprivilegedStart = 1024;
constexpr char kUnprivilegedStartFile[] = "/proc/sys/net/ipv4/ip_unprivileged_port_start";

TPortPrivilegeCheck& Override() {
  static TPortPrivilegeCheck check;
  return check;
}

bool HoldsNetBindService() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    try {
      const std::uint64_t caps = std::stoull(line.substr(7), nullptr, 16);
      return (caps >> kNetBindServiceBit) & 1u;
    } catch (const std::exception&) {
      return false;  // an unreadable line grants nothing
    }
  }
  return false;
}

int UnprivilegedPortStart() {
  std::ifstream file(kUnprivilegedStartFile);
  int start = kDefaultUnprivilegedStart;
  if (!(file >> start)) return kDefaultUnprivilegedStart;
  return start;
}

bool RealCheck(int port) {
  return ::geteuid() == 0 || port >= UnprivilegedPortStart() || HoldsNetBindService();
}

}  // namespace

bool CanBindPrivilegedPorts(int port) {
  const auto& check = Override();
  return check ? check(port) : RealCheck(port);
}

TPortPrivilegeCheck SetPortPrivilegeCheck(TPortPrivilegeCheck check) {
  TPortPrivilegeCheck previous = std::move(Override());
  Override() = std::move(check);
  return previous;
}

#pragma once
// This machine's address on its local network, for links that must work without the
// public address: peers on the same network can still reach it.

#include <string>

// Dotted IPv4 address of the first interface that is up and not a loopback, in the
// order the system lists its interfaces; empty when there is none.
std::string FirstLanIPv4Address();

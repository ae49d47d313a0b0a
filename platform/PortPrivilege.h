#pragma once
// Whether this process may listen on a given TCP port. A user who is not the
// administrator cannot take the low ports, so proposals and failure messages that assume
// otherwise would send a new user into a server that never starts.

#include <functional>

// True when the process may bind `port`: it is the administrator, holds the capability
// to bind privileged ports, or `port` is at or above the lowest port the system leaves to
// everyone. When the system will not say, ports from 1024 up count as open to everyone.
bool CanBindPrivilegedPorts(int port);

// Replaces the check above (tests pin the answer without changing their privileges); an
// empty function restores the real one. Returns the check that was in place.
using TPortPrivilegeCheck = std::function<bool(int port)>;
TPortPrivilegeCheck SetPortPrivilegeCheck(TPortPrivilegeCheck check);

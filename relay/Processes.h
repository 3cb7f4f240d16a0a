// What the relay's programs learn from /proc, as the unprivileged account they run as: which
// loopback ports are listened on or connected (a session's connection binds its port; a
// supporter's forwarding connects to it), and the sshd processes of a connection, to end it.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tvl::relay {

struct PortUse {
  std::set<int> listening;         // local ports in the LISTEN state
  std::map<int, int> established;  // local port -> connections established on it
};

// The TCP table of /proc/net/tcp or tcp6 (its text), added to use. Malformed lines are
// skipped.
void parseTcpTable(std::string_view text, PortUse& use);
// Both tables of this network namespace.
PortUse currentPortUse();

// "pid:start" for a process: its pid and its start time (clock ticks after boot), so that a
// recorded process is never confused with a later one that got the same pid.
std::optional<std::string> processStamp(pid_t pid);

// Ends (SIGTERM) the children of the recorded sshd connection processes that run as this
// program's own user: sshd's unprivileged half of each connection. Their privileged half
// then closes the connection. Stamps of processes gone or reused are passed over. Returns
// how many were signalled.
int endConnections(std::string_view monitors);

}  // namespace tvl::relay

// What the relay's programs answer, apart from where the answers go: sshd runs them (the
// AuthorizedKeysCommand, the forced commands of the three kinds of key) and the sweeper, and
// each is a function of the store, the bounds, the keys, the ports in use and the time.
// Everything that arrives from a customer's machine (keys, commands, reports) is hostile.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "relay/Processes.h"
#include "relay/RelayConfig.h"
#include "relay/SessionStore.h"

namespace tvl::relay {

struct Relay {
  SessionStore& store;
  RelayLimits limits;
  std::vector<NamedKey> organisationKeys;
  std::vector<NamedKey> supporters;
  std::string program;  // this program's path, for the forced commands it hands out
  Time now = 0;
};

// The AuthorizedKeysCommand: the line sshd takes for this user and key, or "" (refused).
// monitor is the stamp of the sshd connection that asks (recorded for a session's key, so
// that ending the session can close that connection).
std::string authorizedKeys(Relay& relay, std::string_view user, std::string_view type,
                           std::string_view base64, const std::string& monitor);

// The organisation key's forced command: "register [MINUTES]" with the session's public
// key on input answers "port=P connect-by=T minutes=M"; "report" with a problem report on
// input stores it. Throws Refused.
std::string registration(Relay& relay, const std::string& organisation, std::string_view command,
                         std::string_view input, const PortUse& ports);

// A session key's forced command: "end" ends its own session.
std::string sessionCommand(Relay& relay, int port, std::string_view command);

// The supporter key's forced command: "prepare MINUTES HOURS" (a link's public key on
// input), "list", "end PORT", "reports [N]". Throws Refused.
std::string supportCommand(Relay& relay, const std::string& supporter, std::string_view command,
                           std::string_view input, const PortUse& ports);

// One round of the sweeper: ends sessions past their deadline or whose connection has been
// gone longer than reconnect-within, and returns the recorded connections of ended sessions
// whose port is still held (to be closed). lastSeen keeps, across rounds, when each session's
// port was last seen held.
struct SweepRound {
  std::vector<std::string> connectionsToClose;
  bool idle = false;  // nothing left to watch: the sweeper may go
};
SweepRound sweep(Relay& relay, const PortUse& ports, std::map<std::int64_t, Time>& lastSeen);

// A problem report made safe to store and show in a terminal: at most limit bytes, control
// characters other than newline and tab replaced by '?'.
std::string cleanReport(std::string_view text, std::size_t limit);

}  // namespace tvl::relay

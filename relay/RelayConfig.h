// The relay's own settings and its two lists of keys, all under /etc/tovalo-relay and
// written by the organisation's administrator (tovalo-relay-admin):
//   relay.conf          "name = value" lines: the port range and the bounds below
//   organisation-keys   "NAME TYPE BASE64" lines: keys on customers' machines, which may only
//                       register sessions and send problem reports
//   supporters          "NAME TYPE BASE64" lines: supporters' own keys, for the console
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvl::relay {

inline constexpr char kConfigDir[] = "/etc/tovalo-relay";
inline constexpr char kStateDir[] = "/var/lib/tovalo-relay";
inline constexpr char kReservedPortsFile[] = "/etc/sysctl.d/60-tovalo-relay.conf";
// The accounts of the package: customers' machines log in as the first, supporters as the
// second. Both are answered by our AuthorizedKeysCommand, which runs as the first.
inline constexpr char kCustomerAccount[] = "tvlrelay";
inline constexpr char kSupporterAccount[] = "tvlsupport";

// A settings line's text without the blanks around it (and a CR left by Windows editors):
// relay.conf here, support.conf in the console.
std::string_view trimBlanks(std::string_view s);

struct RelayLimits {
  int firstPort = 40000;
  int lastPort = 40999;
  int maxSessions = 500;             // sessions not yet ended, in total
  int registrationsPerMinute = 120;  // per organisation key (reports count too)
  int registrationBurst = 120;       // how many may come at once
  int maxMinutes = 480;              // the longest session
  int connectWithin = 120;           // seconds from registration to the first connection
  int maxLinkHours = 72;             // the longest a prepared link waits for its user
  int reconnectWithin = 60;          // seconds a session without connection waits for it
  int reportBytes = 16384;           // the largest problem report
  int reportsKept = 500;             // the newest reports kept
};

struct ConfigResult {
  RelayLimits limits;
  std::string error;  // empty when usable
};
// Unknown names, values out of range and malformed lines are errors: a relay that would
// run with bounds other than those its administrator wrote does not run.
ConfigResult parseRelayConfig(std::string_view text);

// The kernel's reserved ports (net.ipv4.ip_local_reserved_ports, "A-B,C,..."), never handed
// to outgoing connections: the session ports must be among them, as a supporter's connection
// from 127.0.0.1:PORT keeps a session's listener off that address. The list after this relay
// reserves ours ("first-last") in place of what it reserved before (previous, or ""), every
// other reservation kept.
std::string reservedPortsAfter(std::string_view current, std::string_view previous,
                               std::string_view ours);

struct NamedKey {
  std::string name;
  std::string key;  // "type base64"
};
// Lines that are not "NAME TYPE BASE64 [comment]" with a name of [a-z0-9._-] are skipped.
std::vector<NamedKey> parseKeyList(std::string_view text);
bool validName(std::string_view name);

// The whole file (at most limit bytes); nullopt when it cannot be read.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit = 1 << 20);

}  // namespace tvl::relay

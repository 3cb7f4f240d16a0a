#include "relay/Relay.h"

#include <charconv>
#include <sstream>

#include "relay/PublicKey.h"

namespace tvl::relay {

namespace {

std::vector<std::string_view> words(std::string_view command) {
  std::vector<std::string_view> w;
  while (!command.empty()) {
    auto space = command.find(' ');
    if (space != 0) w.push_back(command.substr(0, space));
    if (space == std::string_view::npos) break;
    command.remove_prefix(space + 1);
  }
  return w;
}

int number(std::string_view text, int min, int max, const char* what) {
  int v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < min || v > max)
    throw Refused(std::string("invalid ") + what);
  return v;
}

std::string firstLine(std::string_view input) {
  return std::string(input.substr(0, input.find('\n')));
}

PublicKey sessionKeyFrom(std::string_view input) {
  auto key = parseSessionKey(firstLine(input));
  if (!key) throw Refused("not an Ed25519 or P-256 public key");
  return *key;
}

std::string grant(const Session& s) {
  return "port=" + std::to_string(s.port) + " connect-by=" + std::to_string(s.connectBy) +
         " minutes=" + std::to_string(s.minutes) + "\n";
}

const NamedKey* findKey(const std::vector<NamedKey>& keys, const std::string& key) {
  for (auto& k : keys)
    if (k.key == key) return &k;
  return nullptr;
}

const char* stateOf(const Session& s, const PortUse& ports) {
  if (s.ended) return "ended";
  if (!ports.listening.count(s.port)) return s.firstSeen ? "disconnected" : "waiting-for-user";
  auto e = ports.established.find(s.port);
  return e != ports.established.end() && e->second > 0 ? "supporter-connected"
                                                       : "waiting-for-supporter";
}

}  // namespace

std::string cleanReport(std::string_view text, std::size_t limit) {
  std::string out(text.substr(0, limit));
  for (char& c : out) {
    auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\n' && c != '\t') || u == 0x7f) c = '?';
  }
  return out;
}

std::string authorizedKeys(Relay& relay, std::string_view user, std::string_view type,
                           std::string_view base64, const std::string& monitor) {
  const std::string key = std::string(type) + " " + std::string(base64);
  if (key.size() > 16384 || key.find_first_of("\n\r\"") != std::string::npos) return "";
  if (user == kCustomerAccount) {
    if (auto* org = findKey(relay.organisationKeys, key))
      return "restrict,command=\"" + relay.program + " register " + org->name + "\" " + key + "\n";
    auto session = relay.store.usableByKey(key, relay.now);
    if (!session) return "";
    if (!monitor.empty()) relay.store.recordMonitor(session->id, monitor);
    const std::string port = std::to_string(session->port);
    return "restrict,port-forwarding,permitlisten=\"localhost:" + port + "\",expiry-time=\"" +
           expiryTime(session->deadline()) + "\",command=\"" + relay.program + " session " + port +
           "\" " + key + "\n";
  }
  if (user == kSupporterAccount) {
    auto* supporter = findKey(relay.supporters, key);
    if (!supporter) return "";
    // Forwarding to the ports of the sessions there are now, and to nothing else.
    std::string options = "restrict";
    auto live = relay.store.live();
    if (!live.empty()) options += ",port-forwarding";
    for (auto& s : live) options += ",permitopen=\"localhost:" + std::to_string(s.port) + "\"";
    return options + ",command=\"" + relay.program + " support " + supporter->name + "\" " + key +
           "\n";
  }
  return "";
}

std::string registration(Relay& relay, const std::string& organisation, std::string_view command,
                         std::string_view input, const PortUse& ports) {
  auto w = words(command);
  if (w.empty() || (w[0] != "register" && w[0] != "report") || w.size() > 2)
    throw Refused("this key may only register a session or send a report");
  if (!relay.store.takeToken(organisation, relay.limits, relay.now))
    throw Refused("too many requests; try again in a minute");
  if (w[0] == "report") {
    if (w.size() != 1) throw Refused("a report takes no arguments");
    if (input.size() > static_cast<std::size_t>(relay.limits.reportBytes))
      throw Refused("the report is too long");
    if (input.empty()) throw Refused("the report is empty");
    relay.store.addReport(organisation, cleanReport(input, input.size()), relay.limits, relay.now);
    return "stored\n";
  }
  int minutes = w.size() == 2 ? number(w[1], 1, 100000, "session length") : 30;
  minutes = std::min(minutes, relay.limits.maxMinutes);
  PublicKey key = sessionKeyFrom(input);
  Session s = relay.store.add(key.text(), "desk", organisation, minutes,
                              relay.now + relay.limits.connectWithin, relay.limits, ports.listening,
                              relay.now);
  return grant(s);
}

std::string sessionCommand(Relay& relay, int port, std::string_view command) {
  if (command != "end") throw Refused("a session's key may only end its session");
  relay.store.endPort(port, "stopped by the user", relay.now);
  return "ended\n";
}

std::string supportCommand(Relay& relay, const std::string& supporter, std::string_view command,
                           std::string_view input, const PortUse& ports) {
  auto w = words(command);
  if (w.empty()) throw Refused("commands: prepare MINUTES HOURS, list, end PORT, reports [N]");
  if (w[0] == "prepare" && w.size() == 3) {
    int minutes = std::min(number(w[1], 1, 100000, "session length"), relay.limits.maxMinutes);
    int hours = std::min(number(w[2], 1, 100000, "link lifetime"), relay.limits.maxLinkHours);
    PublicKey key = sessionKeyFrom(input);
    Session s =
        relay.store.add(key.text(), "link", supporter, minutes, relay.now + Time(hours) * 3600,
                        relay.limits, ports.listening, relay.now);
    return grant(s);
  }
  if (w[0] == "list" && w.size() == 1) {
    std::ostringstream out;
    for (auto& s : relay.store.live()) {
      auto e = ports.established.find(s.port);
      out << s.port << '\t' << s.kind << '\t' << stateOf(s, ports) << '\t' << s.created << '\t'
          << s.firstSeen << '\t' << s.deadline() << '\t' << s.owner << '\t'
          << (e == ports.established.end() ? 0 : e->second) << '\n';
    }
    return out.str();
  }
  if (w[0] == "end" && w.size() == 2) {
    int port = number(w[1], 1, 65535, "port");
    if (!relay.store.endPort(port, "ended by " + supporter, relay.now))
      throw Refused("no session on port " + std::to_string(port));
    return "ended " + std::to_string(port) + "\n";
  }
  if (w[0] == "reports" && w.size() <= 2) {
    int n = w.size() == 2 ? number(w[1], 1, 1000, "count") : 20;
    std::ostringstream out;
    for (auto& r : relay.store.reports(n))
      out << "--- report " << r.id << " from " << r.owner << " at " << r.received << '\n'
          << r.text << (r.text.empty() || r.text.back() != '\n' ? "\n" : "");
    return out.str();
  }
  throw Refused("commands: prepare MINUTES HOURS, list, end PORT, reports [N]");
}

SweepRound sweep(Relay& relay, const PortUse& ports, std::map<std::int64_t, Time>& lastSeen) {
  SweepRound round;
  const Time now = relay.now;
  std::set<int> livePorts;
  std::map<std::int64_t, Time> stillSeen;
  for (Session& s : relay.store.live()) {
    const bool held = ports.listening.count(s.port) > 0;
    Time seen = lastSeen.count(s.id) ? lastSeen[s.id] : now;
    if (held) {
      seen = now;
      if (!s.firstSeen) relay.store.markConnected(s.id, now), s.firstSeen = now;
    }
    if (now >= s.deadline()) {
      relay.store.endId(s.id, s.firstSeen ? "its time is up" : "never connected", now);
    } else if (s.firstSeen && !held && now - seen >= relay.limits.reconnectWithin) {
      relay.store.endId(s.id, "its connection was lost", now);
    } else {
      livePorts.insert(s.port);
      stillSeen[s.id] = seen;
    }
  }
  lastSeen = std::move(stillSeen);
  // Ended sessions whose connection still holds the port: close it. Ten minutes bound the
  // search; sshd's own keep-alive ends any connection long before.
  for (auto& s : relay.store.endedSince(now - 600))
    if (ports.listening.count(s.port) && !livePorts.count(s.port) && !s.monitors.empty())
      round.connectionsToClose.push_back(s.monitors);
  relay.store.prune(now);
  round.idle = livePorts.empty() && round.connectionsToClose.empty();
  return round;
}

}  // namespace tvl::relay

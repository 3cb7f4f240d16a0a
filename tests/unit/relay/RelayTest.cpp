// The relay's answers against a real store in a temporary folder, with the clock in the
// test's hand.
#include <gtest/gtest.h>

#include <regex>

#include "relay/PublicKey.h"
#include "relay/Relay.h"
#include "support/Files.h"

using namespace tvl;
using namespace tvl::relay;

namespace {

std::string sessionKey(char fill) {
  std::string blob = std::string("\0\0\0\x0bssh-ed25519\0\0\0\x20", 19) + std::string(32, fill);
  return "ssh-ed25519 " + encodeBase64(blob);
}

class RelayLogic : public ::testing::Test {
 protected:
  RelayLogic() : store_((dir_.path() / "sessions.db").string()) {
    relay_.limits.firstPort = 40000;
    relay_.limits.lastPort = 40009;
    relay_.organisationKeys = {{"acme", "ssh-ed25519 ORGKEY"}};
    relay_.supporters = {{"alice", "ssh-ed25519 ALICEKEY"}};
  }
  int registerKey(char fill, const std::set<int>& busy = {}) {
    PortUse ports;
    ports.listening = busy;
    std::string answer = registration(relay_, "acme", "register 30", sessionKey(fill), ports);
    std::smatch m;
    std::regex_search(answer, m, std::regex("port=(\\d+)"));
    return std::stoi(m[1]);
  }
  std::string keysFor(const std::string& user, const std::string& key) {
    auto space = key.find(' ');
    return authorizedKeys(relay_, user, key.substr(0, space), key.substr(space + 1), "");
  }

  testsupport::TempDir dir_;
  SessionStore store_;
  Relay relay_{store_, {}, {}, {}, "/usr/lib/tovalo-relay/tovalo-relay", 1000000};
};

}  // namespace

TEST_F(RelayLogic, EachKeyIsAnsweredWithWhatItMayDoAndNothingMore) {
  // The organisation's key: registration only, no forwarding at all.
  EXPECT_EQ(keysFor("tvlrelay", "ssh-ed25519 ORGKEY"),
            "restrict,command=\"/usr/lib/tovalo-relay/tovalo-relay register acme\" ssh-ed25519 "
            "ORGKEY\n");
  int port = registerKey('a');
  // A session's key: its one port, until its deadline.
  std::string line = keysFor("tvlrelay", sessionKey('a'));
  EXPECT_NE(line.find("permitlisten=\"localhost:" + std::to_string(port) + "\""), std::string::npos)
      << line;
  EXPECT_NE(
      line.find("expiry-time=\"" + expiryTime(relay_.now + relay_.limits.connectWithin) + "\""),
      std::string::npos)
      << line;
  EXPECT_EQ(line.find("permitopen"), std::string::npos);
  // Not as a supporter; a supporter's key not as a customer's machine; unknown keys never.
  EXPECT_EQ(keysFor("tvlsupport", sessionKey('a')), "");
  EXPECT_EQ(keysFor("tvlrelay", "ssh-ed25519 ALICEKEY"), "");
  EXPECT_EQ(keysFor("root", "ssh-ed25519 ORGKEY"), "");
  EXPECT_EQ(keysFor("tvlrelay", sessionKey('z')), "");
  // The supporter reaches the sessions' ports, and only those.
  EXPECT_NE(keysFor("tvlsupport", "ssh-ed25519 ALICEKEY")
                .find(",port-forwarding,permitopen=\"localhost:" + std::to_string(port) + "\","),
            std::string::npos);
  // Past its deadline, or ended, a session's key is refused.
  relay_.now += relay_.limits.connectWithin;
  EXPECT_EQ(keysFor("tvlrelay", sessionKey('a')), "");
  relay_.now -= 1;
  supportCommand(relay_, "alice", "end " + std::to_string(port), "", {});
  EXPECT_EQ(keysFor("tvlrelay", sessionKey('a')), "");
  // With no session, a supporter's key forwards nothing.
  EXPECT_EQ(keysFor("tvlsupport", "ssh-ed25519 ALICEKEY").find("port-forwarding"),
            std::string::npos);
}

TEST_F(RelayLogic, RegistrationsAreBoundedInTotalAndPerKey) {
  relay_.limits.maxSessions = 3;
  std::set<int> ports;
  // A port some program already listens on is never handed out.
  std::set<int> busy = {40000, 40001, 40002, 40003, 40004, 40005};
  for (char c : {'a', 'b', 'c'}) ports.insert(registerKey(c, busy));
  EXPECT_EQ(ports.size(), 3u);
  for (int p : ports) EXPECT_TRUE(p >= 40006 && p <= 40009) << p;
  EXPECT_THROW(registerKey('d'), Refused);
  // The same key twice, a key of another kind, a malformed request.
  relay_.limits.maxSessions = 100;
  EXPECT_THROW(registerKey('a'), Refused);
  EXPECT_THROW(registration(relay_, "acme", "register 30", "ssh-rsa AAAA", {}), Refused);
  EXPECT_THROW(registration(relay_, "acme", "register 30; sh", sessionKey('e'), {}), Refused);
  EXPECT_THROW(registration(relay_, "acme", "shell", "", {}), Refused);

  // The rate: a burst, then one per refill period; another key has its own.
  relay_.limits.registrationBurst = 2;
  relay_.limits.registrationsPerMinute = 6;
  SessionStore other((dir_.path() / "other.db").string());
  Relay fresh{other, relay_.limits, {}, {}, "p", relay_.now};
  auto report = [&](const std::string& owner) {
    try {
      registration(fresh, owner, "report", "it failed", {});
      return true;
    } catch (const Refused&) {
      return false;
    }
  };
  EXPECT_TRUE(report("acme"));
  EXPECT_TRUE(report("acme"));
  EXPECT_FALSE(report("acme"));
  EXPECT_TRUE(report("beta"));
  fresh.now += 10;
  EXPECT_TRUE(report("acme"));
  EXPECT_FALSE(report("acme"));
}

TEST_F(RelayLogic, TheSweeperEndsSessionsAndNamesConnectionsToClose) {
  std::map<std::int64_t, Time> seen;
  int expiring = registerKey('a');
  int lost = registerKey('b');
  int ended = registerKey('c');
  int neverConnected = registerKey('d');
  store_.recordMonitor(store_.usableByKey(sessionKey('c'), relay_.now)->id, "77:123");
  PortUse ports;
  ports.listening = {expiring, lost, ended};
  EXPECT_TRUE(sweep(relay_, ports, seen).connectionsToClose.empty());
  supportCommand(relay_, "alice", "end " + std::to_string(ended), "", ports);
  // The ended session's connection still holds its port: it is to be closed.
  EXPECT_EQ(sweep(relay_, ports, seen).connectionsToClose, std::vector<std::string>{"77:123"});
  // A lost connection has reconnect-within to come back.
  ports.listening = {expiring};
  relay_.now += relay_.limits.reconnectWithin - 1;
  sweep(relay_, ports, seen);
  EXPECT_EQ(store_.live().size(), 3u);
  relay_.now += 1;
  sweep(relay_, ports, seen);
  std::set<int> live;
  for (auto& s : store_.live()) live.insert(s.port);
  EXPECT_EQ(live, (std::set<int>{expiring, neverConnected}));
  // Never connected within connect-within; a connected one at the end of its length.
  relay_.now += relay_.limits.connectWithin;
  sweep(relay_, ports, seen);
  EXPECT_EQ(store_.live().size(), 1u);
  store_.recordMonitor(store_.usableByKey(sessionKey('a'), relay_.now)->id, "88:1");
  relay_.now += 30 * 60;
  EXPECT_EQ(sweep(relay_, ports, seen).connectionsToClose, std::vector<std::string>{"88:1"});
  EXPECT_TRUE(store_.live().empty());
  ports.listening.clear();
  EXPECT_TRUE(sweep(relay_, ports, seen).idle);
}

TEST_F(RelayLogic, SupportersPrepareListEndAndReadReports) {
  std::string grant = supportCommand(relay_, "alice", "prepare 45 2", sessionKey('l'), {});
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(grant, m, std::regex("^port=(\\d+) connect-by=(\\d+) minutes=45\n$")));
  EXPECT_EQ(std::stoll(m[2]), relay_.now + 2 * 3600);
  int port = std::stoi(m[1]);
  PortUse ports;
  ports.listening = {port};
  ports.established[port] = 1;
  relay_.now += 5;
  std::string list = supportCommand(relay_, "alice", "list", "", ports);
  EXPECT_EQ(list.substr(0, list.find('\t', list.find('\t', list.find('\t') + 1) + 1)),
            std::to_string(port) + "\tlink\tsupporter-connected");
  EXPECT_THROW(supportCommand(relay_, "alice", "end 1", "", ports), Refused);
  EXPECT_THROW(supportCommand(relay_, "alice", "prepare 45", sessionKey('m'), ports), Refused);
  EXPECT_THROW(supportCommand(relay_, "alice", "rm -rf /", "", ports), Refused);

  // A report's terminal controls never reach a supporter's terminal.
  registration(relay_, "acme", "report", "session failed\n\x1b]0;owned\x07 tab\there\n", {});
  EXPECT_EQ(supportCommand(relay_, "alice", "reports", "", {}),
            "--- report 1 from acme at " + std::to_string(relay_.now) +
                "\nsession failed\n?]0;owned? tab\there\n");
  relay_.limits.reportBytes = 256;
  EXPECT_THROW(registration(relay_, "acme", "report", std::string(257, 'x'), {}), Refused);
}

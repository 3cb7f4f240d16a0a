#include <gtest/gtest.h>

#include "relay/Processes.h"
#include "relay/RelayConfig.h"

using namespace tvl;
using namespace tvl::relay;

TEST(RelayConfig, BoundsAreTakenOrTheWholeFileIsRefused) {
  auto ok =
      parseRelayConfig("# comment\n\nfirst-port = 41000\nlast-port=41009\nmax-sessions = 7\n");
  EXPECT_EQ(ok.error, "");
  EXPECT_EQ(ok.limits.firstPort, 41000);
  EXPECT_EQ(ok.limits.lastPort, 41009);
  EXPECT_EQ(ok.limits.maxSessions, 7);
  EXPECT_EQ(ok.limits.reconnectWithin, RelayLimits{}.reconnectWithin);
  for (const char* bad :
       {"max-sesions = 7", "max-sessions = 0", "max-sessions = 7x", "max-sessions",
        "first-port = 80", "first-port = 41000\nlast-port = 40000"})
    EXPECT_NE(parseRelayConfig(bad).error, "") << bad;
}

TEST(RelayConfig, KeyListsSkipWhatIsNotANamedKey) {
  auto keys = parseKeyList(
      "# NAME TYPE KEY\nalice ssh-ed25519 AAAA comment\nBob ssh-ed25519 BBBB\nshort\n"
      "carol ssh-rsa CCCC\n");
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].name, "alice");
  EXPECT_EQ(keys[0].key, "ssh-ed25519 AAAA");
  EXPECT_EQ(keys[1].name, "carol");
}

TEST(RelayConfig, ReservedPortsKeepOthersAndReplaceOurOldRange) {
  struct Case {
    const char *current, *previous, *ours, *after;
  } cases[] = {
      {"\n", "", "40000-40999", "40000-40999"},
      {"8080,41900-42099\n", "", "40000-40999", "8080,41900-42099,40000-40999"},
      {"8080,40000-40999\n", "40000-40999", "30000-30099", "8080,30000-30099"},
      {"40000-40999\n", "40000-40999", "40000-40999", "40000-40999"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(reservedPortsAfter(c.current, c.previous, c.ours), c.after) << c.current;
}

TEST(Processes, TcpTableGivesListenersAndConnectionsByLocalPort) {
  PortUse use;
  parseTcpTable(
      "  sl  local_address rem_address   st tx_queue rx_queue\n"
      "   0: 0100007F:9C40 00000000:0000 0A 00000000:00000000\n"
      "   1: 0100007F:9C40 0100007F:D431 01 00000000:00000000\n"
      "   2: 0100007F:D431 0100007F:9C40 01 00000000:00000000\n"
      "   3: garbage\n",
      use);
  parseTcpTable(
      "  sl  local_address                         remote_address                        st\n"
      "   0: 00000000000000000000000001000000:9C41 00000000000000000000000000000000:0000 0A\n",
      use);
  EXPECT_EQ(use.listening, (std::set<int>{40000, 40001}));
  EXPECT_EQ(use.established[40000], 1);
  EXPECT_EQ(use.established[54321], 1);
}

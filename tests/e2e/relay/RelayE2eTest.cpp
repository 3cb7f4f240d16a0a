// The relay made from its package, on the machine's own OpenSSH server (9.2), attacked the
// ways a customer's machine could with what it holds: the organisation's key, its own
// session's key, an old link's key.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <thread>

#include "e2e/relay/RelayHarness.h"

using namespace tvl;
using namespace relaytest;
using namespace std::chrono_literals;
using testsupport::eventually;

namespace {

// Reads what a TCP port of this machine says first (the relay's sshd says its version).
std::string firstWords(int port) {
  Outcome o = run("timeout 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port) +
                  " && head -c 7 <&3'");
  return o.output;
}

bool ends(testsupport::ChildProcess& p, std::chrono::milliseconds limit) {
  return p.waitForExit(limit).has_value();
}

}  // namespace

TEST(RelayPackage, TheOrganisationsKeyRegistersButNeverHoldsAPort) {
  RelayClient c;
  std::string key = c.newKey("session");
  Outcome registered;
  int port = c.registerSession(key, &registered);
  ASSERT_GE(port, 40000) << registered.output;
  ASSERT_LE(port, 40999);

  // With the key every machine has, the session's port (or any) is refused: the takeover.
  for (std::string wanted : {std::to_string(port), std::string("0")}) {
    auto thief = c.tunnel(c.organisationKey(), port, "127.0.0.1:22", wanted);
    EXPECT_TRUE(ends(thief, 15s)) << wanted;
  }
  EXPECT_FALSE(listening(port));
  // No shell and no other command.
  Outcome shell = c.ask(c.organisationKey(), "tvlrelay", "id");
  EXPECT_NE(shell.status, 0);
  EXPECT_EQ(shell.output.find("uid="), std::string::npos) << shell.output;
  EXPECT_NE(c.ask(c.organisationKey(), "tvlsupport", "list").status, 0);

  // The session's own key gets its port, and only that one.
  std::string other = c.newKey("other");
  int otherPort = c.registerSession(other);
  ASSERT_NE(otherPort, 0);
  auto wrongPort = c.tunnel(other, port, "127.0.0.1:22");
  EXPECT_TRUE(ends(wrongPort, 15s));
  auto anyPort = c.tunnel(other, 0, "127.0.0.1:22", "0");
  EXPECT_TRUE(ends(anyPort, 15s));
  auto own = c.tunnel(key, port, "127.0.0.1:22");
  ASSERT_TRUE(eventually([&] { return listening(port); }, 15s));
  EXPECT_EQ(firstWords(port), "SSH-2.0");
  Outcome shellBySession = c.ask(key, "tvlrelay", "id");
  EXPECT_EQ(shellBySession.output.find("uid="), std::string::npos) << shellBySession.output;
}

TEST(RelayPackage, PortsAreBoundedInTotal) {
  RelayClient c;
  // Sessions of other tests may be live: the bound is three more than those.
  std::string list = c.ask(c.supporterKey(), "tvlsupport", "list").output;
  int live = static_cast<int>(std::count(list.begin(), list.end(), '\n'));
  testsupport::writeFile("/etc/tovalo-relay/relay.conf",
                         "max-sessions = " + std::to_string(live + 3) + "\n");
  int granted = 0;
  Outcome last;
  for (int i = 0; i < 5; ++i)
    granted += c.registerSession(c.newKey("k" + std::to_string(i)), &last) != 0;
  testsupport::writeFile("/etc/tovalo-relay/relay.conf", "");
  EXPECT_EQ(granted, 3);
  EXPECT_NE(last.output.find("as many sessions as it takes"), std::string::npos) << last.output;
}

TEST(RelayPackage, LinksWorkSideBySideAndEndWithTheirSession) {
  RelayClient c;
  std::string first = c.newKey("link1"), second = c.newKey("link2");
  int p1 = c.prepareLink(first), p2 = c.prepareLink(second);
  ASSERT_NE(p1, 0);
  ASSERT_NE(p2, 0);
  auto t1 = c.tunnel(first, p1, "127.0.0.1:22");
  auto t2 = c.tunnel(second, p2, "127.0.0.1:22");
  ASSERT_TRUE(eventually([&] { return listening(p1) && listening(p2); }, 15s));

  // The supporter reaches a session's port through the relay, and nothing else there.
  auto supporter = c.sshArgs(c.supporterKey(), "tvlsupport");
  supporter.insert(supporter.end(), {"-N", "-L", "41901:localhost:" + std::to_string(p1), "-L",
                                     "41902:localhost:22", "127.0.0.1"});
  testsupport::ChildProcess forward(supporter);
  ASSERT_TRUE(eventually([&] { return listening(41901) && listening(41902); }, 15s));
  EXPECT_EQ(firstWords(41901), "SSH-2.0");
  EXPECT_EQ(firstWords(41902), "");
  forward.stop();

  // The supporter ends the first: its connection is closed by the relay within seconds,
  // the second goes on, and the first's key no longer logs in.
  Outcome end = c.ask(c.supporterKey(), "tvlsupport", "end " + std::to_string(p1));
  EXPECT_EQ(end.status, 0) << end.output;
  EXPECT_TRUE(ends(t1, 5s));
  EXPECT_FALSE(listening(p1));
  EXPECT_TRUE(listening(p2));
  auto again = c.tunnel(first, p1, "127.0.0.1:22");
  EXPECT_TRUE(ends(again, 15s));
  EXPECT_FALSE(listening(p1));
  Outcome list = c.ask(c.supporterKey(), "tvlsupport", "list");
  EXPECT_EQ(list.output.find(std::to_string(p1) + "\t"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find(std::to_string(p2) + "\tlink\twaiting-for-supporter"),
            std::string::npos)
      << list.output;

  // The user's own end (the session key's one command) ends it the same way.
  EXPECT_EQ(c.ask(second, "tvlrelay", "end").status, 0);
  EXPECT_TRUE(ends(t2, 5s));
}

// The relay made from its package, on the machine's own OpenSSH server (9.2), attacked the
// ways a customer's machine could with what it holds: the organisation's key, its own
// session's key, an old link's key.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <poll.h>

#include <atomic>
#include <cstring>
#include <iostream>
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

// The package keeps the session ports (40000-40999) from outgoing connections: with the
// kernel's outgoing ports narrowed to 39990-41010 every connection must come from the 21
// ports around them.
TEST(RelayPackage, OutgoingConnectionsNeverTakeASessionPort) {
  const std::string range = "/proc/sys/net/ipv4/ip_local_port_range";
  const std::string saved = testsupport::readFile(range);
  testsupport::writeFile(range, "39990 41010\n");
  std::vector<int> sockets;
  for (int i = 0; i < 10; ++i) {
    sockaddr_in a{AF_INET, htons(22), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof a;
    sockets.push_back(::socket(AF_INET, SOCK_STREAM, 0));
    if (::connect(sockets.back(), reinterpret_cast<sockaddr*>(&a), size) != 0 ||
        ::getsockname(sockets.back(), reinterpret_cast<sockaddr*>(&a), &size) != 0)
      ADD_FAILURE() << "connection " << i << ": " << std::strerror(errno);
    else if (int port = ntohs(a.sin_port); port >= 40000 && port <= 40999)
      ADD_FAILURE() << "an outgoing connection from session port " << port;
  }
  for (int fd : sockets) ::close(fd);
  testsupport::writeFile(range, saved);
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

namespace {

// Unix sockets that each answer with their own name, as many customers' VNC servers would.
class Answerers {
 public:
  Answerers(const fs::path& dir, int count) {
    for (int i = 0; i < count; ++i) {
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      paths_.push_back((dir / ("s" + std::to_string(i))).string());
      std::snprintf(a.sun_path, sizeof a.sun_path, "%s", paths_.back().c_str());
      int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      ::listen(fd, 8);
      fds_.push_back(fd);
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~Answerers() {
    stop_ = true;
    thread_.join();
    for (int fd : fds_) ::close(fd);
  }
  const std::string& path(int i) const { return paths_[static_cast<std::size_t>(i)]; }

 private:
  void serve() {
    std::vector<pollfd> polled;
    for (int fd : fds_) polled.push_back({fd, POLLIN, 0});
    while (!stop_) {
      if (::poll(polled.data(), polled.size(), 100) <= 0) continue;
      for (std::size_t i = 0; i < polled.size(); ++i) {
        if (!(polled[i].revents & POLLIN)) continue;
        int c = ::accept4(polled[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        std::string name = "session-" + std::to_string(i) + "\n";
        (void)!::write(c, name.data(), name.size());
        ::close(c);
      }
    }
  }
  std::vector<std::string> paths_;
  std::vector<int> fds_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

}  // namespace

// Fifty customers' machines start sessions in the same second; each is reached by its
// supporter through its own port, and only its own.
TEST(RelayPackageLoad, FiftySessionsAtOnce) {
  constexpr int kSessions = 50;
  RelayClient c;
  std::vector<std::string> keys;
  for (int i = 0; i < kSessions; ++i) keys.push_back(c.newKey("k" + std::to_string(i)));
  std::vector<int> ports(kSessions, 0);
  std::vector<int> tries(kSessions, 0);
  std::vector<std::thread> starts;
  for (int i = 0; i < kSessions; ++i)
    starts.emplace_back([&, i] {
      // The client's retry: sshd may still drop a connection beyond MaxStartups.
      while (!ports[i] && tries[i] < 5) {
        if (tries[i]++) std::this_thread::sleep_for(std::chrono::milliseconds(200 * tries[i]));
        ports[i] = c.registerSession(keys[i]);
      }
    });
  for (auto& t : starts) t.join();
  int retried = 0;
  for (int i = 0; i < kSessions; ++i) {
    ASSERT_NE(ports[i], 0) << "session " << i;
    retried += tries[i] > 1;
  }
  std::cout << "registered " << kSessions << " sessions, " << retried << " after a retry\n";

  Answerers servers(c.dir(), kSessions);
  std::vector<testsupport::ChildProcess> tunnels;
  for (int i = 0; i < kSessions; ++i)
    tunnels.push_back(c.tunnel(keys[i], ports[i], servers.path(i)));
  ASSERT_TRUE(eventually(
      [&] {
        auto use = tvl::relay::currentPortUse();
        for (int p : ports)
          if (!use.listening.count(p)) return false;
        return true;
      },
      60s));

  auto supporter = c.sshArgs(c.supporterKey(), "tvlsupport");
  supporter.push_back("-N");
  for (int i = 0; i < kSessions; ++i)
    supporter.insert(supporter.end(),
                     {"-L", std::to_string(42000 + i) + ":localhost:" + std::to_string(ports[i])});
  supporter.push_back("127.0.0.1");
  testsupport::ChildProcess forward(supporter);
  ASSERT_TRUE(eventually([&] { return listening(42000 + kSessions - 1); }, 30s));
  for (int i = 0; i < kSessions; ++i) {
    Outcome o = run("timeout 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(42000 + i) +
                    " && head -n1 <&3'");
    EXPECT_EQ(o.output, "session-" + std::to_string(i) + "\n");
  }
}

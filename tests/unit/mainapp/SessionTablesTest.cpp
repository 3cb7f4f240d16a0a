// The session's pure parts, table by table: each program's output parser fed with lines
// captured from the real program (x11vnc 0.9.16, OpenSSH 9.2, tvl-portal-vnc),
// the transition table, the words made from codes, the session length and the backoff; and
// the handshake gate on real sockets.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QString>
#include <QTemporaryDir>

#include <cstring>

#include <set>
#include <vector>

#include "mainapp/session/RfbGate.h"
#include "mainapp/session/ServerEvent.h"
#include "mainapp/session/SessionProblem.h"
#include "mainapp/session/SessionState.h"
#include "mainapp/session/SupportSession.h"
#include "mainapp/session/Tunnel.h"

using namespace tvl;
using namespace tvl::session;

namespace {

using K = ServerEvent::Kind;

struct ServerLine {
  const char* line;
  ServerEvent event;
};

void expectServerTable(ServerEvent (*parse)(QStringView), const std::vector<ServerLine>& table) {
  for (const auto& [line, expected] : table) {
    const ServerEvent got = parse(QString::fromUtf8(line));
    EXPECT_EQ(int(got.kind), int(expected.kind)) << line;
    EXPECT_EQ(got.remaining, expected.remaining) << line;
    EXPECT_EQ(got.code, expected.code) << line;
  }
}

TEST(ServerParsers, X11vnc) {
  expectServerTable(
      parseX11vncLine,
      {
          {"09/12/2026 01:24:38 listening on unix socket: /run/user/1/.tvl-tunnel-a/vnc.sock fd=8",
           {K::Serving}},
          {"09/12/2026 01:24:42 client_set_net: /run/user/1/.tvl-tunnel-a/vnc.sock  0.0000",
           {K::Joined}},
          {"09/12/2026 01:24:43 client_count: 0", {K::Left, 0}},
          {"09/12/2026 01:24:43 client_count: 2", {K::Left, 2}},
          // A client that fails the password check is never joined; its leaving only
          // counts those left.
          {"09/12/2026 01:24:44 rfbAuthProcessClientMessage: password check failed", {}},
          {"09/12/2026 01:24:44 authProcessClientMessage: authentication failed from "
           "/run/user/1/.tvl-tunnel-a/vnc.sock",
           {}},
          {"09/12/2026 01:24:42 unix sock client: /run/user/1/.tvl-tunnel-a/vnc.sock", {}},
          {"09/12/2026 01:24:38 screen setup finished.", {}},
          {"09/12/2026 01:24:42   0 other clients", {}},
      });
}

TEST(ServerParsers, PortalVncSpeaksInCodes) {
  expectServerTable(
      parsePortalVncLine,
      {
          {"tvl-portal-vnc: approval-pending", {K::ApprovalPending}},
          {"tvl-portal-vnc: serving", {K::Serving}},
          {"tvl-portal-vnc: view-only", {K::ViewOnly}},
          {"tvl-portal-vnc: client-joined", {K::Joined}},
          {"tvl-portal-vnc: client-left 1", {K::Left, 1}},
          {"tvl-portal-vnc: client-left many", {}},
          {"tvl-portal-vnc: refused declined you declined to share your screen",
           {K::Refused, -1, "declined"}},
          {"tvl-portal-vnc: refused no-portal this desktop offers no screen-sharing portal",
           {K::Refused, -1, "no-portal"}},
          {"tvl-portal-vnc: error the desktop ended the screen sharing",
           {K::Error, -1, "tvl-portal-vnc: error the desktop ended the screen sharing"}},
          {"tvl-portal-vnc: vnc: rfbProcessClientProtocolVersion: read: Connection reset", {}},
          // Another program's line that looks alike is not a report.
          {"client-joined", {}},
      });
}

TEST(ServerParsers, TheUsersWordsForADesktopsRefusalComeFromItsCode) {
  EXPECT_EQ(describe({Problem::DesktopRefused, "declined"}),
            "This desktop can't be shared: you declined to share your screen");
  EXPECT_EQ(describe({Problem::DesktopRefused, "no-portal"}),
            "This desktop can't be shared: this desktop offers no screen-sharing portal");
  // tvl-portal-vnc --wlroots on a compositor without its screen copy.
  EXPECT_EQ(describe({Problem::DesktopRefused, "no-capture"}),
            "This desktop can't be shared: its Wayland compositor offers no way to capture the "
            "screen");
  // An unknown code still says something true.
  EXPECT_EQ(describe({Problem::DesktopRefused, "new-code"}),
            "This desktop can't be shared: the desktop's portal failed");
}

TEST(TunnelParser, Ssh) {
  using T = TunnelEvent::Kind;
  using F = TunnelFailure;
  const std::vector<std::pair<const char*, TunnelEvent>> table = {
      {"Authenticated to 127.0.0.1 ([127.0.0.1]:22022) using \"publickey\".", {T::LoggedIn}},
      {"Allocated port 35029 for remote forward to /run/user/1/.tvl-tunnel-a/vnc.sock:-2",
       {T::PortAllocated, 35029}},
      {"debug1: remote forward success for: listen 40404, connect "
       "/run/user/1/.tvl-tunnel-a/vnc.sock:-2",
       {T::Forwarded, 40404}},
      {"debug1: remote forward success for: listen 0, connect /x/vnc.sock:-2", {T::Forwarded, 0}},
      {"Error: remote port forwarding failed for listen port 35029",
       {T::Failure, 0, F::PortRefused}},
      {"@@@    WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!     @@@",
       {T::Failure, 0, F::HostKey}},
      {"Host key verification failed.", {T::Failure, 0, F::HostKey}},
      {"No ED25519 host key is known for tvl-relay and you have requested strict checking.",
       {T::Failure, 0, F::HostKey}},
      {"tvlrelay@127.0.0.1: Permission denied (publickey).", {T::Failure, 0, F::CredentialRefused}},
      {"ssh: connect to host 10.9.9.2 port 22022: Connection timed out",
       {T::Failure, 0, F::Unreachable}},
      {"ssh: connect to host 10.9.9.2 port 22022: Network is unreachable",
       {T::Failure, 0, F::Unreachable}},
      {"ssh: connect to host 127.0.0.1 port 9: Connection refused",
       {T::Failure, 0, F::Unreachable}},
      {"Timeout, server 127.0.0.1 not responding.", {T::Failure, 0, F::Lost}},
      {"Connection to 127.0.0.1 closed by remote host.", {T::Failure, 0, F::ClosedByRelay}},
      {"client_loop: send disconnect: Broken pipe", {T::Failure, 0, F::Lost}},
      // Debug lines say the same words about every address tried: not a failure yet.
      {"debug1: connect to address 10.9.9.2 port 22022: Network is unreachable", {}},
      {"debug1: Remote connections from LOCALHOST:0 forwarded to local address /x:-2", {}},
      {"Transferred: sent 3420, received 3068 bytes, in 1.9 seconds", {}},
  };
  for (const auto& [line, expected] : table) {
    const TunnelEvent got = parseSshLine(QString::fromUtf8(line));
    EXPECT_EQ(int(got.kind), int(expected.kind)) << line;
    EXPECT_EQ(got.port, expected.port) << line;
    EXPECT_EQ(int(got.failure), int(expected.failure)) << line;
  }
}

TEST(TunnelParser, RefusalsAreNotRetriedButAReconnectionsOwnPortIs) {
  using F = TunnelFailure;
  for (F f : {F::HostKey, F::CredentialRefused, F::RegistrationRefused}) {
    EXPECT_FALSE(isWorthRetrying(f, false));
    EXPECT_FALSE(isWorthRetrying(f, true));
  }
  EXPECT_FALSE(isWorthRetrying(F::PortRefused, false));
  EXPECT_TRUE(isWorthRetrying(F::PortRefused, true));
  for (F f : {F::Unreachable, F::NoAnswer, F::Lost, F::ClosedByRelay, F::Other})
    EXPECT_TRUE(isWorthRetrying(f, true));
}

TEST(RfbGate, PassesTheHandshakeOnOnlyInWholeMessages) {
  // What a client sends, piece by piece, and how many bytes the gate may pass on after
  // each piece (the pieces held so far, in order).
  struct Step {
    std::string bytes;
    size_t passable;
  };
  const std::string response(16, 'r');
  const std::vector<std::pair<const char*, std::vector<Step>>> table = {
      {"RFB 3.8, piece by piece",
       {{"RFB 003.0", 0},
        {"08\n", 12},
        {"\x02", 1},
        {response.substr(0, 9), 0},
        {response.substr(9), 16},
        {"\x01", 1},
        {"\x03", 1}}},
      {"RFB 3.3 answers the challenge without choosing a type",
       {{"RFB 003.003\n", 12}, {response, 16}, {"\x01", 1}}},
      {"several messages at once go at once; the part of the next one waits",
       {{"RFB 003.008\n\x02" + response.substr(0, 3), 13}, {response.substr(3) + "\x01", 17}}},
      {"another security type: the server refuses it by itself",
       {{"RFB 003.007\n\x01", 13}, {"x", 1}}},
      {"not RFB at all", {{"GET / HTTP/1.1\r\n", 16}}},
  };
  for (const auto& [what, steps] : table) {
    RfbHandshake handshake;
    std::string held;
    for (const Step& step : steps) {
      held += step.bytes;
      const size_t n = handshake.passable(held);
      EXPECT_EQ(n, step.passable) << what << ": after " << step.bytes.size() << " bytes";
      held.erase(0, n);
    }
  }
}

constexpr State kAll[] = {
    State::Idle,    State::StartingServer, State::AwaitingApproval, State::ConnectingRelay,
    State::Waiting, State::Connected,      State::Reconnecting,     State::Ended};

TEST(Transitions, EveryRunningStateCanEndAndTheScreenIsSharedOnlyOnceBothPartsAreUp) {
  for (State s : kAll) {
    EXPECT_EQ(isTransition(s, State::Ended), isRunning(s)) << stateName(s);
    // Only from nothing does a session start.
    EXPECT_EQ(isTransition(s, State::StartingServer), !isRunning(s)) << stateName(s);
  }
  // The session code shows only once the relay's port is open.
  std::set<State> toWaiting;
  for (State s : kAll)
    if (isTransition(s, State::Waiting)) toWaiting.insert(s);
  EXPECT_EQ(toWaiting,
            (std::set<State>{State::ConnectingRelay, State::Connected, State::Reconnecting}));
  // The desktop's dialog comes before anything reaches the relay, never after.
  EXPECT_FALSE(isTransition(State::ConnectingRelay, State::AwaitingApproval));
  // A lost connection is tried again only for a session that was up.
  for (State s : kAll)
    EXPECT_EQ(isTransition(s, State::Reconnecting), s == State::Waiting || s == State::Connected)
        << stateName(s);
}

TEST(Transitions, EveryStateIsReachableAndEveryRunningOneLeadsToEnded) {
  auto reachable = [](State from) {
    std::set<State> seen{from};
    std::vector<State> next{from};
    while (!next.empty()) {
      State s = next.back();
      next.pop_back();
      for (State t : kAll)
        if (isTransition(s, t) && seen.insert(t).second) next.push_back(t);
    }
    return seen;
  };
  EXPECT_EQ(reachable(State::Idle).size(), std::size(kAll));
  for (State s : kAll) EXPECT_TRUE(reachable(s).count(State::Ended)) << stateName(s);
}

TEST(SessionLength, OnlyAPositiveNumberOfMinutesCounts) {
  const std::vector<std::pair<const char*, int>> table = {
      {"30", 30},       {"1", 1},    {" 45 ", 45}, {"120", 120},
      {"", 30},         {"0", 30},   {"-5", 30},   {"abc", 30},
      {"45.5", 46},     {"0.2", 1},  {".", 30},    {"1.2.3", 30},
      {"15m", 30},      {"+15", 30}, {"1e3", 30},  {"99999999999999999999", 10080},
      {"20160", 10080},  // longer than a week: a week
  };
  for (const auto& [text, minutes] : table) EXPECT_EQ(sessionLengthMinutes(text), minutes) << text;
}

TEST(Reconnection, BackoffDoublesToEightSecondsWithAtMostHalfASecondOfJitter) {
  EXPECT_DOUBLE_EQ(reconnectDelaySeconds(0, 0), 1);
  EXPECT_DOUBLE_EQ(reconnectDelaySeconds(1, 0), 2);
  EXPECT_DOUBLE_EQ(reconnectDelaySeconds(2, 0.25), 4.25);
  EXPECT_DOUBLE_EQ(reconnectDelaySeconds(3, 0), 8);
  EXPECT_DOUBLE_EQ(reconnectDelaySeconds(40, 9), 8.5);
}

}  // namespace

namespace {

int unixSocket(const std::string& path, bool listen) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  auto* a = reinterpret_cast<sockaddr*>(&address);
  if (listen ? ::bind(fd, a, sizeof address) != 0 || ::listen(fd, 4) != 0
             : ::connect(fd, a, sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

TEST(RfbGate, ALinkEndsWithTheServersEndEvenIfTheClientStays) {
  // A server that refuses a client (a wrong password) says why and closes; a client that
  // stays connected must not keep the link, which would wake the gate without end.
  QTemporaryDir dir;
  const std::string server = dir.filePath("server.sock").toStdString();
  const int listener = unixSocket(server, true);
  ASSERT_GE(listener, 0);
  RfbGate gate;
  std::string error;
  ASSERT_TRUE(gate.start(dir.filePath("gate.sock").toStdString(), server, &error)) << error;
  const int client = unixSocket(dir.filePath("gate.sock").toStdString(), false);
  ASSERT_GE(client, 0);
  const int accepted = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  ASSERT_EQ(::write(accepted, "RFB 003.008\n", 12), 12);
  ::close(accepted);
  char buffer[32];
  pollfd p{client, POLLIN, 0};
  std::string got;
  for (int i = 0; i < 50 && ::poll(&p, 1, 100) >= 0; ++i) {
    const ssize_t n = ::read(client, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, size_t(n));
  }
  EXPECT_EQ(got, "RFB 003.008\n");  // the server's last words, then the end
  // Closed, not only shut for writing: the gate let the link go.
  pollfd hangUp{client, POLLOUT, 0};
  EXPECT_EQ(::poll(&hangUp, 1, 3000), 1);
  EXPECT_TRUE(hangUp.revents & POLLHUP) << hangUp.revents;
  ::close(client);
  ::close(listener);
}

// tovalo-relay: the programs that sshd runs on the relay, as its unprivileged account, by the
// first argument:
//   keys USER TYPE BASE64   the AuthorizedKeysCommand (%u %t %k)
//   register ORGANISATION   forced command of the organisation's keys
//   session PORT            forced command of a session's key
//   support SUPPORTER       forced command of a supporter's key
//   sweep                   the sweeper: started by the above, ends itself when idle
// The request of a forced command is SSH_ORIGINAL_COMMAND; its data comes on standard input.
// Run as tovalo-relay-admin, it is the administrator's tool (RelayAdmin.cpp).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "relay/Relay.h"
#include "relay/RelayAdmin.h"

using namespace tvl::relay;

namespace {

const std::string kStore = std::string(kStateDir) + "/sessions.db";
const std::string kSweeperLock = std::string(kStateDir) + "/sweeper.lock";

std::string ownPath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("/usr/lib/tovalo-relay/tovalo-relay") : p.string();
}

RelayLimits loadLimits() {
  auto text = readSmallFile(std::string(kConfigDir) + "/relay.conf");
  if (!text) return {};
  ConfigResult r = parseRelayConfig(*text);
  if (!r.error.empty()) throw std::runtime_error("/etc/tovalo-relay/relay.conf: " + r.error);
  return r.limits;
}

std::vector<NamedKey> loadKeys(const char* file) {
  auto text = readSmallFile(std::string(kConfigDir) + "/" + file);
  return text ? parseKeyList(*text) : std::vector<NamedKey>{};
}

// At most limit bytes of standard input; one more and the request is refused.
std::string readInput(std::size_t limit) {
  std::string in;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(0, buf, sizeof buf)) > 0) {
    in.append(buf, static_cast<std::size_t>(n));
    if (in.size() > limit) throw Refused("the request is too long");
  }
  return in;
}

std::string originalCommand() {
  const char* c = std::getenv("SSH_ORIGINAL_COMMAND");
  std::string command = c ? c : "";
  if (command.size() > 256) throw Refused("the request is too long");
  return command;
}

// One sweeper for the relay, whichever program notices that none runs: it holds a lock
// for its life. Detached (its own session, no descriptors of ours), so that sshd, which
// waits for our output to end, never waits for it.
void ensureSweeper(const std::string& program) {
  int fd = ::open(kSweeperLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  bool running = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  if (running) return;
  pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    int null = ::open("/dev/null", O_RDWR);
    for (int i = 0; i < 3; ++i) ::dup2(null, i);
    ::closefrom(3);
    ::execl(program.c_str(), program.c_str(), "sweep", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (child > 0) ::waitpid(child, nullptr, 0);
}

int runSweeper(Relay& relay) {
  int fd = ::open(kSweeperLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) return 0;
  std::map<std::int64_t, Time> lastSeen;
  int idleRounds = 0;
  // Idle for ten rounds in a row: nothing to watch, the next login starts another.
  while (idleRounds < 10) {
    relay.now = std::time(nullptr);
    SweepRound round = sweep(relay, currentPortUse(), lastSeen);
    for (auto& monitors : round.connectionsToClose)
      if (int n = endConnections(monitors))
        syslog(LOG_INFO, "closed %d connection(s) of an ended session", n);
    idleRounds = round.idle ? idleRounds + 1 : 0;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  return 0;
}

int run(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "";
  const std::string program = ownPath();
  SessionStore store(kStore);
  Relay relay{store, loadLimits(), {}, {}, program, std::time(nullptr)};
  if (what == "keys" && argc == 5) {
    relay.organisationKeys = loadKeys("organisation-keys");
    relay.supporters = loadKeys("supporters");
    // sshd runs this command from the connection's privileged process.
    std::string monitor = processStamp(::getppid()).value_or("");
    std::string line = authorizedKeys(relay, argv[2], argv[3], argv[4], monitor);
    std::cout << line << std::flush;
    if (!line.empty() && !store.live().empty()) ensureSweeper(program);
    return 0;
  }
  if (what == "register" && argc == 3) {
    std::string command = originalCommand();
    std::string input = readInput(static_cast<std::size_t>(relay.limits.reportBytes));
    std::string answer = registration(relay, argv[2], command, input, currentPortUse());
    syslog(LOG_INFO, "%s: %s %s", argv[2], command.substr(0, command.find(' ')).c_str(),
           answer.substr(0, answer.find('\n')).c_str());
    std::cout << answer << std::flush;
    ensureSweeper(program);
    return 0;
  }
  if (what == "session" && argc == 3) {
    int port = std::atoi(argv[2]);
    std::cout << sessionCommand(relay, port, originalCommand()) << std::flush;
    return 0;
  }
  if (what == "support" && argc == 3) {
    std::string command = originalCommand();
    std::string input = command.rfind("prepare", 0) == 0 ? readInput(4096) : "";
    std::string answer = supportCommand(relay, argv[2], command, input, currentPortUse());
    if (command.rfind("list", 0) != 0 && command.rfind("reports", 0) != 0)
      syslog(LOG_INFO, "supporter %s: %s", argv[2], command.c_str());
    std::cout << answer << std::flush;
    return 0;
  }
  if (what == "sweep" && argc == 2) return runSweeper(relay);
  std::cerr << "usage: tovalo-relay keys USER TYPE KEY | register NAME | session PORT | "
               "support NAME | sweep\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  openlog("tovalo-relay", LOG_PID, LOG_AUTHPRIV);
  const std::string name = std::filesystem::path(argc > 0 ? argv[0] : "").filename();
  try {
    if (name == "tovalo-relay-admin") return adminMain(argc, argv);
    return run(argc, argv);
  } catch (const Refused& e) {
    std::cerr << "refused: " << e.what() << "\n";
    syslog(LOG_NOTICE, "refused: %s", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "tovalo-relay: " << e.what() << "\n";
    syslog(LOG_ERR, "%s", e.what());
    return 2;
  }
}

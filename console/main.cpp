// tovalo-support: the supporter's console. It reaches the organisation's relays only through
// ssh with the supporter's own key, and asks for no password and no ssh option:
//   tovalo-support prepare [--relay NAME] [--minutes M] [--hours H]   a link to send
//   tovalo-support list [--relay NAME]                                 the live sessions
//   tovalo-support connect CODE [--viewer 'COMMAND {passwd} {address}']
//   tovalo-support end CODE                                            ends it on the relay
//   tovalo-support reports [--relay NAME] [N]                          problem reports
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "console/Console.h"
#include "relay/RelayConfig.h"

extern char** environ;

using namespace tvl::console;
namespace fs = std::filesystem;

namespace {

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A private folder (0700) for one run's ssh configuration and password file, removed with
// everything in it.
class PrivateDir {
 public:
  PrivateDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string base = runtime && *runtime ? runtime : "/tmp";
    std::string pattern = base + "/tovalo-support.XXXXXX";
    if (!::mkdtemp(pattern.data())) throw Failure("no private folder could be made in " + base);
    path_ = pattern;
  }
  ~PrivateDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  void write(const std::string& name, const std::string& bytes) const {
    int fd = ::open((path_ / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        ::close(fd) != 0)
      throw Failure("cannot write " + (path_ / name).string());
  }

 private:
  fs::path path_;
};

class Child {
 public:
  Child(const std::vector<std::string>& argv, int in = -1, int out = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, 0);
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int rc = ::posix_spawnp(&pid_, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw Failure(argv[0] + " could not be started");
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  }
  bool running() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
    return pid_ > 0;
  }

 private:
  pid_t pid_ = -1;
};

// ssh to one relay with a configuration of our own: the relay's pinned host key, the
// supporter's key, no prompt, every wait bounded.
class RelayLink {
 public:
  explicit RelayLink(const RelayEntry& r) : relay_(r) {
    dir_.write("known_hosts", "tvl-relay " + r.hostKey + "\n");
    std::ostringstream c;
    c << "Host tvl-relay\n  HostName " << r.host << "\n  Port " << r.port << "\n  User " << r.user
      << "\n  HostKeyAlias tvl-relay\n  UserKnownHostsFile \""
      << (dir_.path() / "known_hosts").string()
      << "\"\n  GlobalKnownHostsFile /dev/null\n  StrictHostKeyChecking yes\n  UpdateHostKeys no\n"
      << "  CheckHostIP no\n  BatchMode yes\n  ExitOnForwardFailure yes\n  ConnectTimeout "
      << r.connectTimeout << "\n  ServerAliveInterval 5\n  ServerAliveCountMax 3\n"
      << "  ForwardAgent no\n  ForwardX11 no\n  ControlMaster no\n  ControlPath none\n"
      << "  PermitLocalCommand no\n  LogLevel ERROR\n";
    if (!r.identity.empty()) c << "  IdentityFile \"" << r.identity << "\"\n  IdentitiesOnly yes\n";
    dir_.write("config", c.str());
  }
  const RelayEntry& relay() const { return relay_; }
  const PrivateDir& dir() const { return dir_; }
  std::vector<std::string> ssh(std::vector<std::string> args) const {
    std::vector<std::string> argv = {"ssh", "-F", (dir_.path() / "config").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }
  // A console command's answer; throws with the relay's words when it refuses.
  std::string ask(const std::string& command, const std::string& input = "") const {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw Failure("no pipe");
    Child child(ssh({"tvl-relay", command}), in[0], out[1]);
    ::close(in[0]);
    ::close(out[1]);
    (void)!::write(in[1], input.data(), input.size());
    ::close(in[1]);
    std::string answer;
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
      answer.append(buf, static_cast<std::size_t>(n));
    ::close(out[0]);
    if (int status = child.wait())
      throw Failure("the relay " + label() + " did not answer (ssh exit " + std::to_string(status) +
                    ")");
    return answer;
  }
  std::string label() const { return relay_.name.empty() ? relay_.host : relay_.name; }

 private:
  RelayEntry relay_;
  PrivateDir dir_;
};

ConsoleSettings loadSettings() {
  std::vector<std::string> candidates = {settingsPath()};
  const char* dirs = std::getenv("XDG_CONFIG_DIRS");
  std::istringstream system(dirs && *dirs ? dirs : "/etc/xdg");
  for (std::string d; std::getline(system, d, ':');)
    if (!d.empty()) candidates.push_back(d + "/tovalo/support.conf");
  for (auto& path : candidates) {
    auto text = tvl::relay::readSmallFile(path, 1 << 16);
    if (!text) continue;
    SettingsResult r = parseSettings(*text);
    if (!r.error.empty()) throw Failure(path + ": " + r.error);
    return r.settings;
  }
  throw Failure(
      "no console settings: ask your relay's administrator for support.conf and put it "
      "in " +
      settingsPath());
}

const RelayEntry& pickRelay(const ConsoleSettings& s, const std::string& name) {
  for (auto& r : s.relays)
    if (r.name == name) return r;
  if (name.empty()) return s.relays.front();
  throw Failure("no relay named " + name + " in the console's settings");
}

fs::path stateDir() {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  fs::path dir = state && *state ? fs::path(state) : fs::path(home ? home : "/") / ".local/state";
  dir /= "tovalo-support";
  fs::create_directories(dir);
  ::chmod(dir.c_str(), 0700);
  return dir;
}

fs::path passwordFile(const RelayEntry& r, int port) {
  return stateDir() /
         ((r.name.empty() ? std::string("relay") : r.name) + "-" + std::to_string(port));
}

std::map<std::string, std::string> grantFields(const std::string& answer) {
  std::map<std::string, std::string> f;
  std::istringstream in(answer);
  for (std::string w; in >> w;)
    if (auto eq = w.find('='); eq != std::string::npos) f[w.substr(0, eq)] = w.substr(eq + 1);
  return f;
}

std::string when(std::time_t t) {
  char buf[64];
  std::tm tm{};
  localtime_r(&t, &tm);
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
  return buf;
}

std::string duration(long seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 3600) return std::to_string(seconds / 60) + " min";
  return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
}

// Options "--name value" and plain words.
struct Args {
  std::map<std::string, std::string> options;
  std::vector<std::string> words;
};
Args parseArgs(int argc, char** argv, int from) {
  Args a;
  for (int i = from; i < argc; ++i) {
    std::string w = argv[i];
    if (w.rfind("--", 0) == 0) {
      if (i + 1 >= argc) throw Failure(w + " needs a value");
      a.options[w.substr(2)] = argv[++i];
    } else {
      a.words.push_back(w);
    }
  }
  return a;
}

int number(const std::string& text, const char* what) {
  try {
    std::size_t used = 0;
    int v = std::stoi(text, &used);
    if (used == text.size() && v > 0) return v;
  } catch (const std::exception&) {
  }
  throw Failure(std::string("invalid ") + what + ": " + text);
}

int prepare(const ConsoleSettings& s, const Args& a) {
  const RelayEntry& r = pickRelay(s, a.options.count("relay") ? a.options.at("relay") : "");
  int minutes = a.options.count("minutes") ? number(a.options.at("minutes"), "minutes") : 30;
  int hours = a.options.count("hours") ? number(a.options.at("hours"), "hours") : 24;
  LinkCredential credential = makeLinkCredential();
  std::string password = makeVncPassword();
  RelayLink link(r);
  auto grant =
      grantFields(link.ask("prepare " + std::to_string(minutes) + " " + std::to_string(hours),
                           credential.publicKey + "\n"));
  int port = grant.count("port") ? number(grant["port"], "port") : 0;
  if (!port) throw Failure("the relay gave no port");
  // The password stays here for connect; the link carries the key and the password.
  fs::path file = passwordFile(r, port);
  {
    std::ofstream out(file, std::ios::trunc);
    ::chmod(file.c_str(), 0600);
    out << password << "\n";
  }
  std::string code = (r.name.empty() ? "" : r.name + "-") + std::to_string(port);
  std::time_t by = grant.count("connect-by") ? std::stoll(grant["connect-by"]) : 0;
  std::cout << "tovalo:x:" << linkSecret(r.name, password, credential.scalar) << ":" << port << "\n"
            << "Send this link to your user; it works once, until " << when(by)
            << ", for a session of " << grant["minutes"]
            << " minutes.\nThen: tovalo-support connect " << code << "\n";
  return 0;
}

int list(const ConsoleSettings& s, const Args& a) {
  std::cout << "RELAY\tCODE\tKIND\tSTATE\tAGE\tLEFT\tBY\tVIEWERS\n";
  const std::time_t now = std::time(nullptr);
  int failures = 0;
  for (auto& r : s.relays) {
    if (a.options.count("relay") && a.options.at("relay") != r.name) continue;
    std::string answer;
    try {
      answer = RelayLink(r).ask("list");
    } catch (const Failure& e) {
      std::cerr << e.what() << "\n";
      ++failures;
      continue;
    }
    std::istringstream in(answer);
    for (std::string line; std::getline(in, line);) {
      std::istringstream f(line);
      std::string port, kind, state, created, firstSeen, deadline, owner, viewers;
      if (!std::getline(f, port, '\t') || !std::getline(f, kind, '\t') ||
          !std::getline(f, state, '\t') || !std::getline(f, created, '\t') ||
          !std::getline(f, firstSeen, '\t') || !std::getline(f, deadline, '\t') ||
          !std::getline(f, owner, '\t') || !std::getline(f, viewers))
        continue;
      std::cout << printable(r.name.empty() ? "-" : r.name) << '\t'
                << printable((r.name.empty() ? "" : r.name + "-") + port) << '\t' << printable(kind)
                << '\t' << printable(state) << '\t' << duration(now - std::atol(created.c_str()))
                << '\t' << duration(std::atol(deadline.c_str()) - now) << '\t' << printable(owner)
                << '\t' << printable(viewers) << "\n";
    }
  }
  return failures ? 1 : 0;
}

int end(const ConsoleSettings& s, const Args& a) {
  if (a.words.size() != 1) throw Failure("end takes a session code");
  auto code = parseSessionCode(a.words[0]);
  if (!code) throw Failure("not a session code: " + a.words[0]);
  const RelayEntry& r = pickRelay(s, code->relay);
  std::cout << printable(RelayLink(r).ask("end " + std::to_string(code->port)));
  std::error_code ec;
  fs::remove(passwordFile(r, code->port), ec);
  return 0;
}

int reports(const ConsoleSettings& s, const Args& a) {
  int n = a.words.empty() ? 20 : number(a.words[0], "count");
  for (auto& r : s.relays) {
    if (a.options.count("relay") && a.options.at("relay") != r.name) continue;
    std::cout << printable(RelayLink(r).ask("reports " + std::to_string(n)));
  }
  return 0;
}

int freeLocalPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw Failure("no free local port");
  ::close(fd);
  return ntohs(a.sin_port);
}

bool accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

int connect(const ConsoleSettings& s, const Args& a) {
  if (a.words.size() != 1) throw Failure("connect takes a session code");
  auto code = parseSessionCode(a.words[0]);
  if (!code) throw Failure("not a session code: " + a.words[0]);
  const RelayEntry& r = pickRelay(s, code->relay);
  std::string password = code->secret;
  if (password.empty()) {
    auto kept = tvl::relay::readSmallFile(passwordFile(r, code->port), 256);
    if (!kept)
      throw Failure("this console did not prepare session " + a.words[0] +
                    ": give the whole code the user reads out");
    password = kept->substr(0, kept->find('\n'));
  }
  RelayLink link(r);
  link.dir().write("vnc.passwd", vncPasswordFile(password));
  const int local = freeLocalPort();
  // A Ctrl-C ends the viewer and the tunnel (they have the terminal too); we clean up.
  ::signal(SIGINT, SIG_IGN);
  Child tunnel(
      link.ssh({"-N", "-L",
                "127.0.0.1:" + std::to_string(local) + ":localhost:" + std::to_string(code->port),
                "tvl-relay"}));
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(r.connectTimeout + 10);
  while (!accepts(local)) {
    if (!tunnel.running())
      throw Failure("the relay refused the connection to session " + a.words[0]);
    if (std::chrono::steady_clock::now() > limit) throw Failure("the relay did not answer in time");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::vector<std::string> viewer;
  std::istringstream words(a.options.count("viewer") ? a.options.at("viewer") : s.viewer);
  for (std::string w; words >> w;) {
    for (auto [from, to] : {std::pair<std::string, std::string>{
                                "{passwd}", (link.dir().path() / "vnc.passwd").string()},
                            {"{address}", "localhost::" + std::to_string(local)},
                            {"{port}", std::to_string(local)}})
      if (auto at = w.find(from); at != std::string::npos) w.replace(at, from.size(), to);
    viewer.push_back(w);
  }
  if (viewer.empty()) throw Failure("no viewer");
  Child view(viewer);
  int status = view.wait();
  return status;
}

int usage() {
  std::cerr << "usage: tovalo-support prepare [--relay NAME] [--minutes M] [--hours H]\n"
               "       tovalo-support list [--relay NAME]\n"
               "       tovalo-support connect CODE [--viewer 'COMMAND {passwd} {address}']\n"
               "       tovalo-support end CODE\n"
               "       tovalo-support reports [--relay NAME] [N]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string what = argv[1];
  try {
    Args a = parseArgs(argc, argv, 2);
    ConsoleSettings s = loadSettings();
    if (what == "prepare") return prepare(s, a);
    if (what == "list") return list(s, a);
    if (what == "connect") return connect(s, a);
    if (what == "end") return end(s, a);
    if (what == "reports") return reports(s, a);
    return usage();
  } catch (const std::exception& e) {
    std::cerr << "tovalo-support: " << e.what() << "\n";
    return 1;
  }
}

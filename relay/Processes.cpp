#include "relay/Processes.h"

#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>

#include "relay/RelayConfig.h"

namespace tvl::relay {

namespace {

// Field 22 of /proc/PID/stat, after the command name in parentheses (which may hold
// anything, so the last ')' is where the fields begin).
std::optional<unsigned long long> startTime(pid_t pid) {
  auto stat = readSmallFile("/proc/" + std::to_string(pid) + "/stat", 4096);
  if (!stat) return std::nullopt;
  auto close = stat->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat->substr(close + 2));
  std::string field;
  // Fields 3..22: state is the first after the name.
  for (int i = 3; i <= 22; ++i)
    if (!(fields >> field)) return std::nullopt;
  unsigned long long v = 0;
  auto [p, ec] = std::from_chars(field.data(), field.data() + field.size(), v);
  if (ec != std::errc()) return std::nullopt;
  return v;
}

std::optional<uid_t> realUid(pid_t pid) {
  auto status = readSmallFile("/proc/" + std::to_string(pid) + "/status", 8192);
  if (!status) return std::nullopt;
  auto at = status->find("\nUid:");
  if (at == std::string::npos) return std::nullopt;
  std::istringstream in(status->substr(at + 5));
  long uid = -1;
  if (!(in >> uid) || uid < 0) return std::nullopt;
  return static_cast<uid_t>(uid);
}

}  // namespace

void parseTcpTable(std::string_view text, PortUse& use) {
  std::istringstream in{std::string(text)};
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string slot, local, remote, state;
    if (!(f >> slot >> local >> remote >> state)) continue;
    auto colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    int port = 0;
    auto [p, ec] = std::from_chars(local.data() + colon + 1, local.data() + local.size(), port, 16);
    if (ec != std::errc() || port <= 0 || port > 65535) continue;
    if (state == "0A") use.listening.insert(port);
    if (state == "01") ++use.established[port];
  }
}

PortUse currentPortUse() {
  PortUse use;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"})
    if (auto text = readSmallFile(table, 64 << 20)) parseTcpTable(*text, use);
  return use;
}

std::optional<std::string> processStamp(pid_t pid) {
  auto start = startTime(pid);
  if (!start) return std::nullopt;
  return std::to_string(pid) + ":" + std::to_string(*start);
}

int endConnections(std::string_view monitors) {
  int signalled = 0;
  std::istringstream in{std::string(monitors)};
  for (std::string stamp; in >> stamp;) {
    auto colon = stamp.find(':');
    pid_t monitor = 0;
    if (colon == std::string::npos ||
        std::from_chars(stamp.data(), stamp.data() + colon, monitor).ec != std::errc() ||
        monitor <= 1 || processStamp(monitor) != stamp)
      continue;
    const std::string self = std::to_string(monitor);
    auto children = readSmallFile("/proc/" + self + "/task/" + self + "/children", 1 << 16);
    if (!children) continue;
    std::istringstream kids(*children);
    for (pid_t child = 0; kids >> child;) {
      // Only our own user's processes: sshd's unprivileged half, never the monitor itself or
      // anything of another account.
      if (realUid(child) != ::getuid()) continue;
      if (::kill(child, SIGTERM) == 0) ++signalled;
    }
  }
  return signalled;
}

}  // namespace tvl::relay

#include "relay/RelayConfig.h"

#include <charconv>
#include <fstream>
#include <map>
#include <sstream>

namespace tvl::relay {

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

bool validName(std::string_view name) {
  if (name.empty() || name.size() > 32) return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-'))
      return false;
  return true;
}

ConfigResult parseRelayConfig(std::string_view text) {
  ConfigResult r;
  RelayLimits& l = r.limits;
  struct Field {
    int* value;
    int min, max;
  };
  const std::map<std::string_view, Field> fields = {
      {"first-port", {&l.firstPort, 1024, 65535}},
      {"last-port", {&l.lastPort, 1024, 65535}},
      {"max-sessions", {&l.maxSessions, 1, 20000}},
      {"registrations-per-minute", {&l.registrationsPerMinute, 1, 100000}},
      {"registration-burst", {&l.registrationBurst, 1, 100000}},
      {"max-minutes", {&l.maxMinutes, 1, 24 * 60}},
      {"connect-within", {&l.connectWithin, 10, 3600}},
      {"max-link-hours", {&l.maxLinkHours, 1, 24 * 30}},
      {"reconnect-within", {&l.reconnectWithin, 0, 3600}},
      {"report-bytes", {&l.reportBytes, 256, 1 << 20}},
      {"reports-kept", {&l.reportsKept, 0, 100000}},
  };
  std::istringstream in{std::string(text)};
  int number = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++number;
    std::string_view line = trimBlanks(raw);
    if (line.empty() || line.front() == '#') continue;
    auto eq = line.find('=');
    std::string_view name = trimBlanks(line.substr(0, eq));
    auto field = fields.find(name);
    int value = 0;
    std::string_view v = eq == std::string_view::npos ? "" : trimBlanks(line.substr(eq + 1));
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
    if (field == fields.end() || v.empty() || ec != std::errc() || end != v.data() + v.size() ||
        value < field->second.min || value > field->second.max) {
      r.error = "line " + std::to_string(number) + ": " + std::string(line);
      return r;
    }
    *field->second.value = value;
  }
  if (l.firstPort > l.lastPort) r.error = "first-port is above last-port";
  return r;
}

std::string reservedPortsAfter(std::string_view current, std::string_view previous,
                               std::string_view ours) {
  std::string list, text(current);
  std::erase(text, '\n');
  std::istringstream in{text};
  for (std::string entry; std::getline(in, entry, ',');) {
    std::string_view e = trimBlanks(entry);
    if (e.empty() || e == previous || e == ours) continue;
    list.append(e).push_back(',');
  }
  return list.append(ours);
}

std::vector<NamedKey> parseKeyList(std::string_view text) {
  std::vector<NamedKey> keys;
  std::istringstream in{std::string(text)};
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string name, type, b64;
    if (!(words >> name >> type >> b64) || !validName(name)) continue;
    keys.push_back({name, type + " " + b64});
  }
  return keys;
}

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  char buf[16384];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, static_cast<std::size_t>(in.gcount()));
    if (text.size() > limit) return std::nullopt;
  }
  if (in.bad()) return std::nullopt;
  return text;
}

}  // namespace tvl::relay

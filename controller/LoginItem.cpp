#include "controller/LoginItem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/system/Files.h"
#include "platform/system/Paths.h"

namespace tvl::loginitem {

namespace {

// The user's entry in lines; false when there is none (or it can't be read).
bool readLines(const std::string& path, std::vector<std::string>* lines) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) lines->push_back(line);
  return true;
}

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

// The key of a "Key=value" line (without a locale suffix it is the whole key), or "".
std::string keyOf(const std::string& line, std::string* value = nullptr) {
  size_t eq = line.find('=');
  if (eq == std::string::npos || line.starts_with("#") || line.starts_with("[")) return "";
  if (value) *value = trim(line.substr(eq + 1));
  return trim(line.substr(0, eq));
}

bool turnsOff(const std::string& key, const std::string& value) {
  return (key == "Hidden" && value == "true") ||
         (key == "X-GNOME-Autostart-enabled" && value == "false");
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (auto& l : lines) text += l + "\n";
  return text;
}

// The small entry written when the user has none: enough for the desktop's rule.
constexpr char kOverride[] =
    "[Desktop Entry]\n"
    "Type=Application\n"
    "Name=Mac Tovalo status menu\n"
    "Hidden=true\n";

}  // namespace

std::string userAutostartFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return std::string(config) + "/autostart";
  return tvl::system::homeFolder() + "/.config/autostart";
}

bool startsAtLogin(const std::string& folder) {
  std::vector<std::string> lines;
  if (!readLines(folder + "/" + kAutostartEntryName, &lines)) return true;
  bool inMainGroup = false;
  for (const std::string& line : lines) {
    std::string t = trim(line);
    if (t.starts_with("[")) inMainGroup = t == "[Desktop Entry]";
    std::string value;
    if (inMainGroup && turnsOff(keyOf(line, &value), value)) return false;
  }
  return true;
}

int setStartsAtLogin(bool on, const std::string& folder) {
  const std::string path = folder + "/" + kAutostartEntryName;
  std::vector<std::string> lines;
  const bool exists = readLines(path, &lines);
  if (on && !exists) return 0;
  if (!on && !exists) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) return ec.value();
    return tvl::system::writeFileAtomically(path, kOverride);
  }

  std::vector<std::string> kept;
  bool hasExec = false;
  bool inMainGroup = false;
  size_t mainEnd = 0;
  for (const std::string& line : lines) {
    std::string t = trim(line);
    if (t.starts_with("[")) inMainGroup = t == "[Desktop Entry]";
    std::string value;
    std::string key = inMainGroup ? keyOf(line, &value) : "";
    if (key == "Exec") hasExec = true;
    // Both ways, the lines that turn it off go; off then adds its own.
    if (key == "Hidden" || turnsOff(key, value)) continue;
    kept.push_back(line);
    if (inMainGroup) mainEnd = kept.size();
  }
  if (on && !hasExec) {
    // Our own small entry: without it the installed one applies again.
    return std::remove(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
  }
  if (!on) {
    if (mainEnd == 0) return EINVAL;  // no [Desktop Entry] group: not an entry to amend
    kept.insert(kept.begin() + static_cast<std::ptrdiff_t>(mainEnd), "Hidden=true");
  }
  return tvl::system::writeFileAtomically(path, joined(kept));
}

}  // namespace tvl::loginitem

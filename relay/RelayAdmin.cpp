#include "relay/RelayAdmin.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <vector>

#include "relay/PublicKey.h"
#include "relay/RelayConfig.h"

namespace tvl::relay {

namespace {

const std::set<std::string_view> kKeyTypes = {"ssh-ed25519",
                                              "ecdsa-sha2-nistp256",
                                              "ecdsa-sha2-nistp384",
                                              "ecdsa-sha2-nistp521",
                                              "ssh-rsa",
                                              "sk-ssh-ed25519@openssh.com",
                                              "sk-ecdsa-sha2-nistp256@openssh.com"};

std::string listPath(const std::string& list) {
  return std::string(kConfigDir) + "/" + list;
}

// Writes the file anew beside the old one (0644) and renames it into place: sshd's command
// and the boot's sysctl never read half a file.
void replaceFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    if (!(out << text).flush()) throw std::runtime_error("cannot write " + temporary);
  }
  ::chmod(temporary.c_str(), 0644);
  std::filesystem::rename(temporary, path);
}

void writeList(const std::string& list, const std::vector<NamedKey>& keys) {
  std::string text = "# NAME TYPE KEY, written by tovalo-relay-admin\n";
  for (auto& k : keys) text += k.name + ' ' + k.key + '\n';
  replaceFile(listPath(list), text);
}

std::vector<NamedKey> readList(const std::string& list) {
  auto text = readSmallFile(listPath(list));
  return text ? parseKeyList(*text) : std::vector<NamedKey>{};
}

int addKey(const std::string& list, const std::string& name, const std::string& file) {
  if (!validName(name)) throw std::runtime_error("a name is 1 to 32 of a-z 0-9 . _ -");
  auto text = readSmallFile(file, 64 * 1024);
  if (!text) throw std::runtime_error("cannot read " + file);
  std::string key = adminKey(text->substr(0, text->find('\n')));
  if (key.empty()) throw std::runtime_error(file + " holds no public key");
  auto keys = readList(list);
  for (auto& k : keys)
    if (k.name == name || k.key == key)
      throw std::runtime_error(name + " or its key is in " + listPath(list) + " already");
  keys.push_back({name, key});
  writeList(list, keys);
  std::cout << "added " << name << " to " << listPath(list) << "\n";
  return 0;
}

int removeKey(const std::string& list, const std::string& name) {
  auto keys = readList(list);
  auto size = keys.size();
  std::erase_if(keys, [&](const NamedKey& k) { return k.name == name; });
  if (keys.size() == size) throw std::runtime_error(name + " is not in " + listPath(list));
  writeList(list, keys);
  std::cout << "removed " << name << " from " << listPath(list) << "\n";
  return 0;
}

int newOrganisationKey(const std::string& name, const std::string& dir) {
  if (!validName(name)) throw std::runtime_error("a name is 1 to 32 of a-z 0-9 . _ -");
  const std::string file = dir + "/" + name;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::execlp("ssh-keygen", "ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C",
             ("tovalo-organisation-" + name).c_str(), "-f", file.c_str(),
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status))
    throw std::runtime_error("ssh-keygen could not make " + file);
  addKey("organisation-keys", name, file + ".pub");
  std::cout << "the private key for customers' machines: " << file << "\n";
  return 0;
}

std::string hostKey() {
  auto text = readSmallFile("/etc/ssh/ssh_host_ed25519_key.pub", 4096);
  if (!text) throw std::runtime_error("this relay has no /etc/ssh/ssh_host_ed25519_key.pub");
  std::istringstream in(*text);
  std::string type, b64;
  in >> type >> b64;
  return type + " " + b64;
}

// The [relay] section of a settings file (desktop: relay.conf; console: support.conf).
int settings(bool desktop, int argc, char** argv) {
  if (argc < 3) throw std::runtime_error("which host name do customers reach this relay by?");
  std::string host = argv[2], port = "22", name;
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string opt = argv[i];
    if (opt == "--port")
      port = argv[i + 1];
    else if (opt == "--name")
      name = argv[i + 1];
    else
      throw std::runtime_error("unknown option " + opt);
  }
  if (!name.empty() && !validName(name)) throw std::runtime_error("invalid relay name");
  std::cout << "[relay" << (name.empty() ? "" : "." + name) << "]\n"
            << "host=" << host << "\nport=" << port
            << "\nuser=" << (desktop ? kCustomerAccount : kSupporterAccount)
            << "\nhostkey=" << hostKey() << "\n";
  if (desktop) std::cout << "identity=/etc/xdg/tovalo/session_key\n";
  return 0;
}

// Reserves relay.conf's port range from the kernel's outgoing ports, now and at every boot
// (a sysctl.d file that also records the range, so that a changed range replaces the old).
int reservePorts() {
  const std::string conf = std::string(kConfigDir) + "/relay.conf";
  auto text = readSmallFile(conf);
  ConfigResult config = text ? parseRelayConfig(*text) : ConfigResult{};
  if (!config.error.empty()) throw std::runtime_error(conf + ": " + config.error);
  const std::string ours =
      std::to_string(config.limits.firstPort) + "-" + std::to_string(config.limits.lastPort);
  const std::string marker = "# tovalo-relay reserves ";
  std::string previous;
  if (auto old = readSmallFile(kReservedPortsFile, 64 * 1024)) {
    std::istringstream lines(*old);
    for (std::string line; std::getline(lines, line);)
      if (line.starts_with(marker)) previous = line.substr(marker.size());
  }
  const char* proc = "/proc/sys/net/ipv4/ip_local_reserved_ports";
  auto current = readSmallFile(proc, 1 << 16);
  if (!current) throw std::runtime_error(std::string("cannot read ") + proc);
  const std::string wanted = reservedPortsAfter(*current, previous, ours);
  {
    std::ofstream out(proc);
    if (!(out << wanted << '\n').flush())
      throw std::runtime_error(std::string("the kernel refused ") + wanted + " in " + proc);
  }
  // The comment line says which range is ours, for the next run.
  replaceFile(kReservedPortsFile, "# Written by tovalo-relay-admin reserve-ports from " + conf +
                                      "\n" + marker + ours +
                                      "\nnet.ipv4.ip_local_reserved_ports = " + wanted + "\n");
  std::cout << "reserved ports " << ours << " (" << kReservedPortsFile << ")\n";
  return 0;
}

int usage() {
  std::cerr << "usage: tovalo-relay-admin\n"
               "  add-supporter NAME PUBLIC-KEY-FILE | remove-supporter NAME\n"
               "  new-organisation-key NAME FOLDER | add-organisation-key NAME PUBLIC-KEY-FILE |"
               " remove-organisation-key NAME\n"
               "  desktop-settings HOST [--port P] [--name RELAY] |"
               " console-settings HOST [--port P] [--name RELAY]\n"
               "  reserve-ports\n";
  return 2;
}

}  // namespace

std::string adminKey(std::string_view line) {
  std::istringstream in{std::string(line)};
  std::string type, b64;
  if (!(in >> type >> b64) || !kKeyTypes.count(type)) return "";
  auto blob = decodeBase64(b64);
  if (!blob || blob->size() < 4 + type.size() || blob->substr(4, type.size()) != type) return "";
  return type + " " + b64;
}

int adminMain(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "";
  if (what == "add-supporter" && argc == 4) return addKey("supporters", argv[2], argv[3]);
  if (what == "remove-supporter" && argc == 3) return removeKey("supporters", argv[2]);
  if (what == "add-organisation-key" && argc == 4)
    return addKey("organisation-keys", argv[2], argv[3]);
  if (what == "remove-organisation-key" && argc == 3)
    return removeKey("organisation-keys", argv[2]);
  if (what == "new-organisation-key" && argc == 4) return newOrganisationKey(argv[2], argv[3]);
  if (what == "desktop-settings") return settings(true, argc, argv);
  if (what == "console-settings") return settings(false, argc, argv);
  if (what == "reserve-ports" && argc == 2) return reservePorts();
  return usage();
}

}  // namespace tvl::relay

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

// Writes the list anew beside the old one and renames it into place: sshd's command never
// reads half a file.
void writeList(const std::string& list, const std::vector<NamedKey>& keys) {
  const std::string path = listPath(list), temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << "# NAME TYPE KEY, written by tovalo-relay-admin\n";
    for (auto& k : keys) out << k.name << ' ' << k.key << '\n';
    if (!out.flush()) throw std::runtime_error("cannot write " + temporary);
  }
  ::chmod(temporary.c_str(), 0644);
  std::filesystem::rename(temporary, path);
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

int usage() {
  std::cerr << "usage: tovalo-relay-admin\n"
               "  add-supporter NAME PUBLIC-KEY-FILE | remove-supporter NAME\n"
               "  new-organisation-key NAME FOLDER | add-organisation-key NAME PUBLIC-KEY-FILE |"
               " remove-organisation-key NAME\n"
               "  desktop-settings HOST [--port P] [--name RELAY] |"
               " console-settings HOST [--port P] [--name RELAY]\n";
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
  return usage();
}

}  // namespace tvl::relay

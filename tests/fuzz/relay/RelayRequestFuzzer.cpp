// libFuzzer target: what customers' machines and supporters can hand the relay through sshd
// (the key sshd asks about, a forced command's words and its input), against one store that
// lives across inputs. Whatever arrives, the relay must answer or refuse in words, never
// crash, leak or hang; the line it gives sshd must be one line that names a key it knows;
// and a problem report must reach a supporter's terminal without control characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "relay/Relay.h"

using namespace tvl::relay;

namespace {

const std::string kOrganisationKey =
    "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIMPgRpJ4ZK0ovn1duMLxBf8qEwbvLEqV/o/4kZR6wQHj";
const std::string kSupporterKey =
    "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAINcKxYP7OLfko73+0Q59DpP0piZID8Ls6j6chqt5Yj4M";

std::unique_ptr<SessionStore> store;
int inputs = 0;

Relay relayWith(SessionStore& s) {
  Relay r{s};
  r.limits.registrationBurst = 100000;
  r.limits.registrationsPerMinute = 100000;
  r.limits.maxSessions = 64;
  r.organisationKeys = {{"acme", kOrganisationKey}};
  r.supporters = {{"alice", kSupporterKey}};
  r.program = "/usr/lib/tovalo-relay/tovalo-relay";
  r.now = 1'800'000'000 + inputs;
  return r;
}

bool knownKey(Relay& r, const std::string& key) {
  return key == kOrganisationKey || key == kSupporterKey || r.store.usableByKey(key, r.now);
}

void checkNoControlCharacters(const std::string& text) {
  for (unsigned char c : text)
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) std::abort();
}

}  // namespace

// The input: a selector byte, then a first line (the command, or "TYPE BASE64" for the keys
// command) and the rest (the command's input).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // A fresh store now and then: a full relay refuses everything and tests nothing more.
  if (!store || ++inputs % 512 == 0) store = std::make_unique<SessionStore>(":memory:");
  Relay r = relayWith(*store);
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto newline = text.find('\n');
  const std::string_view first = text.substr(0, newline);
  const std::string_view rest = newline == std::string_view::npos ? "" : text.substr(newline + 1);
  PortUse ports;
  try {
    switch (data[0] % 4) {
      case 0: {
        const auto space = first.find(' ');
        const std::string_view type = first.substr(0, space);
        const std::string_view base64 =
            space == std::string_view::npos ? "" : first.substr(space + 1);
        const std::string key = std::string(type) + " " + std::string(base64);
        for (const char* user : {kCustomerAccount, kSupporterAccount}) {
          const std::string line = authorizedKeys(r, user, type, base64, "1:1");
          if (line.empty()) continue;
          if (line.find('\n') != line.size() - 1 || !line.ends_with(" " + key + "\n") ||
              !knownKey(r, key))
            std::abort();
        }
        break;
      }
      case 1: {
        const std::string answer = registration(r, "acme", first, rest, ports);
        if (answer.starts_with("port=")) {
          const int port = std::atoi(answer.c_str() + 5);
          if (port < r.limits.firstPort || port > r.limits.lastPort) std::abort();
        }
        // Whatever a report held, supporters read it without control characters.
        checkNoControlCharacters(supportCommand(r, "alice", "reports 1", "", ports));
        break;
      }
      case 2:
        supportCommand(r, "alice", first, rest, ports);
        break;
      case 3:
        sessionCommand(r, r.limits.firstPort + int(size % 1000), first);
        break;
    }
  } catch (const Refused&) {
  }
  return 0;
}

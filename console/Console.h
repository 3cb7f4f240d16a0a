// The supporter's console (tovalo-support): its settings, the session codes and links it
// reads and makes, and the credentials of a link. The commands themselves are in main.cpp.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvl::console {

// One relay of the organisation, as the console reaches it: ssh with the supporter's own key.
struct RelayEntry {
  std::string name;  // "" for the [relay] section, NAME for [relay.NAME]
  std::string host;
  int port = 22;
  std::string user = "tvlsupport";
  std::string hostKey;   // "type base64", pinned
  std::string identity;  // the supporter's private key; "" for ssh's own defaults
  int connectTimeout = 10;
};

struct ConsoleSettings {
  std::vector<RelayEntry> relays;
  // The viewer: words, of which {passwd} is the password file and {address} the local
  // "localhost::PORT". TigerVNC's by default.
  std::string viewer = "vncviewer -passwd {passwd} {address}";
};

struct SettingsResult {
  ConsoleSettings settings;
  std::string error;
};
// The INI text of support.conf. Every value ends up in an ssh configuration, so a value
// that could add a line or an option there is refused, not cleaned.
SettingsResult parseSettings(std::string_view text);
// support.conf under $XDG_CONFIG_HOME (~/.config), then under $XDG_CONFIG_DIRS (/etc/xdg).
std::string settingsPath();

// What a supporter types for connect: "[RELAY-]PORT[-SECRET]": a session started at the
// desktop carries its VNC password; one of our own links does not (the console keeps it).
struct SessionCode {
  std::string relay;
  int port = 0;
  std::string secret;
};
std::optional<SessionCode> parseSessionCode(std::string_view code);

// A link's one-time credential: a NIST P-256 key pair made here. The relay gets the public
// half; the link carries the private scalar, which the user's machine turns into a key ssh
// reads, and the session's VNC password beside it.
struct LinkCredential {
  std::string publicKey;  // "ecdsa-sha2-nistp256 BASE64"
  std::string scalar;     // 32 bytes
};
LinkCredential makeLinkCredential();
// The link's secret field: "[RELAY.]PASSWORD.KEY", KEY the scalar in base64url.
std::string linkSecret(const std::string& relay, const std::string& password,
                       const std::string& scalar);

// 8 characters from an alphabet without look-alikes: all that VNC authentication reads.
std::string makeVncPassword();
// The 8 bytes of a VNC password file (what vncpasswd -f writes): the password, padded with
// zeros to 8, DES-encrypted under VNC's fixed key.
std::string vncPasswordFile(std::string_view password);

// Control characters (other than newline and tab) shown as '?': what a relay relays from
// customers' machines never drives the supporter's terminal.
std::string printable(std::string_view text);

}  // namespace tvl::console

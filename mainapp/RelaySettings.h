// The support organisation's settings for sessions: which relay (a stock OpenSSH server)
// the tunnel goes to, as which account, and the relay's host key that is trusted. The
// organisation installs a system file; a user's own file overrides it key by key.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace tvl::mainapp {

inline constexpr char kRelaySettingsFile[] = "tovalo/relay.conf";

struct RelaySettings {
  QString host;             // name or address of the relay
  int port = 22;            // its SSH port
  QString user;             // the restricted account sessions use
  QString hostKey;          // "type base64", the relay's public host key
  QString identity;         // private key for sessions started here (file path), optional
  int connectTimeout = 10;  // seconds for the TCP connection and the SSH handshake
  QString name{};           // "" for [relay], NAME for [relay.NAME]: session codes name it
  // "login": register (the default) asks the relay's registration command for a port with
  // the identity and logs in with a key of the session's own; forward logs in with the
  // identity itself, on a relay set up by hand without the relay package.
  bool registers = true;
};

struct RelaySettingsResult {
  RelaySettings settings;
  QString error;  // empty when the settings are usable
};

// The files read, lowest priority first: every "tovalo/relay.conf" under the XDG config
// folders ($XDG_CONFIG_DIRS, default /etc/xdg; the first listed wins), then the one under
// $XDG_CONFIG_HOME (default ~/.config).
QStringList relaySettingsFiles();

// Reads and checks the settings. Every value ends up in an ssh configuration file, so a
// value that could add a line or an option there is refused, not cleaned.
RelaySettingsResult loadRelaySettings(const QStringList& files = relaySettingsFiles());

struct RelayListResult {
  QList<RelaySettings> relays;  // [relay] first, then [relay.NAME] sections by name
  QString error;                // the first section's error, or none found
};
// Every relay of the organisation: the sections [relay] and [relay.NAME] (NAME: a-z then
// up to 15 of a-z, 0-9), each read and checked as loadRelaySettings reads [relay]. A
// session goes to the first that answers.
RelayListResult loadRelayList(const QStringList& files = relaySettingsFiles());

}  // namespace tvl::mainapp

// What the user's side makes of the organisation's side's answers: a link's one-time
// credential, a registration's grant, and the session code that names the relay.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace tvl::mainapp {

struct LinkCredential {
  QString relay;          // the relay's name ("" for [relay])
  QString password;       // the session's VNC password
  QByteArray privateKey;  // PEM (PKCS#8, P-256): the link's key for ssh
};
// A link's secret "[RELAY.]PASSWORD.KEY": KEY the P-256 private scalar in base64url (43
// characters). nullopt for anything else.
std::optional<LinkCredential> parseLinkSecret(const QString& secret);

// The relay's grant "port=P connect-by=T minutes=M": the port, or 0 when there is none.
int grantedPort(const QByteArray& answer);

// What the user reads out: "[RELAY-]PORT-SECRET".
QString sessionCodeFor(const QString& relay, int port, const QString& secret);

}  // namespace tvl::mainapp

// The session's tunnel: the OpenSSH client, logged in to the organisation's relay,
// forwarding a port on the relay's loopback interface to the session's socket. How it logs
// in is data handed to it (TunnelLogin: which relays, with which credential, which port),
// so that another way of logging in is another TunnelLogin, not another session.
//
// Every file it needs is in the session's 0700 folder: ssh's whole configuration
// (`ssh -F`, no other file is read), the relays' pinned host keys, the key or the
// password and the script that hands the password to ssh. No secret is on a command
// line or in an environment.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <memory>
#include <vector>

#include "mainapp/RelaySettings.h"
#include "mainapp/session/SessionProblem.h"
#include "platform/ui/Timer.h"

namespace tvl::mainapp {
class RelayRequest;
}

namespace tvl::session {

struct RelayEndpoint {
  QString host;             // name or address
  int port = 22;            // its SSH port
  QString user;             // the restricted account
  QString hostKey;          // "type base64", the only key trusted for it
  int connectTimeout = 10;  // seconds for the TCP connection and the SSH handshake
};

struct Credential {
  enum class Kind {
    Key,       // a private key (secret: the key file's bytes)
    Password,  // the account's password for this session (secret: the password)
  };
  Kind kind = Kind::Key;
  QByteArray secret;
};

struct TunnelLogin {
  std::vector<RelayEndpoint> relays;  // tried in this order until one answers
  Credential credential;
  int port = 0;  // the relay port asked for; 0: the relay picks one
  // Registration first (a session started here, on relays with the relay package): a fresh
  // Ed25519 key of the session's own is registered with the organisation's key (each
  // relay's identity, in the same order as relays) for `minutes`, and the port the relay
  // grants is forwarded with that key. credential is then unused.
  bool registerFirst = false;
  QList<mainapp::RelaySettings> organisation;
  int minutes = 30;
  // The credential is the session's own on a relay with the relay package (a registered
  // key, a link's key): the relay refuses it once the session ended there, and `end` with
  // it ends the session there.
  bool sessionCredential = false;
};

// Why a tunnel ended, from ssh's own words.
enum class TunnelFailure {
  None,
  HostKey,              // the relay showed another host key (or none is known)
  CredentialRefused,    // the relay refused the key or the password
  RegistrationRefused,  // the relay's registration command said no (detail(): its words)
  PortRefused,          // the relay refused to listen on the port
  Unreachable,          // no connection to the relay
  NoAnswer,             // logged in or not, no port within the deadline
  Lost,                 // the connection to the relay went away
  ClosedByRelay,        // the relay closed the connection (it ended the session, or restarted)
  Other,                // ssh ended without saying why
};

struct TunnelEvent {
  enum class Kind {
    None,           // debug chatter, or nothing the session needs
    LoggedIn,       // the relay accepted the credential
    PortAllocated,  // the relay picked port
    Forwarded,      // the relay listens on the port asked for (port)
    Failure,        // failure says what went wrong
  };
  TunnelEvent(Kind k = Kind::None, int port = 0, TunnelFailure failure = TunnelFailure::None)
      : kind(k), port(port), failure(failure) {}

  Kind kind;
  int port;
  TunnelFailure failure;

  bool operator==(const TunnelEvent&) const = default;
};

// One line of ssh's standard error (at LogLevel DEBUG1).
TunnelEvent parseSshLine(QStringView line);

// Whether a failure may pass by itself: a relay out of reach or a connection lost may come
// back; another host key or a refused credential will not. A refused port is the session's
// own port still held on the relay for the lost connection while reconnecting, but a
// port taken by someone else at the first connection.
bool isWorthRetrying(TunnelFailure failure, bool reconnecting);

// ssh's configuration for the login; every value in it was checked when the settings
// were read (RelaySettings), so none brings in another line or option.
QString tunnelConfiguration(const TunnelLogin& login, const QString& folder);
// The name ssh knows relay i by (its Host block and its line in known_hosts).
QString relayAlias(size_t i);

class Tunnel : public QObject {
  Q_OBJECT
 public:
  explicit Tunnel(ui::TimerScheduler& clock, QObject* parent = nullptr);
  ~Tunnel() override;

  // Writes the tunnel's files into the session's folder; false with the problem.
  bool prepare(const QString& folder, const QString& socket, TunnelLogin login, EndCause* problem);
  // Starts ssh for the port (0: the relay picks), relay after relay in the login's order
  // while one is out of reach. With registerFirst, the first open registers the session
  // first (the relay that grants the port is the session's from then on); later opens, to
  // reconnect, go to that relay and port with the same key. opened() follows once the relay
  // listens, failed() when ssh ends or the port is not open within two connect timeouts and ten
  // seconds.
  bool open(int port, EndCause* problem);
  // Ends ssh (SIGTERM, SIGKILL after 2 s); safe to call twice; no signal follows.
  void close();
  // Ends the session on the relay too: `end` with the session's own credential, from a
  // process of its own that outlives the session's folder. Only for a session credential.
  void endOnRelay();

  bool isOpen() const { return open_; }
  int port() const { return port_; }
  qint64 processId() const;
  // Whether the relay accepted the credential at the last attempt.
  bool loggedIn() const { return loggedIn_; }
  bool hasSessionCredential() const { return login_.sessionCredential; }
  // The name of the relay that serves the session ("" for [relay]).
  QString relayName() const;
  // ssh's last lines that are not debug output, newest last.
  const QStringList& lastLines() const { return lines_; }
  // The relay's words for a RegistrationRefused.
  QString detail() const { return detail_; }

 signals:
  void opened(int port);
  void failed(tvl::session::TunnelFailure failure);

 private:
  bool attempt(size_t relay, EndCause* problem);
  bool registerSession(EndCause* problem);
  void readLines();
  void ended();
  void fail(TunnelFailure failure);

  ui::TimerScheduler& clock_;
  QString folder_, socket_;
  TunnelLogin login_;
  std::unique_ptr<QProcess> ssh_;
  std::unique_ptr<ui::Timer> deadline_;
  size_t relay_ = 0;
  int askedPort_ = 0, port_ = 0;
  bool open_ = false, loggedIn_ = false;
  TunnelFailure failure_ = TunnelFailure::None;  // the last one ssh named
  bool registered_ = false, wasOpen_ = false;
  QString detail_;
  QStringList lines_;
  std::unique_ptr<mainapp::RelayRequest> registration_;
};

}  // namespace tvl::session

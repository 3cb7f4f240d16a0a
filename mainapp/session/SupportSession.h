// One support session: the coordinator of the VNC server "OSXvncserver" (a SharingServer
// of the desktop's route), reachable only through a Unix socket in a private folder and
// only with the session's password, and the tunnel (Tunnel) from that socket to a port on
// the organisation's relay. Nothing on this machine listens for the outside. Secrets
// travel in files of a 0700 folder, never on a command line or in an environment.
//
// Its states and the changes between them are one table (SessionState.h); every change
// goes through setState, which refuses and logs one that is not in the table.
#pragma once

#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <optional>

#include "mainapp/LinkCredential.h"
#include "mainapp/RelaySettings.h"
#include "mainapp/session/ServerEvent.h"
#include "mainapp/session/SessionProblem.h"
#include "mainapp/session/SessionState.h"
#include "mainapp/session/SharingServer.h"
#include "mainapp/session/Tunnel.h"
#include "platform/ui/Timer.h"

namespace tvl::session {

class RfbGate;

// A secret for a session started here: 8 characters (all that VNC authentication reads)
// from an alphabet without look-alikes, from the system's random source.
QString generateSessionSecret();

// The preferences' "maxtime" as a session length in minutes: a positive number, rounded to
// whole minutes (at least one, a week at most); anything else reads as 30.
int sessionLengthMinutes(const QString& maxtime);

// After the connection to the relay was lost: the wait before attempt n (from 0), in
// seconds: 1, 2, 4, then 8 each time, plus up to half a second so that the users of a
// relay that restarted do not all come back in the same instant.
double reconnectDelaySeconds(int attempt, double jitter);
// How long a lost connection is tried again before the session ends, in seconds.
inline constexpr double kReconnectBoundSeconds = 120;

class SupportSession : public QObject {
  Q_OBJECT
 public:
  struct Request {
    QString secret;     // the VNC password; the relay password when there is no key
    int relayPort = 0;  // 0: the relay picks one
    bool userInitiated = true;
    int lengthMinutes = 30;  // the session ends after this long, unless the user keeps it
  };

  // Timers on the real clock, or on the one given (which must outlive the session).
  explicit SupportSession(QObject* parent = nullptr);
  explicit SupportSession(ui::TimerScheduler& clock, QObject* parent = nullptr);
  ~SupportSession() override;

  // Starts the server and the tunnel. A session that cannot start ends at once (ended()).
  // relays: the organisation's, in the order they are tried (loadRelayList).
  void start(const QList<mainapp::RelaySettings>& relays, const Request& request);
  void start(const mainapp::RelaySettings& relay, const Request& request) {
    start(QList<mainapp::RelaySettings>{relay}, request);
  }
  // Ends the tunnel and the server and removes the private folder. Safe at any time.
  void stop(Problem why) { end({why, {}}); }
  // What this session's server can do about the clipboard (known once it started), and
  // sharing it both ways or not where the user may choose: off at every start.
  SharingServer::Clipboard clipboardControl() const;
  bool clipboardShared() const;
  void shareClipboard(bool on);
  // One minute before the session's length runs out (endingSoon), the user may keep
  // sharing: another whole length from now.
  void keepSharing();

  // Whether this desktop can be shared at all; why says why not, in words.
  static bool canShareThisDesktop(QString* why);

  State state() const { return state_; }
  // False once the desktop said the supporter may only see the screen (a portal desktop
  // whose user left remote interaction off).
  bool remoteControlAllowed() const { return !viewOnly_; }
  // The session's length runs out within a minute.
  bool endsSoon() const { return endsSoon_; }
  int lengthMinutes() const { return request_.lengthMinutes; }
  QString stateText() const;
  // What the user reads to the supporter: the relay port and, for a session started
  // here, its secret.
  QString sessionCode() const;
  int relayPort() const { return relayPort_; }
  int supporters() const { return supporters_; }
  const EndCause& endCause() const { return endCause_; }
  // The session's private folder while it runs.
  QString folder() const;
  // The session's own log lines and ssh's last words (not its debug output), newest last,
  // for a problem report; and the words such a report must never hold.
  const QStringList& recentLog() const { return log_; }
  QStringList secretWords() const;

 signals:
  void stateChanged();
  void supporterJoined();
  void supporterLeft();
  void ended(const QString& reason);
  // The desktop will not be shared (no way to share it, or its portal refused): besides
  // the ended reason, the user gets a notification with these words.
  void cannotShare(const QString& why);
  // The session's length runs out in a minute.
  void endingSoon();

 private:
  bool setState(State s);
  void note(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void end(const EndCause& cause);
  bool prepare(const QList<mainapp::RelaySettings>& relays, EndCause* problem);
  bool openTunnel(EndCause* problem);
  void onServerEvent(const ServerEvent& e);
  void onTunnelOpened(int port);
  void onTunnelFailed(TunnelFailure failure);
  void reconnectLater();
  void becomeReadyIfAllUp();
  void supportersLeftTo(int remaining);
  void scheduleLength();

  std::unique_ptr<ui::TimerScheduler> ownClock_;
  ui::TimerScheduler& clock_;
  State state_ = State::Idle;
  Request request_;
  EndCause endCause_;
  int relayPort_ = 0;
  int connectTimeout_ = 10;
  int supporters_ = 0;
  bool serving_ = false;
  bool viewOnly_ = false;
  bool endsSoon_ = false;
  bool clipboardShared_ = false;
  int reconnectAttempt_ = 0;
  // The relay's closing of the connection is being looked into: a login at once, which
  // the relay refuses when it ended the session.
  bool checkingEnd_ = false;
  QStringList log_;
  QString relayName_;                            // the relay that serves the session
  std::optional<mainapp::LinkCredential> link_;  // a link's key, for a link in that shape
  std::unique_ptr<QTemporaryDir> folder_;
  std::unique_ptr<SharingServer> server_;
  std::unique_ptr<RfbGate> gate_;
  std::unique_ptr<Tunnel> tunnel_;
  std::unique_ptr<ui::Timer> readyDeadline_, retry_, giveUp_, warning_, lengthEnd_;
};

}  // namespace tvl::session

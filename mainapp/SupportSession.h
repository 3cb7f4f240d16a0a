// One support session: the VNC server "OSXvncserver" on this desktop, reachable only
// through a Unix socket in a private folder and only with the session's password, and
// the OpenSSH client's tunnel from that socket to a port on the organisation's relay.
// Nothing on this machine listens for the outside. Secrets travel in files of a 0700
// folder, never on a command line or in an environment.
#pragma once

#include <QObject>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>
#include <vector>

#include "mainapp/RelaySettings.h"

class QFileSystemWatcher;

namespace tvl::mainapp {

inline constexpr char kVncServerName[] = "OSXvncserver";
// Part of every path the tunnel's command line names: how the desktop cover finds it.
inline constexpr char kTunnelMarker[] = ".tvl-tunnel";

// A secret for a session started here: 8 characters (all that VNC authentication reads)
// from an alphabet without look-alikes, from the system's random source.
QString generateSessionSecret();

// tvl-portal-vnc, the server of GNOME and KDE Wayland desktops: beside the main
// executable, else on the search path; empty when there is none.
QString portalServerPath();
// Where the desktop portal's restore token is kept (the folder is made, mode 0700).
QString portalRestoreTokenPath();

// What the tunnel's error output says went wrong, in words for the user.
QString describeTunnelFailure(const QString& errorOutput, bool userInitiated);

// The ssh client configuration of a session.
QString tunnelConfiguration(const RelaySettings& relay, const QString& folder, bool withKey);

class SupportSession : public QObject {
  Q_OBJECT
 public:
  enum class State { Idle, Connecting, Waiting, Connected, Ended };

  struct Request {
    QString secret;     // the VNC password; the relay password when there is no key
    int relayPort = 0;  // 0: the relay picks one
    bool userInitiated = true;
  };

  explicit SupportSession(QObject* parent = nullptr);
  ~SupportSession() override;

  // Starts the server and the tunnel. A session that cannot start ends at once (ended()).
  void start(const RelaySettings& relay, const Request& request);
  // Ends the tunnel and the server and removes the private folder; reason is what the
  // user reads.
  void stop(const QString& reason);

  // Whether this desktop can be shared at all; why says why not, in words.
  static bool canShareThisDesktop(QString* why);

  State state() const { return state_; }
  // False once the desktop said the supporter may only see the screen (a portal desktop
  // whose user left remote interaction off).
  bool remoteControlAllowed() const { return !viewOnly_; }
  QString stateText() const;
  // What the user reads to the supporter: the relay port and, for a session started
  // here, its secret.
  QString sessionCode() const;
  int relayPort() const { return relayPort_; }
  // Bound on the wait for the relay; the tunnel's own timeouts come first.
  int connectDeadlineMs() const;

 signals:
  void stateChanged();
  void supporterJoined();
  void supporterLeft();
  void ended(const QString& reason);
  // The desktop will not be shared (no way to share it, or its portal refused): besides
  // the ended reason, the user gets a notification with these words.
  void cannotShare(const QString& why);

 private:
  bool prepareFolder(const RelaySettings& relay, QString* error);
  bool startServer(QString* error);
  bool startX11Server(QString* error);
  // wlroots compositors: wayvnc (SupportSessionWayvnc.cpp).
  bool startWayvnc(QString* error);
  void readWayvncLog();
  // GNOME and KDE Wayland sessions: tvl-portal-vnc (SupportSessionPortal.cpp).
  bool startPortalServer(QString* error);
  void readPortalServerLog();
  // Starts the VNC server through the folder's "OSXvncserver" link; readLog reads the
  // given channel (standard output: both channels merged); its end ends the session.
  bool launchServer(const QStringList& arguments, QProcess::ProcessChannel log,
                    void (SupportSession::*readLog)(), QString* error);
  bool startTunnel(QString* error);
  void readServerLog();
  void supporterJoinedNow();
  void supportersLeftTo(int left);
  void readTunnelLog();
  void setState(State s);
  void fail(const QString& reason) { stop(reason); }

  State state_ = State::Idle;
  Request request_;
  RelaySettings relay_;
  QString endReason_;
  int relayPort_ = 0;
  int supporters_ = 0;
  std::unique_ptr<QTemporaryDir> folder_;
  std::unique_ptr<QProcess> server_;
  std::unique_ptr<QProcess> tunnel_;
  std::vector<std::unique_ptr<QProcess>> ended_;
  QString tunnelErrors_;
  QStringList wayvncPending_;   // connections before authentication, oldest first
  QSet<QString> wayvncJoined_;  // connections that passed it
  std::unique_ptr<QFileSystemWatcher> wayvncConfigWatch_;  // until wayvnc has read its file
  QTimer deadline_;
  // The portal's dialog waits for the user; the tunnel opens once the screen is shared.
  bool approvalPending_ = false;
  bool viewOnly_ = false;
  bool tunnelAfterServer_ = false;
};

}  // namespace tvl::mainapp

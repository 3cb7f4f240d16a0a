#include "mainapp/SupportSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>

#include "mainapp/Localized.h"
#include "platform/desktop/DesktopSession.h"
#include "platform/system/Log.h"

namespace tvl::mainapp {

namespace {

constexpr int kServerStopMs = 2000;
constexpr char kRelayAlias[] = "tvl-relay";

// Creates the file with the mode, refusing one that exists (or a link in its place).
bool writePrivateFile(const QString& path, const QByteArray& bytes, mode_t mode) {
  int fd = ::open(QFile::encodeName(path).constData(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return false;
  qsizetype done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0) {
      ::close(fd);
      return false;
    }
    done += n;
  }
  return ::fchmod(fd, mode) == 0 && ::close(fd) == 0;
}

QString quoted(const QString& path) {
  return '"' + path + '"';
}

void endProcess(QProcess* p) {
  if (!p || p->state() == QProcess::NotRunning) return;
  p->disconnect();
  p->terminate();
  if (!p->waitForFinished(kServerStopMs)) {
    p->kill();
    p->waitForFinished(kServerStopMs);
  }
}

}  // namespace

QString generateSessionSecret() {
  static const char kAlphabet[] = "abcdefghjkmnpqrstuvwxyz23456789";
  QString secret;
  for (int i = 0; i < 8; ++i)
    secret += QChar(kAlphabet[QRandomGenerator::system()->bounded(int(sizeof kAlphabet) - 1)]);
  return secret;
}

QString describeTunnelFailure(const QString& errors, bool userInitiated) {
  auto has = [&](const char* text) { return errors.contains(QLatin1String(text)); };
  if (has("REMOTE HOST IDENTIFICATION HAS CHANGED") || has("Host key verification failed") ||
      has("host key is known"))
    return localized(
        "The relay presented a host key other than the one your support "
        "organisation set up, so the connection was refused.");
  if (has("Permission denied"))
    return userInitiated ? localized("The relay did not accept this computer's session key.")
                         : localized(
                               "The relay refused the session's secret. Ask your "
                               "supporter for a new link.");
  if (has("remote port forwarding failed"))
    return localized("The relay refused to open the session's port.");
  if (has("Connection refused") || has("timed out") || has("Could not resolve") ||
      has("No route to host") || has("Network is unreachable"))
    return localized("The relay can't be reached.");
  if (has("not responding") || has("closed by remote host") || has("Connection closed") ||
      has("Broken pipe"))
    return localized("The connection to the relay was lost.");
  return localized("The tunnel to the relay ended.");
}

QString tunnelConfiguration(const RelaySettings& relay, const QString& folder, bool withKey) {
  QString c;
  c += "Host " + QString(kRelayAlias) + "\n";
  c += "  HostName " + relay.host + "\n";
  c += "  Port " + QString::number(relay.port) + "\n";
  c += "  User " + relay.user + "\n";
  // The relay is known by its pinned key alone, under a name of its own.
  c += "  HostKeyAlias " + QString(kRelayAlias) + "\n";
  c += "  UserKnownHostsFile " + quoted(folder + "/known_hosts") + "\n";
  c += "  GlobalKnownHostsFile /dev/null\n";
  c += "  StrictHostKeyChecking yes\n  UpdateHostKeys no\n  CheckHostIP no\n";
  c += "  ExitOnForwardFailure yes\n";
  c += "  ConnectTimeout " + QString::number(relay.connectTimeout) + "\n";
  c += "  ServerAliveInterval 5\n  ServerAliveCountMax 3\n";
  c += "  IdentitiesOnly yes\n  IdentityAgent none\n  ForwardAgent no\n  ForwardX11 no\n";
  c += "  ControlMaster no\n  ControlPath none\n  PermitLocalCommand no\n";
  c += "  KbdInteractiveAuthentication no\n";
  // Debug level 1 is where ssh says that a forwarding of a fixed port succeeded.
  c += "  LogLevel DEBUG1\n";
  if (withKey) {
    c += "  PubkeyAuthentication yes\n  PasswordAuthentication no\n  BatchMode yes\n";
    c += "  IdentityFile " + quoted(folder + "/id") + "\n";
  } else {
    c += "  PubkeyAuthentication no\n  PreferredAuthentications password\n";
    c += "  NumberOfPasswordPrompts 1\n";
  }
  return c;
}

SupportSession::SupportSession(QObject* parent) : QObject(parent) {
  deadline_.setSingleShot(true);
  connect(&deadline_, &QTimer::timeout, this,
          [this] { fail(localized("The relay did not answer in time.")); });
}

SupportSession::~SupportSession() {
  endProcess(tunnel_.get());
  endProcess(server_.get());
}

int SupportSession::connectDeadlineMs() const {
  return (2 * relay_.connectTimeout + 10) * 1000;
}

void SupportSession::setState(State s) {
  state_ = s;
  emit stateChanged();
}

QString SupportSession::stateText() const {
  switch (state_) {
    case State::Idle:
      return {};
    case State::Connecting:
      if (approvalPending_)
        return localized(
            "Your desktop asks whether to share your screen: choose Share in its dialog.");
      return localized("Connecting to the support relay…");
    case State::Waiting: {
      QString text =
          request_.userInitiated
              ? localized("Waiting for your supporter. Read them the session code below.")
              : localized("Waiting for your supporter to connect.");
      if (viewOnly_)
        text += " " + localized(
                          "Your desktop allowed no control: your supporter will only see "
                          "your screen.");
      return text;
    }
    case State::Connected:
      if (viewOnly_)
        return supporters_ > 1
                   ? localized(
                         "%1 supporters are connected and can see your screen; your desktop "
                         "allowed no control.")
                         .arg(supporters_)
                   : localized(
                         "Your supporter is connected and can see your screen; your desktop "
                         "allowed no control.");
      return supporters_ > 1
                 ? localized("%1 supporters are connected and can see and control your screen.")
                       .arg(supporters_)
                 : localized("Your supporter is connected and can see and control your screen.");
    case State::Ended:
      return localized("Sharing ended. %1").arg(endReason_);
  }
  return {};
}

QString SupportSession::sessionCode() const {
  if (relayPort_ == 0 || (state_ != State::Waiting && state_ != State::Connected)) return {};
  return request_.userInitiated ? QString("%1-%2").arg(relayPort_).arg(request_.secret)
                                : QString::number(relayPort_);
}

void SupportSession::start(const RelaySettings& relay, const Request& request) {
  if (state_ == State::Connecting || state_ == State::Waiting || state_ == State::Connected) return;
  ended_.clear();
  request_ = request;
  relay_ = relay;
  relayPort_ = request.relayPort;
  supporters_ = 0;
  tunnelErrors_.clear();
  approvalPending_ = tunnelAfterServer_ = viewOnly_ = false;
  setState(State::Connecting);
  QString error;
  if (!canShareThisDesktop(&error)) {
    // Nothing starts; a notification says so too, as for a desktop that refuses.
    emit cannotShare(error);
    fail(error);
    return;
  }
  if (!prepareFolder(relay, &error) || !startServer(&error) ||
      (!tunnelAfterServer_ && !startTunnel(&error))) {
    fail(error);
    return;
  }
  if (!tunnelAfterServer_) deadline_.start(connectDeadlineMs());
}

bool SupportSession::prepareFolder(const RelaySettings& relay, QString* error) {
  QString base = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (base.isEmpty() || !QFileInfo(base).isDir()) base = QDir::tempPath();
  // QTemporaryDir makes the folder 0700; it goes with the session.
  folder_ = std::make_unique<QTemporaryDir>(base + "/" + kTunnelMarker + "-XXXXXX");
  if (!folder_->isValid()) {
    *error = localized("A private folder for the session could not be made.");
    return false;
  }
  const QString dir = folder_->path();
  const bool withKey = request_.userInitiated;
  QByteArray identity;
  if (withKey) {
    if (relay.identity.isEmpty()) {
      *error =
          localized("Your support organisation's settings have no key for sessions started here.");
      return false;
    }
    QFile key(relay.identity);
    if (!key.open(QIODevice::ReadOnly) || (identity = key.read(64 * 1024)).isEmpty()) {
      *error = localized("The session key of your support organisation can't be read.");
      return false;
    }
  }
  const desktop::SharingRoute route = desktop::sharingRoute(desktop::currentSession());
  const bool portal = route == desktop::SharingRoute::Portal;
  const QString serverName = route == desktop::SharingRoute::Wayvnc ? "wayvnc" : "x11vnc";
  QString vncServer = portal ? portalServerPath() : QStandardPaths::findExecutable(serverName);
  bool ok =
      !vncServer.isEmpty() && QFile::link(vncServer, dir + "/" + kVncServerName) &&
      writePrivateFile(dir + "/config", tunnelConfiguration(relay, dir, withKey).toUtf8(), 0600) &&
      writePrivateFile(dir + "/known_hosts",
                       QString("%1 %2\n").arg(kRelayAlias, relay.hostKey).toUtf8(), 0600) &&
      // The server reads its password once and deletes the file ("rm:").
      writePrivateFile(dir + "/vnc.pw", request_.secret.toUtf8() + "\n", 0600);
  if (ok && withKey) ok = writePrivateFile(dir + "/id", identity, 0600);
  if (ok && !withKey)
    ok = writePrivateFile(dir + "/relay.pw", request_.secret.toUtf8() + "\n", 0600) &&
         writePrivateFile(dir + "/askpass", "#!/bin/sh\nexec cat \"$TVL_DIR/relay.pw\"\n", 0700);
  if (!ok)
    *error = !vncServer.isEmpty() ? localized("The session's files could not be written.")
             : portal
                 ? localized("The screen-sharing server (tvl-portal-vnc) is missing.")
                 : localized("The screen-sharing server (%1) is not installed.").arg(serverName);
  return ok;
}

bool SupportSession::canShareThisDesktop(QString* error) {
  const desktop::Session& session = desktop::currentSession();
  if (session.server != desktop::DisplayServer::Wayland ||
      desktop::sharingRoute(session) != desktop::SharingRoute::None)
    return true;
  // An X11 server beside it (Xwayland) would share a black screen: nothing pretends to.
  *error = localized(
      "This desktop can't be shared: its Wayland compositor offers no way to capture the "
      "screen.");
  return false;
}

bool SupportSession::startServer(QString* error) {
  switch (desktop::sharingRoute(desktop::currentSession())) {
    case desktop::SharingRoute::X11Server:
      return startX11Server(error);
    case desktop::SharingRoute::Wayvnc:
      return startWayvnc(error);
    case desktop::SharingRoute::Portal:
      return startPortalServer(error);
    case desktop::SharingRoute::None:
      break;
  }
  // No display at all (start() has refused a Wayland desktop without a route): the X11
  // server's own check says so in words.
  return startX11Server(error);
}

bool SupportSession::startX11Server(QString* error) {
  const QString display = qEnvironmentVariable("DISPLAY");
  if (display.isEmpty()) {
    *error = localized("This desktop can't be shared: there is no X display.");
    return false;
  }
  const QString dir = folder_->path();
  // A Unix socket in the 0700 folder and no TCP port at all (port 0 for IPv4, -1 for IPv6).
  return launchServer({"-display", display, "-unixsock", dir + "/vnc.sock", "-rfbport", "0",
                       "-rfbportv6", "-1", "-noipv6", "-passwdfile", "rm:" + dir + "/vnc.pw",
                       "-forever", "-shared", "-norc", "-nolookup"},
                      QProcess::StandardError, &SupportSession::readServerLog, error);
}

bool SupportSession::launchServer(const QStringList& arguments, QProcess::ProcessChannel log,
                                  void (SupportSession::*readLog)(), QString* error) {
  server_ = std::make_unique<QProcess>();
  // Through a link of that name: the cover and the controller know the server by it.
  server_->setProgram(folder_->path() + "/" + kVncServerName);
  server_->setArguments(arguments);
  server_->setStandardInputFile(QProcess::nullDevice());
  if (log == QProcess::StandardError)
    server_->setStandardOutputFile(QProcess::nullDevice());
  else
    server_->setProcessChannelMode(QProcess::MergedChannels);
  server_->setReadChannel(log);
  connect(server_.get(), &QProcess::readyRead, this, readLog);
  connect(server_.get(), &QProcess::finished, this, [this, readLog] {
    (this->*readLog)();  // its last words (a refusal, a supporter leaving) come first
    fail(localized("The screen-sharing server stopped."));
  });
  server_->start();
  if (!server_->waitForStarted()) {
    *error = localized("The screen-sharing server could not be started.");
    return false;
  }
  return true;
}

bool SupportSession::startTunnel(QString* error) {
  QString ssh = QStandardPaths::findExecutable("ssh");
  if (ssh.isEmpty()) {
    *error = localized("The OpenSSH client (ssh) is not installed.");
    return false;
  }
  const QString dir = folder_->path();
  tunnel_ = std::make_unique<QProcess>();
  tunnel_->setProgram(ssh);
  tunnel_->setArguments({"-F", dir + "/config", "-N", "-R",
                         QString("%1:%2/vnc.sock").arg(relayPort_).arg(dir), kRelayAlias});
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  if (!request_.userInitiated) {
    // The password comes from a file of the folder; the environment names only paths.
    env.insert("SSH_ASKPASS", dir + "/askpass");
    env.insert("SSH_ASKPASS_REQUIRE", "force");
    env.insert("TVL_DIR", dir);
  }
  tunnel_->setProcessEnvironment(env);
  tunnel_->setStandardInputFile(QProcess::nullDevice());
  tunnel_->setStandardOutputFile(QProcess::nullDevice());
  tunnel_->setReadChannel(QProcess::StandardError);
  connect(tunnel_.get(), &QProcess::readyReadStandardError, this, &SupportSession::readTunnelLog);
  connect(tunnel_.get(), &QProcess::finished, this, [this] {
    readTunnelLog();
    fail(describeTunnelFailure(tunnelErrors_, request_.userInitiated));
  });
  tunnel_->start();
  if (!tunnel_->waitForStarted()) {
    *error = localized("The tunnel to the relay could not be started.");
    return false;
  }
  return true;
}

void SupportSession::readServerLog() {
  static const QRegularExpression count(R"(client_count: (\d+))");
  while (server_ && server_->canReadLine()) {
    const QString line = QString::fromUtf8(server_->readLine());
    // A client that passed authentication gets its network settings; one that failed
    // never does. Leaving, the server says how many are left.
    if (line.contains("client_set_net:")) {
      supporterJoinedNow();
    } else if (auto m = count.match(line); m.hasMatch()) {
      supportersLeftTo(m.captured(1).toInt());
    }
  }
}

void SupportSession::supporterJoinedNow() {
  ++supporters_;
  if (state_ == State::Waiting || state_ == State::Connected) setState(State::Connected);
  emit supporterJoined();
}

void SupportSession::supportersLeftTo(int left) {
  while (supporters_ > left) {
    --supporters_;
    emit supporterLeft();
  }
  if (state_ == State::Connected && supporters_ == 0) setState(State::Waiting);
}

void SupportSession::readTunnelLog() {
  static const QRegularExpression allocated(R"(Allocated port (\d+) for remote forward)");
  while (tunnel_ && tunnel_->canReadLine()) {
    const QString line = QString::fromUtf8(tunnel_->readLine());
    // Only the last lines matter for a failure; the debug chatter stays bounded.
    if (!line.startsWith("debug")) {
      tunnelErrors_ += line;
      if (tunnelErrors_.size() > 8192) tunnelErrors_ = tunnelErrors_.right(4096);
    }
    if (state_ != State::Connecting) continue;
    if (auto m = allocated.match(line); m.hasMatch()) {
      relayPort_ = m.captured(1).toInt();
    } else if (!(request_.relayPort != 0 && line.contains("remote forward success for: listen"))) {
      continue;
    }
    deadline_.stop();
    // Logged in: the relay password has done its work.
    if (folder_) QFile::remove(folder_->path() + "/relay.pw");
    setState(State::Waiting);
  }
}

void SupportSession::stop(const QString& reason) {
  if (state_ == State::Idle || state_ == State::Ended) return;
  deadline_.stop();
  approvalPending_ = false;
  endProcess(tunnel_.get());
  endProcess(server_.get());
  // Either may be the sender of the signal that brought us here: they go at the next
  // start or with the session.
  ended_.push_back(std::move(tunnel_));
  ended_.push_back(std::move(server_));
  folder_.reset();
  endReason_ = reason;
  while (supporters_ > 0) {
    --supporters_;
    emit supporterLeft();
  }
  setState(State::Ended);
  emit ended(reason);
}

}  // namespace tvl::mainapp

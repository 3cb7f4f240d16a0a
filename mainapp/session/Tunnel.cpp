#include "mainapp/session/Tunnel.h"

#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "mainapp/LinkCredential.h"
#include "mainapp/RelayRequest.h"
#include "platform/system/Files.h"

namespace tvl::session {

namespace {

constexpr int kStopMs = 2000;

QString quoted(const QString& path) {
  return '"' + path + '"';
}

bool write(const QString& path, const QByteArray& bytes, mode_t mode) {
  return system::writePrivateFile(QFile::encodeName(path).toStdString(), bytes.toStdString(),
                                  mode) == 0;
}

}  // namespace

TunnelEvent parseSshLine(QStringView line) {
  using K = TunnelEvent::Kind;
  using F = TunnelFailure;
  if (line.startsWith(u"debug")) {
    // At debug level 1, ssh says so when a forwarding of a fixed port succeeded.
    static const QRegularExpression success(
        QStringLiteral(R"(^debug1: remote forward success for: listen (\d+),)"));
    if (auto m = success.match(line); m.hasMatch())
      return {K::Forwarded, m.capturedView(1).toInt()};
    return {};
  }
  static const QRegularExpression allocated(
      QStringLiteral(R"(^Allocated port (\d+) for remote forward)"));
  if (auto m = allocated.match(line); m.hasMatch())
    return {K::PortAllocated, m.capturedView(1).toInt()};
  if (line.startsWith(u"Authenticated to ")) return {K::LoggedIn};
  const auto has = [&](const char16_t* text) { return line.contains(QStringView(text)); };
  const auto failure = [](F f) { return TunnelEvent{K::Failure, 0, f}; };
  if (has(u"REMOTE HOST IDENTIFICATION HAS CHANGED") || has(u"Host key verification failed") ||
      has(u"host key is known"))
    return failure(F::HostKey);
  if (has(u"Permission denied")) return failure(F::CredentialRefused);
  if (has(u"remote port forwarding failed")) return failure(F::PortRefused);
  if (has(u"Connection refused") || has(u"timed out") || has(u"Could not resolve") ||
      has(u"No route to host") || has(u"Network is unreachable"))
    return failure(F::Unreachable);
  // The relay closed a connection that was up: the session may have ended there.
  if (has(u"closed by remote host")) return failure(F::ClosedByRelay);
  if (has(u"not responding") || has(u"Connection closed") || has(u"Broken pipe") ||
      has(u"Connection reset"))
    return failure(F::Lost);
  return {};
}

bool isWorthRetrying(TunnelFailure failure, bool reconnecting) {
  switch (failure) {
    case TunnelFailure::HostKey:
    case TunnelFailure::CredentialRefused:
    case TunnelFailure::RegistrationRefused:
      return false;
    case TunnelFailure::PortRefused:
      return reconnecting;
    case TunnelFailure::None:
    case TunnelFailure::Unreachable:
    case TunnelFailure::NoAnswer:
    case TunnelFailure::Lost:
    case TunnelFailure::ClosedByRelay:
    case TunnelFailure::Other:
      return true;
  }
  return false;
}

QString relayAlias(size_t i) {
  return i == 0 ? QStringLiteral("tvl-relay") : QStringLiteral("tvl-relay-%1").arg(i + 1);
}

QString tunnelConfiguration(const TunnelLogin& login, const QString& folder) {
  const bool withKey = login.credential.kind == Credential::Kind::Key;
  QString c;
  for (size_t i = 0; i < login.relays.size(); ++i) {
    const RelayEndpoint& relay = login.relays[i];
    c += "Host " + relayAlias(i) + "\n";
    c += "  HostName " + relay.host + "\n";
    c += "  Port " + QString::number(relay.port) + "\n";
    c += "  User " + relay.user + "\n";
    // The relay is known by its pinned key alone, under a name of its own.
    c += "  HostKeyAlias " + relayAlias(i) + "\n";
    c += "  ConnectTimeout " + QString::number(relay.connectTimeout) + "\n";
  }
  c += "Host *\n";
  c += "  UserKnownHostsFile " + quoted(folder + "/known_hosts") + "\n";
  c += "  GlobalKnownHostsFile /dev/null\n";
  c += "  StrictHostKeyChecking yes\n  UpdateHostKeys no\n  CheckHostIP no\n";
  c += "  ExitOnForwardFailure yes\n";
  // A connection that stops answering is given up after 15 s (and tried again).
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
    // BatchMode would turn the password off.
    c += "  PubkeyAuthentication no\n  PreferredAuthentications password\n";
    c += "  NumberOfPasswordPrompts 1\n";
  }
  return c;
}

Tunnel::Tunnel(ui::TimerScheduler& clock, QObject* parent) : QObject(parent), clock_(clock) {}

Tunnel::~Tunnel() {
  close();
}

bool Tunnel::prepare(const QString& folder, const QString& socket, TunnelLogin login,
                     EndCause* problem) {
  folder_ = folder;
  socket_ = socket;
  login_ = std::move(login);
  QByteArray knownHosts;
  for (size_t i = 0; i < login_.relays.size(); ++i)
    knownHosts += (relayAlias(i) + " " + login_.relays[i].hostKey + "\n").toUtf8();
  bool ok = !login_.relays.empty() &&
            write(folder + "/config", tunnelConfiguration(login_, folder).toUtf8(), 0600) &&
            write(folder + "/known_hosts", knownHosts, 0600);
  // A registered session's key is made when it registers.
  if (ok && login_.credential.kind == Credential::Kind::Key && !login_.registerFirst)
    ok = write(folder + "/id", login_.credential.secret, 0600);
  if (ok && login_.credential.kind == Credential::Kind::Password)
    ok = write(folder + "/askpass", "#!/bin/sh\nexec cat \"$TVL_DIR/relay.pw\"\n", 0700);
  if (!ok) *problem = {Problem::FilesNotWritten, {}};
  return ok;
}

bool Tunnel::open(int port, EndCause* problem) {
  askedPort_ = port;
  if (login_.registerFirst && !registered_) return registerSession(problem);
  // A registered session's port is on the relay that granted it.
  return attempt(registered_ ? relay_ : 0, problem);
}

bool Tunnel::registerSession(EndCause* problem) {
  close();
  const QString keygen = QStandardPaths::findExecutable("ssh-keygen");
  if (keygen.isEmpty()) {
    *problem = {Problem::SshMissing, {}};
    return false;
  }
  // The session's own key, made for it and gone with its folder.
  const QString key = folder_ + "/id";
  QFile::remove(key);
  QFile::remove(key + ".pub");
  QFile publicKey(key + ".pub");
  if (QProcess::execute(
          keygen, {"-q", "-t", "ed25519", "-N", "", "-C", "tovalo-session", "-f", key}) != 0 ||
      !publicKey.open(QIODevice::ReadOnly)) {
    *problem = {Problem::FilesNotWritten, {}};
    return false;
  }
  registration_ = std::make_unique<mainapp::RelayRequest>();
  connect(registration_.get(), &mainapp::RelayRequest::finished, this,
          [this](const mainapp::RelayRequest::Outcome& o) {
            registration_.release()->deleteLater();
            detail_ = o.failure;
            const int port = o.ok ? mainapp::grantedPort(o.answer) : 0;
            qsizetype relay = -1;
            for (qsizetype i = 0; i < login_.organisation.size(); ++i)
              if (login_.organisation[i].name == o.relayName) relay = i;
            if (port == 0 || relay < 0) {
              if (o.ok) detail_ = QString::fromUtf8(o.answer.left(200)).trimmed();
              emit failed(o.unreachable ? TunnelFailure::Unreachable
                                        : TunnelFailure::RegistrationRefused);
              return;
            }
            registered_ = true;
            askedPort_ = port;
            EndCause problem;
            if (!attempt(size_t(relay), &problem)) emit failed(TunnelFailure::Other);
          });
  registration_->start(login_.organisation, QString("register %1").arg(login_.minutes),
                       publicKey.readAll());
  return true;
}

QString Tunnel::relayName() const {
  return relay_ < size_t(login_.organisation.size()) ? login_.organisation[qsizetype(relay_)].name
                                                     : QString();
}

void Tunnel::endOnRelay() {
  // Only a credential the relay has seen: a link that never logged in stays usable.
  if (!login_.sessionCredential || !(registered_ || wasOpen_) || folder_.isEmpty()) return;
  QFile key(folder_ + "/id");
  if (!key.open(QIODevice::ReadOnly)) return;
  // The session's folder goes now; this folder goes with the process that uses it.
  QTemporaryDir dir(QFileInfo(folder_).path() + "/.tvl-end-XXXXXX");
  if (!dir.isValid()) return;
  dir.setAutoRemove(false);
  const QString path = dir.path();
  const RelayEndpoint& relay = login_.relays[relay_];
  const QByteArray knownHosts = (relayAlias(relay_) + " " + relay.hostKey + "\n").toUtf8();
  if (!write(path + "/config", tunnelConfiguration(login_, path).toUtf8(), 0600) ||
      !write(path + "/known_hosts", knownHosts, 0600) ||
      !write(path + "/id", key.readAll(), 0600) ||
      !QProcess::startDetached(
          "/bin/sh",
          {"-c", "ssh -F \"$1/config\" \"$2\" end </dev/null >/dev/null 2>&1; rm -rf \"$1\"", "sh",
           path, relayAlias(relay_)}))
    dir.remove();
}

bool Tunnel::attempt(size_t relay, EndCause* problem) {
  close();
  relay_ = relay;
  port_ = 0;
  open_ = loggedIn_ = false;
  failure_ = TunnelFailure::None;
  const QString program = QStandardPaths::findExecutable("ssh");
  if (program.isEmpty()) {
    *problem = {Problem::SshMissing, {}};
    return false;
  }
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  if (login_.credential.kind == Credential::Kind::Password) {
    // The password is in a file only while ssh logs in; the environment names only paths.
    QFile::remove(folder_ + "/relay.pw");
    if (!write(folder_ + "/relay.pw", login_.credential.secret + "\n", 0600)) {
      *problem = {Problem::FilesNotWritten, {}};
      return false;
    }
    env.insert("SSH_ASKPASS", folder_ + "/askpass");
    env.insert("SSH_ASKPASS_REQUIRE", "force");
    env.insert("TVL_DIR", folder_);
  }
  ssh_ = std::make_unique<QProcess>();
  ssh_->setProgram(program);
  ssh_->setArguments({"-F", folder_ + "/config", "-N", "-R",
                      QString("%1:%2").arg(askedPort_).arg(socket_), relayAlias(relay)});
  ssh_->setProcessEnvironment(env);
  ssh_->setStandardInputFile(QProcess::nullDevice());
  ssh_->setStandardOutputFile(QProcess::nullDevice());
  ssh_->setReadChannel(QProcess::StandardError);
  connect(ssh_.get(), &QProcess::readyReadStandardError, this, &Tunnel::readLines);
  connect(ssh_.get(), &QProcess::finished, this, [this] {
    readLines();
    ended();
  });
  ssh_->start();
  if (!ssh_->waitForStarted()) {
    *problem = {Problem::TunnelNotStarted, {}};
    return false;
  }
  // Bounds the wait for the port; ssh's own timeouts come first.
  const int timeout = login_.relays[relay].connectTimeout;
  deadline_ = clock_.scheduledTimerWithTimeInterval(
      2 * timeout + 10, [this] { fail(TunnelFailure::NoAnswer); }, false);
  return true;
}

void Tunnel::readLines() {
  while (ssh_ && ssh_->canReadLine()) {
    const QString line = QString::fromUtf8(ssh_->readLine()).trimmed();
    const TunnelEvent e = parseSshLine(line);
    if (!line.isEmpty() && !line.startsWith("debug")) {
      lines_ << line.left(300);
      if (lines_.size() > 20) lines_.removeFirst();
    }
    switch (e.kind) {
      case TunnelEvent::Kind::None:
        break;
      case TunnelEvent::Kind::LoggedIn:
        loggedIn_ = true;
        // Logged in: the relay password has done its work.
        QFile::remove(folder_ + "/relay.pw");
        break;
      case TunnelEvent::Kind::Failure:
        if (failure_ == TunnelFailure::None) failure_ = e.failure;
        break;
      case TunnelEvent::Kind::PortAllocated:
      case TunnelEvent::Kind::Forwarded:
        // For port 0 the success line says "listen 0": the allocated port is the one.
        if (open_ || e.port == 0 || (e.kind == TunnelEvent::Kind::Forwarded && askedPort_ == 0))
          break;
        open_ = wasOpen_ = true;
        port_ = e.port;
        if (deadline_) deadline_->invalidate();
        emit opened(port_);
        break;
    }
  }
}

void Tunnel::ended() {
  TunnelFailure failure = failure_;
  if (failure == TunnelFailure::None) failure = open_ ? TunnelFailure::Lost : TunnelFailure::Other;
  fail(failure);
}

void Tunnel::fail(TunnelFailure failure) {
  const bool before = !open_ && !loggedIn_;
  close();
  // A relay out of reach: the next one of the login's, if there is one (a registered
  // session's port is on its own relay).
  if (before && !registered_ &&
      (failure == TunnelFailure::Unreachable || failure == TunnelFailure::NoAnswer) &&
      relay_ + 1 < login_.relays.size()) {
    EndCause problem;
    if (attempt(relay_ + 1, &problem)) return;
  }
  emit failed(failure);
}

void Tunnel::close() {
  registration_.reset();
  if (deadline_) deadline_->invalidate();
  open_ = false;
  if (!ssh_) return;
  ssh_->disconnect(this);
  if (ssh_->state() != QProcess::NotRunning) {
    ssh_->terminate();
    if (!ssh_->waitForFinished(kStopMs)) {
      ssh_->kill();
      ssh_->waitForFinished(kStopMs);
    }
  }
  // This may run inside a signal of the process: it goes once control is back in the loop.
  ssh_.release()->deleteLater();
  if (login_.credential.kind == Credential::Kind::Password) QFile::remove(folder_ + "/relay.pw");
}

qint64 Tunnel::processId() const {
  return ssh_ ? ssh_->processId() : 0;
}

}  // namespace tvl::session

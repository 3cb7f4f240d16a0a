#include "mainapp/RelayRequest.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include "mainapp/Localized.h"

namespace tvl::mainapp {

namespace {

bool writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly | QIODevice::NewOnly) &&
         f.setPermissions(QFile::ReadOwner | QFile::WriteOwner) && f.write(bytes) == bytes.size();
}

}  // namespace

RelayAnswer classifyRelayAnswer(int exitStatus, const QString& errors) {
  if (exitStatus == 0) return RelayAnswer::Answered;
  auto has = [&](const char* text) { return errors.contains(QLatin1String(text)); };
  // Our own program's refusal, a refused key, another host key: asking again changes nothing.
  if (exitStatus != 255 || has("Permission denied") || has("HOST IDENTIFICATION") ||
      has("Host key verification failed") || has("host key is known"))
    return RelayAnswer::Refused;
  if (has("Connection refused") || has("timed out") || has("Could not resolve") ||
      has("No route to host") || has("Network is unreachable"))
    return RelayAnswer::Unreachable;
  // sshd closed or reset a connection before the handshake ended (MaxStartups).
  return RelayAnswer::Dropped;
}

QString requestConfiguration(const RelaySettings& relay, const QString& folder) {
  QString c = "Host tvl-relay\n";
  c += "  HostName " + relay.host + "\n  Port " + QString::number(relay.port) + "\n";
  c += "  User " + relay.user + "\n  HostKeyAlias tvl-relay\n";
  c += "  UserKnownHostsFile \"" + folder + "/known_hosts\"\n  GlobalKnownHostsFile /dev/null\n";
  c += "  StrictHostKeyChecking yes\n  UpdateHostKeys no\n  CheckHostIP no\n";
  c += "  ConnectTimeout " + QString::number(relay.connectTimeout) + "\n";
  c += "  ServerAliveInterval 5\n  ServerAliveCountMax 3\n";
  c += "  IdentityFile \"" + folder + "/id\"\n  IdentitiesOnly yes\n  IdentityAgent none\n";
  c += "  PubkeyAuthentication yes\n  PasswordAuthentication no\n";
  c += "  KbdInteractiveAuthentication no\n  BatchMode yes\n";
  c += "  ForwardAgent no\n  ForwardX11 no\n  ControlMaster no\n  ControlPath none\n";
  c += "  PermitLocalCommand no\n  ClearAllForwardings yes\n  LogLevel ERROR\n";
  return c;
}

RelayRequest::RelayRequest(QObject* parent) : QObject(parent) {}

RelayRequest::~RelayRequest() {
  if (process_) {
    process_->disconnect();
    process_->kill();
    process_->waitForFinished(2000);
  }
}

void RelayRequest::start(const QList<RelaySettings>& relays, const QString& command,
                         const QByteArray& input) {
  relays_ = relays;
  command_ = command;
  input_ = input;
  relay_ = 0;
  tries_ = 0;
  tryRelay();
}

void RelayRequest::tryRelay() {
  if (relay_ >= relays_.size()) {
    done(false, localized("The relay can't be reached."), true);
    return;
  }
  const RelaySettings& relay = relays_[relay_];
  QString base = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (base.isEmpty() || !QFileInfo(base).isDir()) base = QDir::tempPath();
  folder_ = std::make_unique<QTemporaryDir>(base + "/.tvl-request-XXXXXX");
  QFile key(relay.identity);
  QByteArray identity;
  if (relay.identity.isEmpty() || !key.open(QIODevice::ReadOnly) ||
      (identity = key.read(64 * 1024)).isEmpty()) {
    done(false, localized("The session key of your support organisation can't be read."));
    return;
  }
  const QString dir = folder_->path();
  if (!folder_->isValid() ||
      !writeFile(dir + "/config", requestConfiguration(relay, dir).toUtf8()) ||
      !writeFile(dir + "/known_hosts", ("tvl-relay " + relay.hostKey + "\n").toUtf8()) ||
      !writeFile(dir + "/id", identity)) {
    done(false, localized("The session's files could not be written."));
    return;
  }
  ++tries_;
  answer_.clear();
  process_ = std::make_unique<QProcess>();
  process_->setProgram("ssh");
  process_->setArguments({"-F", dir + "/config", "tvl-relay", command_});
  connect(process_.get(), &QProcess::started, this, [this] {
    process_->write(input_);
    process_->closeWriteChannel();
  });
  connect(process_.get(), &QProcess::readyReadStandardOutput, this, [this] {
    answer_ += process_->readAllStandardOutput();
    if (answer_.size() > 64 * 1024) process_->kill();
  });
  connect(process_.get(), &QProcess::finished, this, [this](int code, QProcess::ExitStatus how) {
    answer_ += process_->readAllStandardOutput();
    const QString errors = QString::fromUtf8(process_->readAllStandardError().right(4096));
    process_.release()->deleteLater();
    switch (classifyRelayAnswer(how == QProcess::NormalExit ? code : 255, errors)) {
      case RelayAnswer::Answered:
        done(true, {});
        return;
      case RelayAnswer::Refused: {
        // The relay's own words for a refusal ("refused: ..."), else ssh's.
        QString words = errors.trimmed().section('\n', -1);
        done(false, localized("The relay refused the request: %1").arg(words));
        return;
      }
      case RelayAnswer::Dropped:
        if (tries_ < kTries) {
          // A short random pause, so that machines dropped together do not return together.
          QTimer::singleShot(200 * tries_ + QRandomGenerator::global()->bounded(300), this,
                             &RelayRequest::tryRelay);
          return;
        }
        [[fallthrough]];
      case RelayAnswer::Unreachable:
        ++relay_;
        tries_ = 0;
        tryRelay();
        return;
    }
  });
  process_->start();
}

void RelayRequest::done(bool ok, const QString& failure, bool unreachable) {
  Outcome o;
  o.ok = ok;
  o.unreachable = unreachable;
  o.failure = failure;
  if (ok) {
    o.relayName = relays_[relay_].name;
    o.answer = answer_;
  }
  folder_.reset();
  emit finished(o);
}

}  // namespace tvl::mainapp

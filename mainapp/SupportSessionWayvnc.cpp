// Sharing on wlroots compositors (sway and the like): wayvnc, on a Unix socket in the
// session's folder like x11vnc. wayvnc 0.5 authenticates only with VeNCrypt X509Plain:
// TLS with a certificate of the server's, then a user name and password. The password is
// the session's secret, the user name is fixed (kWayvncUser), and the certificate is made
// for each session (self-signed, for the name "localhost", where a supporter's tunnel
// reaches it).
#include <QFile>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>

#include "mainapp/Localized.h"
#include "mainapp/SupportSession.h"

namespace tvl::mainapp {

namespace {

constexpr char kWayvncUser[] = "supporter";
constexpr int kCertificateMs = 10000;

// Creates the file with the mode, refusing one that exists.
bool writeNewFile(const QString& path, const QByteArray& bytes, QFile::Permissions mode) {
  QFile file(path);
  return !file.exists() && file.open(QIODevice::WriteOnly | QIODevice::NewOnly) &&
         file.setPermissions(mode) && file.write(bytes) == bytes.size() && file.flush();
}

}  // namespace

bool SupportSession::startWayvnc(QString* error) {
  const QString dir = folder_->path();
  const QString openssl = QStandardPaths::findExecutable("openssl");
  if (openssl.isEmpty()) {
    *error = localized("The screen-sharing server's certificate could not be made.");
    return false;
  }
  QProcess certificate;
  certificate.setStandardInputFile(QProcess::nullDevice());
  certificate.setProcessChannelMode(QProcess::MergedChannels);
  // A P-256 key is made in milliseconds; the certificate lives as long as the session.
  certificate.start(openssl, {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                              "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                              "/CN=localhost", "-addext", "subjectAltName=DNS:localhost", "-keyout",
                              dir + "/tls.key", "-out", dir + "/tls.crt"});
  if (!certificate.waitForFinished(kCertificateMs) ||
      certificate.exitStatus() != QProcess::NormalExit || certificate.exitCode() != 0) {
    *error = localized("The screen-sharing server's certificate could not be made.");
    return false;
  }

  // The password goes from its file into wayvnc's configuration, which is removed as soon
  // as wayvnc has read it (it listens after reading it).
  QFile passwordFile(dir + "/vnc.pw");
  QByteArray password;
  if (passwordFile.open(QIODevice::ReadOnly)) password = passwordFile.readLine().trimmed();
  passwordFile.remove();
  const QByteArray config = "address=" + QFile::encodeName(dir + "/vnc.sock") +
                            "\nenable_auth=true\nusername=" + kWayvncUser +
                            "\npassword=" + password +
                            "\nprivate_key_file=" + QFile::encodeName(dir + "/tls.key") +
                            "\ncertificate_file=" + QFile::encodeName(dir + "/tls.crt") + "\n";
  if (password.isEmpty() ||
      !writeNewFile(dir + "/wayvnc.conf", config, QFile::ReadOwner | QFile::WriteOwner)) {
    *error = localized("The session's files could not be written.");
    return false;
  }
  wayvncConfigWatch_ = std::make_unique<QFileSystemWatcher>(QStringList{dir});
  QFileSystemWatcher* watch = wayvncConfigWatch_.get();
  connect(watch, &QFileSystemWatcher::directoryChanged, this, [watch, dir] {
    if (!QFile::exists(dir + "/vnc.sock")) return;
    QFile::remove(dir + "/wayvnc.conf");
    watch->removePath(dir);
  });

  wayvncPending_.clear();
  wayvncJoined_.clear();
  // -u: the address is a Unix socket, the only place it listens.
  QStringList arguments = {"-u", "-C", dir + "/wayvnc.conf", "-L", "info"};
  // wayvnc shares one output, by itself not the first one (sway: the last added). Ours is
  // the desktop's first screen, where this application's windows open.
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (QGuiApplication::platformName() == "wayland" && screen && !screen->name().isEmpty())
    arguments << "-o" << screen->name();
  // It reports its clients on standard output, its errors on standard error: both read.
  return launchServer(arguments << dir + "/vnc.sock", QProcess::StandardOutput,
                      &SupportSession::readWayvncLog, error);
}

void SupportSession::readWayvncLog() {
  static const QRegularExpression opened(R"(New client connection: (\S+) )");
  static const QRegularExpression closed(R"(Closing client connection (\S+):)");
  while (server_ && server_->canReadLine()) {
    const QString line = QString::fromUtf8(server_->readLine());
    // wayvnc names a connection when it opens and closes, but not in the line that
    // says it passed (or failed) authentication: that one is the oldest still waiting.
    if (auto m = opened.match(line); m.hasMatch()) {
      wayvncPending_.append(m.captured(1));
    } else if (line.contains("\" authenticated") && !wayvncPending_.isEmpty()) {
      wayvncJoined_.insert(wayvncPending_.takeFirst());
      ++supporters_;
      if (state_ == State::Waiting || state_ == State::Connected) setState(State::Connected);
      emit supporterJoined();
    } else if (line.contains("\" rejected") && !wayvncPending_.isEmpty()) {
      wayvncPending_.removeFirst();
    } else if (auto c = closed.match(line); c.hasMatch()) {
      wayvncPending_.removeAll(c.captured(1));
      if (!wayvncJoined_.remove(c.captured(1))) continue;
      --supporters_;
      emit supporterLeft();
      if (state_ == State::Connected && supporters_ == 0) setState(State::Waiting);
    }
  }
}

}  // namespace tvl::mainapp

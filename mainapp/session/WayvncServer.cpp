#include "mainapp/session/WayvncServer.h"

#include <QFile>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>

#include "platform/system/Files.h"

namespace tvl::session {

namespace {

constexpr char kWayvncUser[] = "supporter";
constexpr int kCertificateMs = 10000;

}  // namespace

ServerEvent parseWayvncLine(QStringView line) {
  using K = ServerEvent::Kind;
  // wayvnc 0.5 names a connection when it opens and closes, and when it chooses the
  // encoding for its first update, which only a client that passed authentication asks
  // for. The line that says a user was authenticated names no connection, so it is not
  // used: with another connection waiting in its handshake, it was counted for the wrong
  // one.
  static const QRegularExpression opened(QStringLiteral(R"(New client connection: (\S+))"));
  static const QRegularExpression chosen(
      QStringLiteral(R"(Choosing \S+ encoding for client (\S+)$)"));
  static const QRegularExpression closed(QStringLiteral(R"(Closing client connection (\S+?):)"));
  if (auto m = opened.match(line); m.hasMatch()) return {K::Opened, -1, m.captured(1)};
  if (auto m = chosen.match(line); m.hasMatch()) return {K::Joined, -1, m.captured(1)};
  if (auto m = closed.match(line); m.hasMatch()) return {K::Left, -1, m.captured(1)};
  return {};
}

WayvncServer::WayvncServer() = default;
WayvncServer::~WayvncServer() = default;

ServerEvent WayvncServer::account(const ServerEvent& e) {
  using K = ServerEvent::Kind;
  switch (e.kind) {
    case K::Joined:
      if (joined_.contains(e.connection)) return {};
      joined_.insert(e.connection);
      return {K::Joined};
    case K::Left:
      if (!joined_.remove(e.connection)) return {};
      return {K::Left, int(joined_.size())};
    case K::Opened:
      return {};
    default:
      return e;
  }
}

bool WayvncServer::start(const Setup& setup, EndCause* problem) {
  const QString dir = setup.folder;
  const QString openssl = QStandardPaths::findExecutable("openssl");
  QProcess certificate;
  if (!openssl.isEmpty()) {
    certificate.setStandardInputFile(QProcess::nullDevice());
    certificate.setProcessChannelMode(QProcess::MergedChannels);
    // A P-256 key is made in milliseconds; the certificate lives as long as the session.
    certificate.start(openssl, {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                                "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                                "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
                                "-keyout", dir + "/tls.key", "-out", dir + "/tls.crt"});
  }
  if (openssl.isEmpty() || !certificate.waitForFinished(kCertificateMs) ||
      certificate.exitStatus() != QProcess::NormalExit || certificate.exitCode() != 0) {
    *problem = {Problem::CertificateFailed, {}};
    return false;
  }

  // The password goes from its file into wayvnc's configuration, which is removed as soon
  // as wayvnc has read it (it listens after reading it).
  QFile passwordFile(dir + "/vnc.pw");
  QByteArray password;
  if (passwordFile.open(QIODevice::ReadOnly)) password = passwordFile.readLine().trimmed();
  passwordFile.remove();
  const QByteArray config =
      "address=" + QFile::encodeName(setup.socket) + "\nenable_auth=true\nusername=" + kWayvncUser +
      "\npassword=" + password + "\nprivate_key_file=" + QFile::encodeName(dir + "/tls.key") +
      "\ncertificate_file=" + QFile::encodeName(dir + "/tls.crt") + "\n";
  if (password.isEmpty() ||
      system::writePrivateFile(QFile::encodeName(dir + "/wayvnc.conf").toStdString(),
                               config.toStdString(), 0600) != 0) {
    *problem = {Problem::FilesNotWritten, {}};
    return false;
  }
  // Listening is the sign that wayvnc has read its configuration: the file goes then, and
  // the session hears that the server serves.
  configWatch_ = std::make_unique<QFileSystemWatcher>(QStringList{dir});
  connect(configWatch_.get(), &QFileSystemWatcher::directoryChanged, this, [this, setup] {
    if (!configWatch_ || !QFile::exists(setup.socket)) return;
    QFile::remove(setup.folder + "/wayvnc.conf");
    configWatch_->removePath(setup.folder);
    emit event({ServerEvent::Kind::Serving});
  });

  joined_.clear();
  // -u: the address is a Unix socket, the only place it listens.
  QStringList arguments = {"-u", "-C", dir + "/wayvnc.conf", "-L", "info"};
  // wayvnc shares one output, by itself not the first one (sway: the last added). Ours is
  // the desktop's first screen, where this application's windows open.
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (QGuiApplication::platformName() == "wayland" && screen && !screen->name().isEmpty())
    arguments << "-o" << screen->name();
  // It reports its clients on standard output, its errors on standard error: both read.
  return launch(setup, QStandardPaths::findExecutable("wayvnc"), arguments << setup.socket,
                QProcess::MergedChannels, problem);
}

}  // namespace tvl::session

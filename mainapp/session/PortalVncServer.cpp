#include "mainapp/session/PortalVncServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "common/ProductContract.h"
#include "mainapp/portalvnc/Report.h"

namespace tvl::session {

namespace {

namespace report = portalvnc::report;

QLatin1StringView word(std::string_view w) {
  return QLatin1StringView(w.data(), qsizetype(w.size()));
}

}  // namespace

ServerEvent parsePortalVncLine(QStringView line) {
  using K = ServerEvent::Kind;
  if (!line.startsWith(word(report::kPrefix))) return {};
  const QStringView said = line.mid(qsizetype(report::kPrefix.size()));
  const qsizetype blank = said.indexOf(u' ');
  const QStringView first = blank < 0 ? said : said.left(blank);
  const QStringView rest = blank < 0 ? QStringView() : said.mid(blank + 1);
  if (first == word(report::kApprovalPending)) return {K::ApprovalPending};
  if (first == word(report::kServing)) return {K::Serving};
  if (first == word(report::kViewOnly)) return {K::ViewOnly};
  if (first == word(report::kClientJoined)) return {K::Joined};
  if (first == word(report::kClientLeft)) {
    bool ok = false;
    const int left = rest.toInt(&ok);
    return ok && left >= 0 ? ServerEvent{K::Left, left} : ServerEvent{};
  }
  if (first == word(report::kRefused)) {
    // "refused CODE words for a log"
    const qsizetype end = rest.indexOf(u' ');
    return {K::Refused, -1, (end < 0 ? rest : rest.left(end)).toString()};
  }
  if (first == word(report::kError)) return {K::Error, -1, line.toString()};
  return {};
}

QString portalServerPath() {
  // Shipped beside the main executable in its bundle.
  const QString beside = QCoreApplication::applicationDirPath() + "/tvl-portal-vnc";
  if (QFileInfo(beside).isExecutable()) return beside;
  return QStandardPaths::findExecutable("tvl-portal-vnc");
}

QString portalRestoreTokenPath() {
  // The user's data folder: the desktop skips its dialog with it where it can.
  QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  if (base.isEmpty()) return {};
  const QString dir = base + "/" + product::kMainAppBundleIdentifier;
  if (!QDir().mkpath(dir)) return {};
  QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  return dir + "/portal-restore-token";
}

bool PortalVncServer::start(const Setup& setup, EndCause* problem) {
  const QString token = portalRestoreTokenPath();
  if (token.isEmpty()) {
    *problem = {Problem::FilesNotWritten, {}};
    return false;
  }
  return launch(setup, portalServerPath(),
                {"--unix-socket", setup.socket, "--password-file", setup.folder + "/vnc.pw",
                 "--restore-token-file", token},
                QProcess::SeparateChannels, problem);
}

}  // namespace tvl::session

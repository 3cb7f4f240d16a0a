// The session's server on GNOME and KDE Wayland desktops: tvl-portal-vnc, which asks the
// desktop's portal for the screen (the user approves it in the desktop's own dialog)
// and serves it on the session's socket. Its error output drives the session: the
// dialog waiting, the screen shared (only then does the tunnel open: nothing reaches the
// relay before the user said yes), supporters joining and leaving, a refusal in words.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include "common/ProductContract.h"
#include "mainapp/Localized.h"
#include "mainapp/SupportSession.h"
#include "platform/system/Log.h"

namespace tvl::mainapp {

namespace {
constexpr char kPortalServer[] = "tvl-portal-vnc";
constexpr char kPrefix[] = "tvl-portal-vnc: ";
}  // namespace

QString portalServerPath() {
  // Shipped beside the main executable in its bundle.
  const QString beside = QCoreApplication::applicationDirPath() + "/" + kPortalServer;
  if (QFileInfo(beside).isExecutable()) return beside;
  return QStandardPaths::findExecutable(kPortalServer);
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

bool SupportSession::startPortalServer(QString* error) {
  const QString dir = folder_->path();
  const QString token = portalRestoreTokenPath();
  if (token.isEmpty()) {
    *error = localized("The session's files could not be written.");
    return false;
  }
  tunnelAfterServer_ = true;
  return launchServer({"--unix-socket", dir + "/vnc.sock", "--password-file", dir + "/vnc.pw",
                       "--restore-token-file", token},
                      QProcess::StandardError, &SupportSession::readPortalServerLog, error);
}

void SupportSession::readPortalServerLog() {
  while (server_ && server_->canReadLine()) {
    const QString line = QString::fromUtf8(server_->readLine()).trimmed();
    if (!line.startsWith(kPrefix)) continue;
    const QString report = line.mid(int(sizeof kPrefix) - 1);
    const QString word = report.section(' ', 0, 0);
    const QString rest = report.section(' ', 1);
    if (word == "approval-pending") {
      approvalPending_ = true;
      emit stateChanged();
    } else if (word == "serving") {
      approvalPending_ = false;
      emit stateChanged();
      if (state_ != State::Connecting || !tunnelAfterServer_) continue;
      tunnelAfterServer_ = false;
      QString error;
      if (!startTunnel(&error)) return fail(error);
      deadline_.start(connectDeadlineMs());
    } else if (word == "client-joined") {
      supporterJoinedNow();
    } else if (word == "client-left") {
      supportersLeftTo(rest.toInt());
    } else if (word == "refused") {
      // The server's words are English; the known ones have translations.
      const QString why =
          localized("This desktop can't be shared: %1").arg(localized(rest.toUtf8().constData()));
      tvl::NSLog("Session: %s", qPrintable(line));
      emit cannotShare(why);
      return fail(why);
    } else if (word == "note" && rest == "the desktop allowed no remote input") {
      viewOnly_ = true;
      emit stateChanged();
    } else if (word == "error") {
      tvl::NSLog("Session: %s", qPrintable(line));
    }
  }
}

}  // namespace tvl::mainapp

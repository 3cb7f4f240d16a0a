#include "mainapp/WhiteDesktop.h"

#include <QProcess>

#include "platform/system/Log.h"

namespace tvl::mainapp {

void WhiteDesktop::getPath(QObject*) {
  tvlDesktop();
}

void WhiteDesktop::quitPath(QObject*) {
  quitDesktop();
}

void WhiteDesktop::openWindow(QObject*) {
  doWindow();
}

void WhiteDesktop::doWindow() {
  if (!quitWindow) return;
  quitWindow->show();
  quitWindow->raise();
  quitWindow->activateWindow();
}

void WhiteDesktop::closeWindow() {
  if (closeQuit) closeQuit->close();
}

void WhiteDesktop::tvlDesktop() {
  doWindow();
  // Opening the cover bundle means starting its executable as a process of its own that
  // outlives this call (and this application); the opener itself prints nothing, so the
  // log line has empty output as before.
  QProcess cover;
  cover.setProgram(coverBundlePath() + kCoverExecutable);
  cover.setStandardOutputFile(QProcess::nullDevice());
  cover.setStandardInputFile(QProcess::nullDevice());
  qint64 pid = 0;
  thePID = cover.startDetached(&pid) ? static_cast<int>(pid) : 0;
  tvl::NSLog("woop!  got\n%s", "");
}

void WhiteDesktop::quitDesktop() {
  closeWindow();
  QProcess killall;
  killall.setProgram(kKillallProgram);
  killall.setArguments({kCoverProcessName});
  killall.setStandardInputFile(QProcess::nullDevice());
  killall.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  killall.start();
  killall.waitForFinished(-1);
  tvl::NSLog("woop!  got\n%s", killall.readAllStandardOutput().constData());
}

}  // namespace tvl::mainapp

#include "mainapp/session/X11vncServer.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include "platform/system/Log.h"

namespace tvl::session {

ServerEvent parseX11vncLine(QStringView line) {
  using K = ServerEvent::Kind;
  // "listening on unix socket: <path> fd=8", once the screen is set up.
  if (line.contains(u"listening on unix socket: ")) return {K::Serving};
  // A client that passed authentication gets its network settings; one that failed never
  // does ("client_set_net: <path>  0.0000").
  if (line.contains(u"client_set_net: ")) return {K::Joined};
  // Leaving, the server says how many clients are left, authenticated or not.
  static const QRegularExpression count(QStringLiteral(R"(client_count: (\d+)$)"));
  if (auto m = count.match(line); m.hasMatch()) return {K::Left, m.capturedView(1).toInt()};
  return {};
}

bool X11vncServer::start(const Setup& setup, EndCause* problem) {
  display_ = qEnvironmentVariable("DISPLAY");
  if (display_.isEmpty()) {
    *problem = {Problem::NoDisplay, {}};
    return false;
  }
  // x11vnc takes commands while it runs through a property of the display's root window;
  // a name of the session's own keeps another x11vnc on the display out of it.
  channel_ = "X11VNC_REMOTE_" + QFileInfo(setup.folder).fileName().section('-', -1);
  // A Unix socket in the 0700 folder and no TCP port at all (port 0 for IPv4, -1 for
  // IPv6: without it x11vnc listens on [::]:5900). The password file goes once read. The
  // clipboard stays private until the user shares it: -nosel exchanges no selection and no
  // cut buffer in either direction. X11VNC_AVOID_WINDOWS=never: x11vnc otherwise waits up
  // to 45 s after a client came (for a display manager's greeter to go) before it can take
  // or watch a selection at all.
  return launch(setup, QStandardPaths::findExecutable("x11vnc"),
                {"-display",
                 display_,
                 "-unixsock",
                 setup.socket,
                 "-rfbport",
                 "0",
                 "-rfbportv6",
                 "-1",
                 "-noipv6",
                 "-passwdfile",
                 "rm:" + setup.folder + "/vnc.pw",
                 "-forever",
                 "-shared",
                 "-norc",
                 "-nolookup",
                 "-nosel",
                 "-env",
                 "X11VNC_REMOTE=" + channel_,
                 "-env",
                 "X11VNC_AVOID_WINDOWS=never"},
                QProcess::SeparateChannels, problem);
}

void X11vncServer::shareClipboard(bool on) {
  if (!isRunning()) return;
  // "x11vnc -R ..." hands the running server commands through the display: exchange the
  // selections (PRIMARY, CLIPBOARD and the cut buffer) both ways, or none.
  auto* command = new QProcess(this);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("X11VNC_REMOTE", channel_);
  command->setProcessEnvironment(env);
  command->setStandardInputFile(QProcess::nullDevice());
  command->setProcessChannelMode(QProcess::MergedChannels);
  connect(command, &QProcess::finished, command, [command, on](int status) {
    if (status != 0)
      tvl::NSLog("Session: the screen-sharing server did not take \"%s\"", on ? "sel" : "nosel");
    command->deleteLater();
  });
  command->start(QStandardPaths::findExecutable("x11vnc"),
                 {"-display", display_, "-sync", "-R",
                  on ? "script:sel;primary;setprimary;clipboard;setclipboard"
                     : "script:nosel;noprimary;nosetprimary;noclipboard;nosetclipboard"});
}

}  // namespace tvl::session

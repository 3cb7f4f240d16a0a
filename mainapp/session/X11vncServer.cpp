#include "mainapp/session/X11vncServer.h"

#include <QRegularExpression>
#include <QStandardPaths>

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
  const QString display = qEnvironmentVariable("DISPLAY");
  if (display.isEmpty()) {
    *problem = {Problem::NoDisplay, {}};
    return false;
  }
  // A Unix socket in the 0700 folder and no TCP port at all (port 0 for IPv4, -1 for
  // IPv6: without it x11vnc listens on [::]:5900). The password file goes once read.
  return launch(setup, QStandardPaths::findExecutable("x11vnc"),
                {"-display", display, "-unixsock", setup.socket, "-rfbport", "0", "-rfbportv6",
                 "-1", "-noipv6", "-passwdfile", "rm:" + setup.folder + "/vnc.pw", "-forever",
                 "-shared", "-norc", "-nolookup"},
                QProcess::SeparateChannels, problem);
}

}  // namespace tvl::session

// tvl-portal-vnc: the screen of a GNOME or KDE Wayland session as a VNC server, through
// the desktop portal (the user approves it once in the desktop's dialog). Started by the
// support session as "OSXvncserver":
//
//   tvl-portal-vnc --unix-socket DIR/vnc.sock --password-file DIR/vnc.pw
//                  --restore-token-file FILE
//
// It reports on stderr, one line each: "tvl-portal-vnc: approval-pending", "... serving",
// "... client-joined", "... client-left N", "... refused WORDS" (then exit status 3).
// SIGTERM ends it cleanly with status 0.
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "mainapp/portalvnc/InputQueue.h"
#include "mainapp/portalvnc/Layout.h"
#include "mainapp/portalvnc/VncServer.h"
#include "platform/desktop/DesktopSession.h"
#include "platform/screencast/PipeWireStream.h"
#include "platform/screencast/PortalSession.h"

using namespace tvl;

namespace {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;

void report(const QString& line) {
  std::fprintf(stderr, "tvl-portal-vnc: %s\n", line.toUtf8().constData());
  std::fflush(stderr);
}

// The session's password: the first line of a file that goes once read. VNC
// authentication reads 8 characters.
std::optional<std::string> takePassword(const QString& path, QString* error) {
  const QByteArray name = QFile::encodeName(path);
  int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *error = QStringLiteral("the password file %1 can't be read").arg(path);
    return std::nullopt;
  }
  char buffer[256];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  ::unlink(name.constData());
  std::string pw(buffer, n > 0 ? size_t(n) : 0);
  pw = pw.substr(0, pw.find_first_of("\r\n"));
  if (pw.empty()) {
    *error = QStringLiteral("the password file %1 holds no password").arg(path);
    return std::nullopt;
  }
  return pw.substr(0, 8);
}

// The portal's restore token lives in a file of the user's own, mode 0600.
class TokenFile {
 public:
  bool open(const QString& path, QString* error) {
    path_ = path;
    const QByteArray name = QFile::encodeName(path);
    int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
      if (fd >= 0) ::close(fd);
      *error = QStringLiteral("the restore token file %1 can't be used").arg(path);
      return false;
    }
    ::fchmod(fd, 0600);
    char buffer[512];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    const QString text = QString::fromLatin1(buffer, n > 0 ? n : 0).trimmed();
    // A token is a portal-made identifier; anything else in the file is ignored.
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z0-9_-]{1,128}$"));
    if (valid.match(text).hasMatch()) token_ = text;
    return true;
  }
  const QString& token() const { return token_; }
  void save(const QString& token) {
    if (token.isEmpty() || token == token_) return;
    // Written beside and renamed over, so that a crash leaves the old token whole.
    const QByteArray tmp = QFile::encodeName(path_ + ".new");
    ::unlink(tmp.constData());
    int fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const QByteArray bytes = token.toLatin1() + '\n';
    bool ok = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(tmp.constData(), QFile::encodeName(path_).constData()) == 0)
      token_ = token;
    else
      ::unlink(tmp.constData());
  }

 private:
  QString path_, token_;
};

// The monitors the portal shares, as one picture.
struct Screen {
  std::vector<portalvnc::Monitor> monitors;
  portalvnc::Layout layout;
};

// One input event through the portal: a position goes to the monitor under it, in that
// monitor's own units.
void sendInput(screencast::PortalSession& portal, const Screen& screen,
               const portalvnc::InputEvent& e, screencast::PortalSession::Answered answered) {
  using Kind = portalvnc::InputEvent::Kind;
  switch (e.kind) {
    case Kind::Motion: {
      const portalvnc::Target t = portalvnc::locate(screen.layout, screen.monitors, e.x, e.y);
      if (t.monitor < 0 || t.monitor >= portal.streams().size()) {
        answered();
        break;
      }
      portal.movePointer(portal.streams().at(t.monitor).node, t.x, t.y, std::move(answered));
      break;
    }
    case Kind::Button:
      portal.pointerButton(int(e.code), e.down, std::move(answered));
      break;
    case Kind::Key:
      portal.key(e.code, e.down, std::move(answered));
      break;
    case Kind::Scroll:
      portal.scroll(e.code == 1, e.steps, std::move(answered));
      break;
  }
}

// Said once: input the full queue refused.
void warnDropped(const portalvnc::InputQueue& input) {
  static bool said = false;
  if (said || input.dropped() == 0) return;
  report("warning input came faster than the desktop takes it, and some was dropped");
  said = true;
}

struct Options {
  QString socket, passwordFile, tokenFile;
};

std::optional<Options> parse(const QStringList& args) {
  Options o;
  for (int i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == "--unix-socket")
      o.socket = args[i + 1];
    else if (args[i] == "--password-file")
      o.passwordFile = args[i + 1];
    else if (args[i] == "--restore-token-file")
      o.tokenFile = args[i + 1];
    else
      return std::nullopt;
  }
  if (args.size() % 2 == 0 || o.socket.isEmpty() || o.passwordFile.isEmpty() ||
      o.tokenFile.isEmpty())
    return std::nullopt;
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  // SIGTERM and SIGINT are read from a descriptor on the event loop, so that the portal's
  // session is closed and the socket removed before the program ends.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGHUP);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  QCoreApplication app(argc, argv);
  const auto options = parse(app.arguments());
  if (!options) {
    std::fputs(
        "usage: tvl-portal-vnc --unix-socket PATH --password-file FILE --restore-token-file "
        "FILE\n",
        stderr);
    return kExitUsage;
  }
  QString error;
  const auto password = takePassword(options->passwordFile, &error);
  TokenFile tokens;
  if (!password || !tokens.open(options->tokenFile, &error)) {
    report("error " + error);
    return kExitUsage;
  }

  const int stopFd = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
  QSocketNotifier stopNotifier(stopFd, QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&] { app.exit(0); });

  screencast::PortalSession portal;
  std::vector<std::unique_ptr<screencast::PipeWireStream>> streams;
  Screen screen;
  std::unique_ptr<portalvnc::VncServer> server;
  portalvnc::InputQueue input([&](const portalvnc::InputEvent& e) {
    sendInput(portal, screen, e, [&input] { input.answered(); });
  });
  auto fatal = [&](const QString& words) {
    report("error " + words);
    app.exit(kExitError);
  };

  QObject::connect(&portal, &screencast::PortalSession::approvalPending, &app,
                   [] { report("approval-pending"); });
  QObject::connect(&portal, &screencast::PortalSession::refused, &app, [&](const QString& words) {
    report("refused " + words);
    app.exit(kExitRefused);
  });
  QObject::connect(&portal, &screencast::PortalSession::closed, &app,
                   [&] { fatal(QStringLiteral("the desktop ended the screen sharing")); });
  // The server starts once the streams are open, the picture laid out at the sizes the
  // portal gave (with the first frame where it gave none): frames fill it in as they come.
  // A compositor may send none until its screen changes (kwin 5.27's virtual outputs
  // send none at all), and input must not wait for them.
  auto startServer = [&](screencast::PixelLayout pixels) {
    portalvnc::VncServer::Events events;
    events.pointer = [&](int client, int mask, int x, int y) {
      input.pointer(client, mask, x, y);
      warnDropped(input);
    };
    events.key = [&](int client, bool down, std::uint32_t keysym) {
      input.key(client, down, keysym);
      warnDropped(input);
    };
    events.gone = [&](int client) { input.clientGone(client); };
    events.joined = [] { report("client-joined"); };
    events.left = [](int left) { report(QStringLiteral("client-left %1").arg(left)); };
    screen.layout = portalvnc::arrange(screen.monitors);
    server = std::make_unique<portalvnc::VncServer>(*password, std::move(events));
    QString why;
    if (!server->start(options->socket, screen.layout.width, screen.layout.height, pixels, &why)) {
      server.reset();
      return fatal(why);
    }
    report("serving");
  };
  // Each monitor's frames at its place in the picture; a monitor whose frames come in
  // another size than the picture has for it (scaled, or its mode changed) spreads the
  // picture.
  auto onFrame = [&](int i, const screencast::Frame& frame) {
    portalvnc::Monitor& monitor = screen.monitors.at(i);
    const bool resized = frame.width != monitor.frameWidth || frame.height != monitor.frameHeight;
    monitor.frameWidth = frame.width;
    monitor.frameHeight = frame.height;
    if (!server) {
      startServer(frame.layout);
      if (!server) return;
    } else if (portalvnc::Layout next = portalvnc::arrange(screen.monitors);
               resized && next != screen.layout) {
      std::vector<portalvnc::VncServer::Move> moves;
      for (size_t j = 0; j < next.placed.size(); ++j)
        if (int(j) != i)
          moves.push_back({screen.layout.placed[j], next.placed[j].x, next.placed[j].y});
      server->resize(next.width, next.height, moves);
      screen.layout = std::move(next);
    }
    const portalvnc::Rect& at = screen.layout.placed.at(i);
    server->update(frame, at.x, at.y);
  };

  QObject::connect(&portal, &screencast::PortalSession::started, &app, [&] {
    tokens.save(portal.restoreToken());
    if (!portal.inputAllowed()) report("note the desktop allowed no remote input");
    // Mutter makes its virtual keyboard and pointer at their first event, and loses that
    // event: make both now with harmless events, long before a supporter types or
    // clicks. The key is Scroll Lock, which changes nothing a supporter types. Each waits
    // for the answer to the one before, as all input does (InputQueue).
    portal.key(0xff14, true, [&] {  // Scroll_Lock
      portal.key(0xff14, false, [&] { portal.nudgePointer(0, 0); });
    });
    for (const screencast::Stream& s : portal.streams())
      screen.monitors.push_back({.x = s.x, .y = s.y, .width = s.width, .height = s.height});
    for (int i = 0; i < portal.streams().size(); ++i) {
      QString why;
      const int fd = portal.openPipeWireRemote(&why);
      auto& stream = streams.emplace_back(std::make_unique<screencast::PipeWireStream>());
      stream->onError(fatal);
      stream->onRejectedFrame([](const QString& words) {
        static bool said = false;
        if (!said) report("warning " + words);
        said = true;
      });
      stream->onFrame([&, i](const screencast::Frame& frame) { onFrame(i, frame); });
      if (fd < 0 || !stream->open(fd, portal.streams().at(i).node, &why)) return fatal(why);
    }
    if (const portalvnc::Layout layout = portalvnc::arrange(screen.monitors);
        layout.width > 0 && layout.height > 0)
      startServer(screencast::PixelLayout::Bgrx);
  });

  // KDE's portal gives several monitors without their places, but its one stream is the
  // whole workspace.
  portal.start(tokens.token(), desktop::currentSession().compositor == desktop::Compositor::Kde
                                   ? screencast::PortalSession::Monitors::DesktopsChoice
                                   : screencast::PortalSession::Monitors::EachPicked);
  const int status = app.exec();
  // Clients first (they report leaving), then the stream, then the portal's session.
  server.reset();
  streams.clear();
  portal.close();
  ::close(stopFd);
  return status;
}

// tvl-portal-vnc: the screen of a Wayland session as a VNC server, every monitor in one
// picture. On GNOME and KDE through the desktop portal (the user approves it in the
// desktop's dialog); with --wlroots through a wlroots compositor's own screen copy and
// virtual input (sway and the like). Started by the support session as "OSXvncserver":
//
//   tvl-portal-vnc --unix-socket DIR/vnc.sock --password-file DIR/vnc.pw
//                  --restore-token-file FILE
//   tvl-portal-vnc --wlroots --unix-socket DIR/vnc.sock --password-file DIR/vnc.pw
//
// It reports on stderr, one line each, in the words of mainapp/portalvnc/Report.h, which
// the session reads. SIGTERM ends it cleanly with status 0.
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

#include "common/CommandLine.h"
#include "mainapp/portalvnc/InputQueue.h"
#include "mainapp/portalvnc/Layout.h"
#include "mainapp/portalvnc/PortalSource.h"
#include "mainapp/portalvnc/Report.h"
#include "mainapp/portalvnc/VncServer.h"
#include "mainapp/portalvnc/WlrootsSource.h"
#include "platform/system/Files.h"

using namespace tvl;
using namespace tvl::portalvnc;

namespace {

using report::kExitError;
using report::kExitRefused;
using report::kExitUsage;
constexpr char kUsage[] =
    "tvl-portal-vnc --unix-socket PATH --password-file FILE --restore-token-file FILE\n"
    "       tvl-portal-vnc --wlroots --unix-socket PATH --password-file FILE";

// One report line: a word of Report.h, then what goes with it.
void say(std::string_view word, const QString& rest = {}) {
  const QByteArray tail = rest.isEmpty() ? QByteArray() : " " + rest.toUtf8();
  std::fprintf(stderr, "%.*s%.*s%s\n", int(report::kPrefix.size()), report::kPrefix.data(),
               int(word.size()), word.data(), tail.constData());
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
    const QByteArray bytes = token.toLatin1() + '\n';
    if (system::writePrivateFile(QFile::encodeName(path_).toStdString(), bytes.toStdString(), 0600,
                                 system::Existing::Replace) == 0)
      token_ = token;
  }

 private:
  QString path_, token_;
};

// Said once: input the full queue refused.
void warnDropped(const portalvnc::InputQueue& input) {
  static bool said = false;
  if (said || input.dropped() == 0) return;
  say(report::kWarning,
      QStringLiteral("input came faster than the desktop takes it, and some was dropped"));
  said = true;
}

struct Options {
  QString socket, passwordFile, tokenFile;
  bool wlroots = false;
};

std::optional<Options> parse(QStringList args) {
  Options o;
  if (args.size() > 1 && args[1] == "--wlroots") {
    o.wlroots = true;
    args.removeAt(1);
  }
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
  // The portal's restore token is the portal's alone.
  if (args.size() % 2 == 0 || o.socket.isEmpty() || o.passwordFile.isEmpty() ||
      o.tokenFile.isEmpty() != o.wlroots)
    return std::nullopt;
  return o;
}

const commandline::About kAbout{
    "tvl-portal-vnc", kUsage,
    "The screen of a Wayland session as a VNC server, every monitor in one picture: on\n"
    "GNOME and KDE through the desktop portal (you allow it in your desktop's dialog) and\n"
    "PipeWire, with --wlroots through a wlroots compositor's own screen copy and virtual\n"
    "input (sway and the like). Mac Tovalo starts it for a support session; it serves on\n"
    "the Unix socket PATH, with the password on the first line of FILE (read once, then\n"
    "deleted), and keeps the portal's restore token in the third file. It reports on\n"
    "standard error; SIGTERM ends it.\n\n"
    "Exit status: 0 ended by a signal, 1 an error, 2 wrong arguments, 3 the desktop refused.\n"};

}  // namespace

int main(int argc, char** argv) {
  if (auto status = commandline::answer(argc, argv, kAbout)) return *status;
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
    std::fprintf(stderr, "Usage: %s\n", kUsage);
    return kExitUsage;
  }
  QString error;
  const auto password = takePassword(options->passwordFile, &error);
  TokenFile tokens;
  if (!password || (!options->wlroots && !tokens.open(options->tokenFile, &error))) {
    say(report::kError, error);
    return kExitUsage;
  }

  const int stopFd = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
  QSocketNotifier stopNotifier(stopFd, QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&] { app.exit(0); });

  std::unique_ptr<portalvnc::ScreenSource> source;
  if (options->wlroots)
    source = std::make_unique<portalvnc::WlrootsSource>();
  else
    source = std::make_unique<portalvnc::PortalSource>(
        tokens.token(), [&](const QString& token) { tokens.save(token); });
  std::vector<portalvnc::Monitor> monitors;
  portalvnc::Layout layout;
  std::unique_ptr<portalvnc::VncServer> server;
  portalvnc::InputQueue input([&](const portalvnc::InputEvent& e) {
    const portalvnc::Target at = e.kind == portalvnc::InputEvent::Kind::Motion
                                     ? portalvnc::locate(layout, monitors, e.x, e.y)
                                     : portalvnc::Target{};
    source->send(e, at, [&input] { input.answered(); });
  });
  auto fatal = [&](const QString& words) {
    say(report::kError, words);
    app.exit(kExitError);
  };

  // The server starts once the monitors are known, the picture laid out at the sizes the
  // desktop gave (with the first frame where it gave none): frames fill it in as they
  // come. A compositor may send none until its screen changes (kwin 5.27's virtual
  // outputs send none at all), and input must not wait for them.
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
    events.joined = [] { say(report::kClientJoined); };
    events.left = [](int left) { say(report::kClientLeft, QString::number(left)); };
    layout = portalvnc::arrange(monitors);
    server = std::make_unique<portalvnc::VncServer>(*password, std::move(events));
    QString why;
    if (!server->start(options->socket, layout.width, layout.height, pixels, &why)) {
      server.reset();
      return fatal(why);
    }
    say(report::kServing);
  };

  portalvnc::ScreenSource::Handlers handlers;
  handlers.approvalPending = [] { say(report::kApprovalPending); };
  handlers.refused = [&](std::string_view code, const QString& words) {
    say(report::kRefused, QString::fromLatin1(code.data(), qsizetype(code.size())) + " " + words);
    app.exit(kExitRefused);
  };
  handlers.failed = fatal;
  handlers.viewOnly = [] { say(report::kViewOnly); };
  handlers.warning = [](const QString& words) { say(report::kWarning, words); };
  handlers.started = [&](const std::vector<portalvnc::Monitor>& shared) {
    monitors = shared;
    if (const portalvnc::Layout l = portalvnc::arrange(monitors); l.width > 0 && l.height > 0)
      startServer(screencast::PixelLayout::Bgrx);
  };
  // Each monitor's frames at its place in the picture; a monitor whose frames come in
  // another size than the picture has for it (scaled, or its mode changed) spreads it.
  handlers.frame = [&](int i, const screencast::Frame& frame) {
    if (i < 0 || size_t(i) >= monitors.size()) return;
    portalvnc::Monitor& monitor = monitors[size_t(i)];
    const bool resized = frame.width != monitor.frameWidth || frame.height != monitor.frameHeight;
    monitor.frameWidth = frame.width;
    monitor.frameHeight = frame.height;
    if (!server) {
      startServer(frame.layout);
      if (!server) return;
    } else if (portalvnc::Layout next = portalvnc::arrange(monitors); resized && next != layout) {
      std::vector<portalvnc::VncServer::Move> moves;
      for (size_t j = 0; j < next.placed.size(); ++j)
        if (int(j) != i) moves.push_back({layout.placed[j], next.placed[j].x, next.placed[j].y});
      server->resize(next.width, next.height, moves);
      layout = std::move(next);
    }
    const portalvnc::Rect& at = layout.placed.at(size_t(i));
    server->update(frame, at.x, at.y);
  };

  // From the event loop: a source that refuses at once ends it, which it can only once it
  // runs.
  QTimer::singleShot(0, &app, [&] { source->start(std::move(handlers)); });
  const int status = app.exec();
  // Clients first (they report leaving, their held keys are released), then the screen.
  server.reset();
  source->stop();
  ::close(stopFd);
  return status;
}

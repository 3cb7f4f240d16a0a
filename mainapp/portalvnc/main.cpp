// tvl-portal-vnc: the screen of a GNOME or KDE Wayland session as a VNC server, through
// the desktop portal (the user approves it once in the desktop's dialog). Started by the
// support session as "OSXvncserver":
//
//   tvl-portal-vnc --unix-socket DIR/vnc.sock --password-file DIR/vnc.pw
//                  --restore-token-file FILE
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
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "common/CommandLine.h"
#include "mainapp/portalvnc/Report.h"
#include "mainapp/portalvnc/VncServer.h"
#include "platform/screencast/PipeWireStream.h"
#include "platform/screencast/PortalSession.h"
#include "platform/system/Files.h"

using namespace tvl;
using namespace tvl::portalvnc;

namespace {

using report::kExitError;
using report::kExitRefused;
using report::kExitUsage;
constexpr char kUsage[] =
    "tvl-portal-vnc --unix-socket PATH --password-file FILE --restore-token-file FILE";

// One report line: a word of Report.h, then what goes with it.
void say(std::string_view word, const QString& rest = {}) {
  const QByteArray tail = rest.isEmpty() ? QByteArray() : " " + rest.toUtf8();
  std::fprintf(stderr, "%.*s%.*s%s\n", int(report::kPrefix.size()), report::kPrefix.data(),
               int(word.size()), word.data(), tail.constData());
  std::fflush(stderr);
}

std::string_view refusalCode(screencast::PortalSession::Refusal why) {
  using R = screencast::PortalSession::Refusal;
  switch (why) {
    case R::Declined:
      return report::kDeclined;
    case R::NotAllowed:
    case R::EndedEarly:
      return report::kNotAllowed;
    case R::NoPortal:
      return report::kNoPortal;
    case R::NoBus:
      return report::kNoBus;
    case R::PortalFailed:
    case R::NoSession:
      return report::kPortalFailed;
    case R::NoScreen:
      return report::kNoScreen;
  }
  return report::kPortalFailed;
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

// Input for the portal, spaced out: mutter 43 dropped about half of the keys and clicks
// that came back to back (a VNC viewer sends a key's press and release, a click's
// motion, press and release, in one go). 20 ms apart all arrived on an idle machine; on
// a loaded one 30 ms still lost a key now and then, so 50 (ten keys a second, faster
// than people type). Motions waiting in the queue are merged, so a drag does not lag.
class InputPacer {
 public:
  static constexpr int kGapMs = 50;
  InputPacer() {
    timer_.setInterval(kGapMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { next(); });
  }
  void push(std::function<void()> event, bool motion = false) {
    if (motion && !queue_.empty() && queue_.back().motion) {
      queue_.back().send = std::move(event);
    } else {
      queue_.push_back({std::move(event), motion});
    }
    if (!timer_.isActive()) next();
  }

 private:
  void next() {
    if (queue_.empty()) {
      timer_.stop();
      return;
    }
    auto e = std::move(queue_.front());
    queue_.pop_front();
    e.send();
    timer_.start();
  }
  struct Event {
    std::function<void()> send;
    bool motion = false;
  };
  std::deque<Event> queue_;
  QTimer timer_;
};

// A VNC pointer event as the portal's: absolute motion, buttons by Linux input code,
// the wheel's buttons 4-7 as discrete steps.
class PointerState {
 public:
  void apply(InputPacer& input, screencast::PortalSession& portal, const screencast::Stream& stream,
             int fbWidth, int fbHeight, int mask, int x, int y) {
    auto* p = &portal;
    // A client may send any 16-bit position; the desktop gets one on the screen.
    x = std::clamp(x, 0, std::max(fbWidth - 1, 0));
    y = std::clamp(y, 0, std::max(fbHeight - 1, 0));
    if (x != x_ || y != y_) {
      // The portal takes positions in the stream's size, which may differ from the
      // frames' (a scaled monitor).
      const double sx = stream.width > 0 && fbWidth > 0 ? double(stream.width) / fbWidth : 1;
      const double sy = stream.height > 0 && fbHeight > 0 ? double(stream.height) / fbHeight : 1;
      const double px = x * sx, py = y * sy;
      const std::uint32_t node = stream.node;
      input.push([p, node, px, py] { p->movePointer(node, px, py); }, true);
      x_ = x;
      y_ = y;
    }
    static constexpr int kButtons[3] = {0x110, 0x112, 0x111};  // left, middle, right
    for (int i = 0; i < 3; ++i) {
      if ((mask ^ mask_) & (1 << i)) {
        const bool down = mask & (1 << i);
        input.push([p, i, down] { p->pointerButton(kButtons[i], down); });
      }
    }
    const int pressed = mask & ~mask_;
    for (int bit = 3; bit <= 6; ++bit) {
      if (!(pressed & (1 << bit))) continue;
      // Buttons 4/5: up/down, 6/7: left/right, one step each.
      const bool horizontal = bit >= 5;
      const int steps = (bit == 3 || bit == 5) ? -1 : 1;
      input.push([p, horizontal, steps] { p->scroll(horizontal, steps); });
    }
    mask_ = mask;
  }

 private:
  int x_ = -1, y_ = -1, mask_ = 0;
};

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

const commandline::About kAbout{
    "tvl-portal-vnc", kUsage,
    "The screen of a GNOME or KDE Wayland session as a VNC server, through the desktop\n"
    "portal (you allow it in your desktop's dialog) and PipeWire. Mac Tovalo starts it for\n"
    "a support session; it serves on the Unix socket PATH, with the password on the first\n"
    "line of FILE (read once, then deleted), and keeps the portal's restore token in the\n"
    "third file. It reports on standard error; SIGTERM ends it.\n\n"
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
  if (!password || !tokens.open(options->tokenFile, &error)) {
    say(report::kError, error);
    return kExitUsage;
  }

  const int stopFd = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
  QSocketNotifier stopNotifier(stopFd, QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&] { app.exit(0); });

  screencast::PortalSession portal;
  screencast::PipeWireStream stream;
  std::unique_ptr<portalvnc::VncServer> server;
  PointerState pointer;
  InputPacer input;
  auto fatal = [&](const QString& words) {
    say(report::kError, words);
    app.exit(kExitError);
  };

  QObject::connect(&portal, &screencast::PortalSession::approvalPending, &app,
                   [] { say(report::kApprovalPending); });
  QObject::connect(&portal, &screencast::PortalSession::refused, &app,
                   [&](screencast::PortalSession::Refusal why, const QString& words) {
                     const std::string_view code = refusalCode(why);
                     say(report::kRefused,
                         QString::fromLatin1(code.data(), qsizetype(code.size())) + " " + words);
                     app.exit(kExitRefused);
                   });
  QObject::connect(&portal, &screencast::PortalSession::closed, &app,
                   [&] { fatal(QStringLiteral("the desktop ended the screen sharing")); });
  QObject::connect(&portal, &screencast::PortalSession::started, &app, [&] {
    tokens.save(portal.restoreToken());
    if (!portal.inputAllowed()) say(report::kViewOnly);
    // Mutter makes its virtual keyboard and pointer at their first event, and lost that
    // event (and, on a loaded machine, the next ones): make both now with harmless
    // events, long before a supporter types or clicks. The key is Scroll Lock, which
    // changes nothing a supporter types: a Shift whose release was lost (seen on a loaded
    // machine) held Shift for the whole session.
    portal.key(0xff14, true);  // Scroll_Lock
    portal.key(0xff14, false);
    portal.nudgePointer(0, 0);
    QString why;
    const int fd = portal.openPipeWireRemote(&why);
    if (fd < 0 || !stream.open(fd, portal.streams().first().node, &why)) fatal(why);
  });

  stream.onError(fatal);
  stream.onRejectedFrame([](const QString& words) {
    static bool said = false;
    if (!said) say(report::kWarning, words);
    said = true;
  });
  stream.onFrame([&](const screencast::Frame& frame) {
    if (server) {
      server->update(frame);
      return;
    }
    portalvnc::VncServer::Events events;
    events.pointer = [&](int mask, int x, int y) {
      pointer.apply(input, portal, portal.streams().first(), server->width(), server->height(),
                    mask, x, y);
    };
    events.key = [&](bool down, std::uint32_t keysym) {
      input.push([&portal, down, keysym] { portal.key(keysym, down); });
    };
    events.joined = [] { say(report::kClientJoined); };
    events.left = [](int left) { say(report::kClientLeft, QString::number(left)); };
    server = std::make_unique<portalvnc::VncServer>(*password, std::move(events));
    QString why;
    if (!server->start(options->socket, frame, &why)) {
      fatal(why);
      return;
    }
    say(report::kServing);
  });

  portal.start(tokens.token());
  const int status = app.exec();
  // Clients first (they report leaving), then the stream, then the portal's session.
  server.reset();
  stream.close();
  portal.close();
  ::close(stopFd);
  return status;
}

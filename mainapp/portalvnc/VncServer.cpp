#include "mainapp/portalvnc/VncServer.h"

#include "mainapp/portalvnc/Report.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFile>
#include <QSocketNotifier>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace tvl::portalvnc {

struct VncServer::Client {
  VncServer* server = nullptr;
  int id = 0;
  bool authenticated = false;
  std::unique_ptr<QSocketNotifier> notifier;
};

namespace {

// libvncserver's chatter stays out of the lines the session reads; its errors keep a
// prefix that no report line has.
void quietLog(const char*, ...) {}
void errorLog(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  // Said for every client of a Unix socket, where there is no TCP to tune.
  if (std::strstr(text, "TCP_NODELAY")) return;
  std::fprintf(stderr, "%.*svnc: %s", int(report::kPrefix.size()), report::kPrefix.data(), text);
}

}  // namespace

VncServer::VncServer(std::string password, Events events)
    : password_(std::move(password)), events_(std::move(events)) {
  rfbLog = quietLog;
  rfbErr = errorLog;
  passwords_ = {password_.data(), nullptr};
}

VncServer::~VncServer() {
  listener_.reset();
  if (screen_) {
    // Ends every client (clientGone runs for each) and frees the screen.
    rfbShutdownServer(screen_, TRUE);
    rfbScreenCleanup(screen_);
  }
  if (listenFd_ >= 0) ::close(listenFd_);
  if (!socketPath_.isEmpty()) QFile::remove(socketPath_);
}

void VncServer::setFormat(screencast::PixelLayout layout) {
  layout_ = layout;
  // The frames' bytes go to the framebuffer unchanged; the format says where each colour
  // sits in a little-endian 32-bit pixel, and libvncserver translates for each client.
  rfbPixelFormat& f = screen_->serverFormat;
  f.redShift = layout == screencast::PixelLayout::Bgrx ? 16 : 0;
  f.greenShift = 8;
  f.blueShift = layout == screencast::PixelLayout::Bgrx ? 0 : 16;
  f.redMax = f.greenMax = f.blueMax = 255;
  rfbClientIteratorPtr it = rfbGetClientIterator(screen_);
  while (rfbClientPtr cl = rfbClientIteratorNext(it)) rfbSetTranslateFunction(cl);
  rfbReleaseClientIterator(it);
}

bool VncServer::start(const QString& socketPath, int width, int height,
                      screencast::PixelLayout layout, QString* error) {
  const QByteArray path = QFile::encodeName(socketPath);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (size_t(path.size()) >= sizeof addr.sun_path) {
    *error = QStringLiteral("the socket's path is too long");
    return false;
  }
  std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // Only the owner may connect, whatever the folder's mode.
  const mode_t old = ::umask(0177);
  const bool bound =
      listenFd_ >= 0 && ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::umask(old);
  if (!bound || ::listen(listenFd_, 8) != 0) {
    *error = QStringLiteral("the socket %1 could not be opened: %2")
                 .arg(socketPath, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  }
  socketPath_ = socketPath;

  width_ = width;
  height_ = height;
  screen_ = rfbGetScreen(nullptr, nullptr, width_, height_, 8, 3, 4);
  if (!screen_) {
    *error = QStringLiteral("the VNC server could not be set up");
    return false;
  }
  framebuffer_.assign(size_t(width_) * size_t(height_) * 4, 0);
  screen_->frameBuffer = framebuffer_.data();
  screen_->desktopName = "Screen";
  // No listening of its own: clients come through the Unix socket above.
  screen_->autoPort = FALSE;
  screen_->port = 0;
  screen_->ipv6port = 0;
  screen_->httpPort = 0;
  screen_->alwaysShared = TRUE;
  // Updates go out as soon as a frame is in; frames come only when the screen changes.
  screen_->deferUpdateTime = 0;
  screen_->authPasswdData = passwords_.data();
  screen_->passwordCheck = checkPassword;
  screen_->newClientHook = newClient;
  screen_->screenData = this;
  screen_->ptrAddEvent = [](int mask, int x, int y, rfbClientPtr cl) {
    auto* c = static_cast<Client*>(cl->clientData);
    if (c->server->events_.pointer) c->server->events_.pointer(c->id, mask, x, y);
  };
  screen_->kbdAddEvent = [](rfbBool down, rfbKeySym keysym, rfbClientPtr cl) {
    auto* c = static_cast<Client*>(cl->clientData);
    if (c->server->events_.key) c->server->events_.key(c->id, down, std::uint32_t(keysym));
  };
  // The desktop draws the pointer into the picture.
  screen_->cursor = nullptr;
  rfbInitServer(screen_);
  setFormat(layout);

  listener_ = std::make_unique<QSocketNotifier>(listenFd_, QSocketNotifier::Read);
  connect(listener_.get(), &QSocketNotifier::activated, this, &VncServer::accept);
  return true;
}

void VncServer::accept() {
  int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  // libvncserver takes the descriptor, speaks the handshake and calls newClient.
  if (!rfbNewClient(screen_, fd)) ::close(fd);
  process();
}

enum rfbNewClientAction VncServer::newClient(rfbClientPtr cl) {
  auto* self = static_cast<VncServer*>(cl->screen->screenData);
  auto* c = new Client;  // owned by cl->clientData until clientGone
  c->server = self;
  c->id = ++self->lastClient_;
  c->notifier = std::make_unique<QSocketNotifier>(cl->sock, QSocketNotifier::Read);
  connect(c->notifier.get(), &QSocketNotifier::activated, self, &VncServer::process);
  cl->clientData = c;
  cl->clientGoneHook = clientGone;
  return RFB_CLIENT_ACCEPT;
}

void VncServer::clientGone(rfbClientPtr cl) {
  std::unique_ptr<Client> c(static_cast<Client*>(cl->clientData));
  cl->clientData = nullptr;
  if (!c) return;
  // The notifier may be the one whose signal runs now.
  c->notifier->setEnabled(false);
  c->notifier.release()->deleteLater();
  VncServer* self = c->server;
  if (self->events_.gone) self->events_.gone(c->id);
  if (c->authenticated) {
    --self->joined_;
    if (self->events_.left) self->events_.left(self->joined_);
  }
}

rfbBool VncServer::checkPassword(rfbClientPtr cl, const char* response, int len) {
  if (!rfbCheckPasswordByList(cl, response, len)) return FALSE;
  auto* c = static_cast<Client*>(cl->clientData);
  if (c && !c->authenticated) {
    c->authenticated = true;
    ++c->server->joined_;
    if (c->server->events_.joined) c->server->events_.joined();
  }
  return TRUE;
}

void VncServer::process() {
  // Reads what the clients sent (input, update requests), sends pending updates and
  // drops clients that went away; never waits.
  if (screen_) rfbProcessEvents(screen_, 0);
}

void VncServer::update(const screencast::Frame& frame, int atX, int atY) {
  if (!screen_ || atX < 0 || atY < 0) return;
  const int w = std::min(frame.width, width_ - atX), h = std::min(frame.height, height_ - atY);
  if (w <= 0 || h <= 0) return;
  // A monitor whose frames put red and blue the other way round than the picture.
  const bool swap = frame.layout != layout_;
  std::vector<std::uint8_t> converted(swap ? size_t(w) * 4 : 0);
  const size_t rowBytes = size_t(w) * 4;
  // Only the rows and columns that changed are marked, so a still screen sends nothing.
  int top = -1, bottom = -1, left = w, right = -1;
  for (int y = 0; y < h; ++y) {
    const auto* src = frame.pixels + size_t(y) * size_t(frame.stride);
    if (swap) {
      for (size_t i = 0; i < rowBytes; i += 4) {
        converted[i] = src[i + 2];
        converted[i + 1] = src[i + 1];
        converted[i + 2] = src[i];
        converted[i + 3] = src[i + 3];
      }
      src = converted.data();
    }
    auto* dst = reinterpret_cast<std::uint8_t*>(framebuffer_.data()) +
                (size_t(atY + y) * size_t(width_) + size_t(atX)) * 4;
    if (std::memcmp(src, dst, rowBytes) == 0) continue;
    if (top < 0) top = y;
    bottom = y;
    auto same = [&](int x) { return std::memcmp(src + 4 * x, dst + 4 * x, 4) == 0; };
    int l = 0;
    while (l < w && same(l)) ++l;
    int r = w - 1;
    while (r > l && same(r)) --r;
    left = std::min(left, l);
    right = std::max(right, r);
    std::memcpy(dst, src, rowBytes);
  }
  if (top >= 0)
    rfbMarkRectAsModified(screen_, atX + left, atY + top, atX + right + 1, atY + bottom + 1);
  process();
}

void VncServer::resize(int width, int height, const std::vector<Move>& moves) {
  if (!screen_ || width <= 0 || height <= 0) return;
  std::vector<char> fresh(size_t(width) * size_t(height) * 4, 0);
  for (const Move& m : moves) {
    const int w = std::min({m.from.width, width_ - m.from.x, width - m.toX});
    const int h = std::min({m.from.height, height_ - m.from.y, height - m.toY});
    if (m.from.x < 0 || m.from.y < 0 || m.toX < 0 || m.toY < 0 || w <= 0 || h <= 0) continue;
    for (int y = 0; y < h; ++y)
      std::memcpy(
          fresh.data() + (size_t(m.toY + y) * size_t(width) + size_t(m.toX)) * 4,
          framebuffer_.data() + (size_t(m.from.y + y) * size_t(width_) + size_t(m.from.x)) * 4,
          size_t(w) * 4);
  }
  width_ = width;
  height_ = height;
  rfbNewFramebuffer(screen_, fresh.data(), width_, height_, 8, 3, 4);
  framebuffer_.swap(fresh);
  setFormat(layout_);
  process();
}

}  // namespace tvl::portalvnc

// The VNC side of tvl-portal-vnc: libvncserver with VNC password authentication,
// reachable only through a Unix socket, driven from the Qt event loop (no threads: the
// frames, the clients and the portal all live on one loop).
#pragma once

#include <rfb/rfb.h>

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mainapp/portalvnc/Layout.h"
#include "platform/screencast/PipeWireStream.h"

class QSocketNotifier;

namespace tvl::portalvnc {

class VncServer : public QObject {
  Q_OBJECT
 public:
  // Clients are told apart by a number of their own, never used again.
  struct Events {
    std::function<void(int client, int buttonMask, int x, int y)> pointer;
    std::function<void(int client, bool down, std::uint32_t keysym)> key;
    std::function<void()> joined;          // a client passed authentication
    std::function<void(int left)> left;    // an authenticated client left; left remain
    std::function<void(int client)> gone;  // any client went, before left is said
  };

  VncServer(std::string password, Events events);
  ~VncServer() override;

  // Makes a black picture of width x height, its pixels laid out as layout says (frames
  // laid out otherwise are converted), and listens on socketPath.
  bool start(const QString& socketPath, int width, int height, screencast::PixelLayout layout,
             QString* error);
  // Puts a frame into the picture with its top left corner at (x, y), cut to the
  // picture; only the part that changed goes to the clients.
  void update(const screencast::Frame& frame, int x, int y);
  // Gives the picture a new size (clients that can take it get it); each move takes a
  // part of the old picture to its place in the new one, the rest is black.
  struct Move {
    Rect from;
    int toX = 0, toY = 0;
  };
  void resize(int width, int height, const std::vector<Move>& moves);

  int width() const { return width_; }
  int height() const { return height_; }

  struct Client;

 private:
  void accept();
  void process();
  void setFormat(screencast::PixelLayout layout);
  static rfbBool checkPassword(rfbClientPtr cl, const char* response, int len);
  static enum rfbNewClientAction newClient(rfbClientPtr cl);
  static void clientGone(rfbClientPtr cl);

  std::string password_;
  std::vector<char*> passwords_;
  Events events_;
  rfbScreenInfoPtr screen_ = nullptr;
  std::vector<char> framebuffer_;
  int width_ = 0, height_ = 0;
  screencast::PixelLayout layout_ = screencast::PixelLayout::Bgrx;
  int listenFd_ = -1;
  QString socketPath_;
  std::unique_ptr<QSocketNotifier> listener_;
  int joined_ = 0;
  int lastClient_ = 0;
};

}  // namespace tvl::portalvnc

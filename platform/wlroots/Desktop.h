// The screen and input of a wlroots compositor (sway and the like), for a VNC server of
// our own: every output copied into shared memory through the compositor's screen copy
// protocol whenever it changed, and input through a virtual pointer and keyboard. Driven
// from the Qt event loop by the Wayland connection's descriptor: no threads.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/screencast/Frame.h"

class QSocketNotifier;

namespace tvl::wlroots {

struct Output {
  std::string name;
  int x = 0, y = 0, width = 0, height = 0;  // its place and size in the layout (logical)
};

class Desktop : public QObject {
  Q_OBJECT
 public:
  using FrameHandler = std::function<void(int output, const screencast::Frame&)>;
  using ErrorHandler = std::function<void(const QString&)>;

  Desktop();
  ~Desktop() override;

  // Connects to the compositor of WAYLAND_DISPLAY and learns its outputs; false with
  // words when it cannot be shared this way.
  bool open(QString* error);
  // The outputs when the connection was opened; outputs added later are not followed.
  const std::vector<Output>& outputs() const;

  void onFrame(FrameHandler h);
  // The compositor went away or refused a request.
  void onError(ErrorHandler h);
  // Copies every output now, then each whenever it changed, at most 30 times a second.
  void startCapture();

  // Input. Positions are in the layout's logical coordinates.
  void movePointer(double x, double y);
  void button(std::uint32_t evdevButton, bool pressed);
  void scroll(bool horizontal, int steps);
  // Keys by keysym, pressed on a keymap of our own; false when it has no key for it.
  bool key(std::uint32_t keysym, bool pressed);

  struct Impl;

 private:
  void dispatch();

  std::unique_ptr<Impl> d_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace tvl::wlroots

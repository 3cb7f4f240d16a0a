// One video stream of a PipeWire remote (the screen cast the portal opened), read on
// the Qt event loop: PipeWire's loop is driven by its file descriptor, so frames arrive
// in the thread that owns this object and no locks are needed.
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/screencast/Frame.h"

class QSocketNotifier;

namespace tvl::screencast {

class PipeWireStream : public QObject {
  Q_OBJECT
 public:
  using FrameHandler = std::function<void(const Frame&)>;
  using ErrorHandler = std::function<void(const QString&)>;

  explicit PipeWireStream(QObject* parent = nullptr);
  ~PipeWireStream() override;

  // Takes over remoteFd (the portal's OpenPipeWireRemote answer) and connects to node;
  // with remoteFd -1, through the user's PipeWire daemon itself (the compositor's own
  // screen cast, which needs no portal).
  bool open(int remoteFd, std::uint32_t node, QString* error);
  // Safe from inside a handler: then it takes effect when the handler has returned.
  void close();

  void onFrame(FrameHandler h) { frameHandler_ = std::move(h); }
  // The stream failed or ended; the words say why.
  void onError(ErrorHandler h) { errorHandler_ = std::move(h); }
  // A frame was dropped because its buffer did not match the negotiated format.
  void onRejectedFrame(ErrorHandler h) { rejectedHandler_ = std::move(h); }
  int rejectedFrames() const { return rejected_; }

  struct Impl;

 private:
  void iterate();

  std::unique_ptr<Impl> d_;
  std::unique_ptr<QSocketNotifier> notifier_;
  FrameHandler frameHandler_;
  ErrorHandler errorHandler_;
  ErrorHandler rejectedHandler_;
  int rejected_ = 0;
  bool iterating_ = false;
};

}  // namespace tvl::screencast

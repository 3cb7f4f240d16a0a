#include "platform/screencast/PipeWireStream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/buffer.h>
#include <spa/param/param.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "platform/screencast/VideoFormat.h"

namespace tvl::screencast {

struct PipeWireStream::Impl {
  PipeWireStream* owner = nullptr;
  pw_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook coreListener{};
  spa_hook streamListener{};
  tvl_pixel_layout layout = TVL_PIXELS_UNKNOWN;
  std::uint32_t width = 0, height = 0;
  bool failed = false;

  void fail(const QString& why) {
    if (failed) return;
    failed = true;
    if (owner->errorHandler_) owner->errorHandler_(why);
  }

  ~Impl() {
    if (stream) pw_stream_destroy(stream);
    if (core) pw_core_disconnect(core);
    if (context) pw_context_destroy(context);
    if (loop) {
      pw_loop_leave(loop);
      pw_loop_destroy(loop);
    }
  }
};

namespace {

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  auto* d = static_cast<PipeWireStream::Impl*>(data);
  if (id != SPA_PARAM_Format || param == nullptr) return;
  tvl_pixel_layout layout;
  std::uint32_t w = 0, h = 0;
  if (tvl_video_format_parse(param, &layout, &w, &h) < 0 || layout == TVL_PIXELS_UNKNOWN ||
      w == 0 || h == 0 || w > 16384 || h > 16384) {
    d->layout = TVL_PIXELS_UNKNOWN;
    d->fail(QStringLiteral("the screen cast offers a picture format this server cannot read"));
    return;
  }
  d->layout = layout;
  d->width = w;
  d->height = h;
  uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[1] = {tvl_video_buffers_offer(&b)};
  pw_stream_update_params(d->stream, params, 1);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto* d = static_cast<PipeWireStream::Impl*>(data);
  if (state == PW_STREAM_STATE_ERROR)
    d->fail(
        QStringLiteral("the screen cast failed: %1").arg(QString::fromUtf8(error ? error : "")));
  else if (state == PW_STREAM_STATE_UNCONNECTED)
    d->fail(QStringLiteral("the screen cast ended"));
}

void onCoreError(void* data, uint32_t id, int, int, const char* message) {
  auto* d = static_cast<PipeWireStream::Impl*>(data);
  if (id == PW_ID_CORE)
    d->fail(QStringLiteral("PipeWire: %1").arg(QString::fromUtf8(message ? message : "")));
}

}  // namespace

PipeWireStream::PipeWireStream(QObject* parent) : QObject(parent) {
  static const bool initialised = [] {
    pw_init(nullptr, nullptr);
    return true;
  }();
  (void)initialised;
}

PipeWireStream::~PipeWireStream() {
  close();
}

void PipeWireStream::close() {
  if (iterating_) {
    QMetaObject::invokeMethod(this, &PipeWireStream::close, Qt::QueuedConnection);
    frameHandler_ = nullptr;
    return;
  }
  notifier_.reset();
  // Ending the stream here is no failure to report.
  if (d_) d_->failed = true;
  d_.reset();
}

bool PipeWireStream::open(int remoteFd, std::uint32_t node, QString* error) {
  close();
  d_ = std::make_unique<Impl>();
  d_->owner = this;
  d_->loop = pw_loop_new(nullptr);
  // Entered for good by this thread: PipeWire's own data thread then hands the stream's
  // events to this loop (and so to the Qt loop) instead of running them itself.
  if (d_->loop) pw_loop_enter(d_->loop);
  d_->context = d_->loop ? pw_context_new(d_->loop, nullptr, 0) : nullptr;
  if (!d_->context) {
    if (remoteFd >= 0) ::close(remoteFd);
    *error = QStringLiteral("PipeWire could not be set up");
    d_.reset();
    return false;
  }
  // The core owns the descriptor from here on, also when it fails.
  d_->core = remoteFd >= 0 ? pw_context_connect_fd(d_->context, remoteFd, nullptr, 0)
                           : pw_context_connect(d_->context, nullptr, 0);
  if (!d_->core) {
    *error = QStringLiteral("the screen cast's PipeWire remote refused the connection");
    d_.reset();
    return false;
  }
  static const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = onCoreError;
    return e;
  }();
  pw_core_add_listener(d_->core, &d_->coreListener, &coreEvents, d_.get());

  d_->stream = pw_stream_new(d_->core, "tvl-screen",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                               "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (!d_->stream) {
    *error = QStringLiteral("a PipeWire stream could not be made");
    d_.reset();
    return false;
  }
  static const pw_stream_events streamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStateChanged;
    e.param_changed = onParamChanged;
    e.process = [](void* data) {
      auto* d = static_cast<Impl*>(data);
      d->owner->iterate();
    };
    return e;
  }();
  pw_stream_add_listener(d_->stream, &d_->streamListener, &streamEvents, d_.get());

  uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[1] = {tvl_video_format_offer(&b)};
  if (pw_stream_connect(
          d_->stream, PW_DIRECTION_INPUT, node,
          static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
          params, 1) < 0) {
    *error = QStringLiteral("the screen cast's stream could not be connected");
    d_.reset();
    return false;
  }
  notifier_ = std::make_unique<QSocketNotifier>(pw_loop_get_fd(d_->loop), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    // Handlers may close the stream; the loop must outlive its own iteration.
    iterating_ = true;
    pw_loop_iterate(d_->loop, 0);
    iterating_ = false;
  });
  return true;
}

// The stream's process event: takes the newest buffer, checks it against the negotiated
// format and hands it on.
void PipeWireStream::iterate() {
  pw_buffer* newest = nullptr;
  while (pw_buffer* b = pw_stream_dequeue_buffer(d_->stream)) {
    if (newest) pw_stream_queue_buffer(d_->stream, newest);
    newest = b;
  }
  if (!newest) return;
  const spa_buffer* buf = newest->buffer;
  bool ok = false;
  Frame f;
  if (d_->layout != TVL_PIXELS_UNKNOWN && buf->n_datas >= 1 && buf->datas[0].data &&
      buf->datas[0].chunk) {
    const spa_data& data = buf->datas[0];
    const spa_chunk& chunk = *data.chunk;
    const std::uint64_t rowBytes = std::uint64_t(d_->width) * 4;
    const std::uint64_t stride = chunk.stride > 0 ? std::uint64_t(chunk.stride) : rowBytes;
    const std::uint64_t need = std::uint64_t(chunk.offset) + stride * (d_->height - 1) + rowBytes;
    if (chunk.size == 0 || (chunk.flags & SPA_CHUNK_FLAG_CORRUPTED)) {
      // No new picture in this buffer (mutter sends some for cursor moves alone).
      pw_stream_queue_buffer(d_->stream, newest);
      return;
    }
    if (stride >= rowBytes && need <= data.maxsize) {
      f.pixels = static_cast<const std::uint8_t*>(data.data) + chunk.offset;
      f.width = int(d_->width);
      f.height = int(d_->height);
      f.stride = int(stride);
      f.layout = d_->layout == TVL_PIXELS_RGBX ? PixelLayout::Rgbx : PixelLayout::Bgrx;
      ok = true;
    }
  }
  if (ok && frameHandler_) {
    frameHandler_(f);
  } else if (!ok) {
    ++rejected_;
    if (rejectedHandler_)
      rejectedHandler_(QStringLiteral("a frame did not match the stream's format and was dropped"));
  }
  pw_stream_queue_buffer(d_->stream, newest);
}

}  // namespace tvl::screencast

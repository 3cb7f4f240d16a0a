#include "platform/wlroots/Desktop.h"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>

#include "platform/wlroots/Keymap.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace tvl::wlroots {

namespace {

// As often as wayvnc sends frames by default.
constexpr int kFrameIntervalMs = 33;
// An output that failed a copy (being switched off, say) is asked again after this.
constexpr int kRetryMs = 1000;

std::uint32_t nowMs() {
  using namespace std::chrono;
  return std::uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

// One output and its copies.
struct Capture {
  Desktop::Impl* d = nullptr;
  int index = 0;
  wl_output* output = nullptr;
  zxdg_output_v1* xdg = nullptr;
  Output info;
  zwlr_screencopy_frame_v1* frame = nullptr;
  bool shmOffered = false, yInvert = false, copiedOnce = false;
  std::uint32_t format = 0, width = 0, height = 0, stride = 0;
  wl_buffer* buffer = nullptr;
  void* data = MAP_FAILED;
  size_t size = 0;
  std::uint32_t lastReady = 0;

  ~Capture() {
    if (frame) zwlr_screencopy_frame_v1_destroy(frame);
    releaseBuffer();
    if (xdg) zxdg_output_v1_destroy(xdg);
    if (output) wl_output_destroy(output);
  }
  void releaseBuffer() {
    if (buffer) wl_buffer_destroy(buffer);
    if (data != MAP_FAILED) munmap(data, size);
    buffer = nullptr;
    data = MAP_FAILED;
    size = 0;
  }
  void capture();
  void copy();
  void ready();
  void failed();
};

struct Desktop::Impl {
  Desktop* owner = nullptr;
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_shm* shm = nullptr;
  wl_seat* seat = nullptr;
  zxdg_output_manager_v1* xdgOutputs = nullptr;
  zwlr_screencopy_manager_v1* screencopy = nullptr;
  std::uint32_t screencopyVersion = 0;
  zwlr_virtual_pointer_manager_v1* pointerManager = nullptr;
  zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
  zwlr_virtual_pointer_v1* pointer = nullptr;
  zwp_virtual_keyboard_v1* keyboard = nullptr;
  std::unique_ptr<Keymap> keymap;
  std::uint32_t heldModifiers = 0;                 // the modifier keys held down
  std::map<std::uint32_t, std::uint32_t> pressed;  // keysym -> the key it pressed
  std::vector<std::unique_ptr<Capture>> captures;
  std::vector<Output> outputs;
  FrameHandler frameHandler;
  ErrorHandler errorHandler;
  bool failed = false;

  void fail(const QString& why) {
    if (failed) return;
    failed = true;
    if (errorHandler) errorHandler(why);
  }
  void flush() {
    if (display) wl_display_flush(display);
  }

  ~Impl() {
    captures.clear();
    if (keyboard) zwp_virtual_keyboard_v1_destroy(keyboard);
    if (pointer) zwlr_virtual_pointer_v1_destroy(pointer);
    if (keyboardManager) zwp_virtual_keyboard_manager_v1_destroy(keyboardManager);
    if (pointerManager) zwlr_virtual_pointer_manager_v1_destroy(pointerManager);
    if (screencopy) zwlr_screencopy_manager_v1_destroy(screencopy);
    if (xdgOutputs) zxdg_output_manager_v1_destroy(xdgOutputs);
    if (seat) wl_seat_destroy(seat);
    if (shm) wl_shm_destroy(shm);
    if (registry) wl_registry_destroy(registry);
    if (display) wl_display_disconnect(display);
  }
};

namespace {

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
              uint32_t version) {
  auto* d = static_cast<Desktop::Impl*>(data);
  auto bind = [&](const wl_interface* i, uint32_t most) {
    return wl_registry_bind(registry, name, i, std::min(version, most));
  };
  if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    d->shm = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
  } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && !d->seat) {
    d->seat = static_cast<wl_seat*>(bind(&wl_seat_interface, 1));
  } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
    auto c = std::make_unique<Capture>();
    c->d = d;
    c->index = int(d->captures.size());
    c->output = static_cast<wl_output*>(bind(&wl_output_interface, 3));
    d->captures.push_back(std::move(c));
  } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
    d->xdgOutputs =
        static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3));
  } else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0) {
    d->screencopyVersion = std::min(version, 3u);
    d->screencopy =
        static_cast<zwlr_screencopy_manager_v1*>(bind(&zwlr_screencopy_manager_v1_interface, 3));
  } else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
    d->pointerManager = static_cast<zwlr_virtual_pointer_manager_v1*>(
        bind(&zwlr_virtual_pointer_manager_v1_interface, 1));
  } else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
    d->keyboardManager = static_cast<zwp_virtual_keyboard_manager_v1*>(
        bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
  }
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistry = {onGlobal, onGlobalRemove};

const zxdg_output_v1_listener kXdgOutput = {
    [](void* data, zxdg_output_v1*, int32_t x, int32_t y) {
      auto* c = static_cast<Capture*>(data);
      c->info.x = x;
      c->info.y = y;
    },
    [](void* data, zxdg_output_v1*, int32_t w, int32_t h) {
      auto* c = static_cast<Capture*>(data);
      c->info.width = w;
      c->info.height = h;
    },
    [](void*, zxdg_output_v1*) {},
    [](void* data, zxdg_output_v1*, const char* name) {
      static_cast<Capture*>(data)->info.name = name ? name : "";
    },
    [](void*, zxdg_output_v1*, const char*) {},
};

bool readable(uint32_t format) {
  return format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888 ||
         format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888;
}

const zwlr_screencopy_frame_v1_listener kFrame = {
    // buffer: a shared-memory buffer the compositor can copy into
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t w, uint32_t h,
       uint32_t stride) {
      auto* c = static_cast<Capture*>(data);
      if (!readable(format) || w == 0 || h == 0 || w > 16384 || h > 16384 || stride < w * 4) return;
      c->shmOffered = true;
      c->format = format;
      c->width = w;
      c->height = h;
      c->stride = stride;
      if (c->d->screencopyVersion < 3) c->copy();
    },
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
      static_cast<Capture*>(data)->yInvert = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
    },
    [](void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
      static_cast<Capture*>(data)->ready();
    },
    [](void* data, zwlr_screencopy_frame_v1*) { static_cast<Capture*>(data)->failed(); },
    // damage: the picture's own comparison finds what changed
    [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {},
    // linux_dmabuf: not used, shared memory is all a server without a GPU can read
    [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {},
    // buffer_done
    [](void* data, zwlr_screencopy_frame_v1*) { static_cast<Capture*>(data)->copy(); },
};

}  // namespace

void Capture::capture() {
  if (d->failed || frame) return;
  shmOffered = false;
  yInvert = false;
  frame = zwlr_screencopy_manager_v1_capture_output(d->screencopy, 1, output);
  zwlr_screencopy_frame_v1_add_listener(frame, &kFrame, this);
  d->flush();
}

void Capture::copy() {
  if (!shmOffered) {
    d->fail(QStringLiteral("the compositor offers no shared-memory copy of its screen"));
    return;
  }
  const size_t need = size_t(stride) * height;
  if (!buffer || need != size) {
    releaseBuffer();
    const int fd = memfd_create("tvl-screen", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(need)) != 0) {
      if (fd >= 0) close(fd);
      d->fail(QStringLiteral("no memory for a copy of the screen"));
      return;
    }
    data = mmap(nullptr, need, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
      close(fd);
      d->fail(QStringLiteral("no memory for a copy of the screen"));
      return;
    }
    size = need;
    wl_shm_pool* pool = wl_shm_create_pool(d->shm, fd, int32_t(need));
    buffer = wl_shm_pool_create_buffer(pool, 0, int32_t(width), int32_t(height), int32_t(stride),
                                       format);
    wl_shm_pool_destroy(pool);
    close(fd);
  }
  // The first copy is made at once; later ones wait until the output changed, so a still
  // screen costs nothing.
  if (copiedOnce && d->screencopyVersion >= 2)
    zwlr_screencopy_frame_v1_copy_with_damage(frame, buffer);
  else
    zwlr_screencopy_frame_v1_copy(frame, buffer);
  d->flush();
}

void Capture::ready() {
  zwlr_screencopy_frame_v1_destroy(frame);
  frame = nullptr;
  copiedOnce = true;
  auto* pixels = static_cast<std::uint8_t*>(data);
  if (yInvert) {
    std::vector<std::uint8_t> row(stride);
    for (std::uint32_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
      std::memcpy(row.data(), pixels + size_t(top) * stride, stride);
      std::memcpy(pixels + size_t(top) * stride, pixels + size_t(bottom) * stride, stride);
      std::memcpy(pixels + size_t(bottom) * stride, row.data(), stride);
    }
  }
  screencast::Frame f;
  f.pixels = pixels;
  f.width = int(width);
  f.height = int(height);
  f.stride = int(stride);
  // XRGB8888 keeps blue in the lowest byte of a little-endian pixel.
  f.layout = (format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888)
                 ? screencast::PixelLayout::Rgbx
                 : screencast::PixelLayout::Bgrx;
  if (d->frameHandler) d->frameHandler(index, f);
  const std::uint32_t since = nowMs() - lastReady;
  lastReady = nowMs();
  QTimer::singleShot(since >= std::uint32_t(kFrameIntervalMs) ? 0 : kFrameIntervalMs - int(since),
                     d->owner, [this] { capture(); });
}

void Capture::failed() {
  zwlr_screencopy_frame_v1_destroy(frame);
  frame = nullptr;
  QTimer::singleShot(kRetryMs, d->owner, [this] { capture(); });
}

Desktop::Desktop() : d_(std::make_unique<Impl>()) {
  d_->owner = this;
}

Desktop::~Desktop() = default;

bool Desktop::open(QString* error) {
  d_->display = wl_display_connect(nullptr);
  if (!d_->display) {
    *error = QStringLiteral("there is no Wayland display to share");
    return false;
  }
  d_->registry = wl_display_get_registry(d_->display);
  wl_registry_add_listener(d_->registry, &kRegistry, d_.get());
  wl_display_roundtrip(d_->display);
  if (!d_->screencopy || !d_->shm || !d_->xdgOutputs) {
    *error = QStringLiteral("this compositor offers no screen copy");
    return false;
  }
  if (d_->captures.empty()) {
    *error = QStringLiteral("this compositor has no screen");
    return false;
  }
  for (auto& c : d_->captures) {
    c->xdg = zxdg_output_manager_v1_get_xdg_output(d_->xdgOutputs, c->output);
    zxdg_output_v1_add_listener(c->xdg, &kXdgOutput, c.get());
  }
  wl_display_roundtrip(d_->display);
  for (const auto& c : d_->captures) d_->outputs.push_back(c->info);

  // Input: a pointer of our own, and a keyboard with a keymap of our own.
  if (d_->pointerManager)
    d_->pointer =
        zwlr_virtual_pointer_manager_v1_create_virtual_pointer(d_->pointerManager, d_->seat);
  if (d_->keyboardManager && d_->seat) d_->keymap = Keymap::load();
  if (d_->keymap) {
    d_->keyboard =
        zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(d_->keyboardManager, d_->seat);
    const std::string& text = d_->keymap->text();
    const int fd = memfd_create("tvl-keymap", MFD_CLOEXEC);
    if (fd >= 0 && write(fd, text.c_str(), text.size() + 1) == ssize_t(text.size() + 1))
      zwp_virtual_keyboard_v1_keymap(d_->keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                     uint32_t(text.size() + 1));
    if (fd >= 0) close(fd);
  }
  if (wl_display_roundtrip(d_->display) < 0) {
    *error = QStringLiteral("the compositor refused the screen's copy or its input");
    return false;
  }
  notifier_ =
      std::make_unique<QSocketNotifier>(wl_display_get_fd(d_->display), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &Desktop::dispatch);
  return true;
}

const std::vector<Output>& Desktop::outputs() const {
  return d_->outputs;
}

void Desktop::onFrame(FrameHandler h) {
  d_->frameHandler = std::move(h);
}

void Desktop::onError(ErrorHandler h) {
  d_->errorHandler = std::move(h);
}

void Desktop::startCapture() {
  for (auto& c : d_->captures) c->capture();
}

void Desktop::dispatch() {
  wl_display* display = d_->display;
  while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
  wl_display_flush(display);
  if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) {
    notifier_->setEnabled(false);
    d_->fail(QStringLiteral("the compositor ended the connection"));
  }
}

void Desktop::movePointer(double x, double y) {
  if (!d_->pointer || d_->outputs.empty()) return;
  // Absolute positions are fractions of the box around every output.
  int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;
  for (const Output& o : d_->outputs) {
    left = std::min(left, o.x);
    top = std::min(top, o.y);
    right = std::max(right, o.x + o.width);
    bottom = std::max(bottom, o.y + o.height);
  }
  if (right <= left || bottom <= top) return;
  const auto px = std::uint32_t(std::clamp(x - left, 0.0, double(right - left - 1)));
  const auto py = std::uint32_t(std::clamp(y - top, 0.0, double(bottom - top - 1)));
  zwlr_virtual_pointer_v1_motion_absolute(d_->pointer, nowMs(), px, py, std::uint32_t(right - left),
                                          std::uint32_t(bottom - top));
  zwlr_virtual_pointer_v1_frame(d_->pointer);
  d_->flush();
}

void Desktop::button(std::uint32_t evdevButton, bool pressed) {
  if (!d_->pointer) return;
  zwlr_virtual_pointer_v1_button(
      d_->pointer, nowMs(), evdevButton,
      pressed ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  zwlr_virtual_pointer_v1_frame(d_->pointer);
  d_->flush();
}

void Desktop::scroll(bool horizontal, int steps) {
  if (!d_->pointer) return;
  // One step of a wheel is 15 units of scrolling in libinput's convention.
  zwlr_virtual_pointer_v1_axis_discrete(
      d_->pointer, nowMs(),
      horizontal ? WL_POINTER_AXIS_HORIZONTAL_SCROLL : WL_POINTER_AXIS_VERTICAL_SCROLL,
      wl_fixed_from_double(15.0 * steps), steps);
  zwlr_virtual_pointer_v1_frame(d_->pointer);
  d_->flush();
}

bool Desktop::key(std::uint32_t keysym, bool pressed) {
  if (!d_->keyboard) return false;
  zwp_virtual_keyboard_v1* kb = d_->keyboard;
  if (!pressed) {
    auto it = d_->pressed.find(keysym);
    if (it == d_->pressed.end()) return false;
    const std::uint32_t key = it->second;
    d_->pressed.erase(it);
    zwp_virtual_keyboard_v1_key(kb, nowMs(), key, WL_KEYBOARD_KEY_STATE_RELEASED);
    if (const std::uint32_t mod = d_->keymap->modifierOf(key)) {
      d_->heldModifiers &= ~mod;
      zwp_virtual_keyboard_v1_modifiers(kb, d_->heldModifiers, 0, 0, 0);
    }
    d_->flush();
    return true;
  }
  const auto press = d_->keymap->find(keysym);
  if (!press) return false;
  if (const std::uint32_t mod = d_->keymap->modifierOf(press->key)) {
    // Shift, Control, Alt...: held until released, as on a real keyboard.
    zwp_virtual_keyboard_v1_key(kb, nowMs(), press->key, WL_KEYBOARD_KEY_STATE_PRESSED);
    d_->heldModifiers |= mod;
    zwp_virtual_keyboard_v1_modifiers(kb, d_->heldModifiers, 0, 0, 0);
  } else {
    // The key's level for this keysym ('A': Shift) with what else is held (Control).
    const std::uint32_t level = d_->keymap->levelModifiers();
    const std::uint32_t wanted = (d_->heldModifiers & ~level) | press->modifiers;
    if (wanted != d_->heldModifiers) zwp_virtual_keyboard_v1_modifiers(kb, wanted, 0, 0, 0);
    zwp_virtual_keyboard_v1_key(kb, nowMs(), press->key, WL_KEYBOARD_KEY_STATE_PRESSED);
    if (wanted != d_->heldModifiers)
      zwp_virtual_keyboard_v1_modifiers(kb, d_->heldModifiers, 0, 0, 0);
  }
  d_->pressed[keysym] = press->key;
  d_->flush();
  return true;
}

}  // namespace tvl::wlroots

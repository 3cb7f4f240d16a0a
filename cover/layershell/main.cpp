// tvl-cover-layer: the desktop cover on Wayland compositors that offer the layer shell
// (wlroots, KDE). One light-grey surface per output on the bottom layer: above the
// wallpaper (which sits on the background layer), below every window. Input passes
// through it. Outputs added later get their surface too; removed ones lose theirs.
// SIGTERM or SIGINT ends it with status 0; TVLDesktop starts and ends it.
//
// Exit statuses: 0 ended by a signal, 1 the compositor went away or failed us,
// 2 no Wayland display, 3 the compositor offers no layer shell.
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>

#include "common/CommandLine.h"

// The generated header names a parameter "namespace", a keyword of C++: renamed while
// it is read (nothing after it uses the word).
#define namespace namespace_
#include "wlr-layer-shell-unstable-v1-client-protocol.h"
#undef namespace

namespace {

// The product's light grey (two thirds of white), as the X11 cover paints it.
constexpr uint32_t kCoverPixel = 0xFFAAAAAA;
constexpr char kNamespace[] = "tvl-cover";

enum ExitStatus { kSignalled = 0, kLost = 1, kNoDisplay = 2, kNoLayerShell = 3 };

template <typename T, void (*Destroy)(T*)>
struct Deleter {
  void operator()(T* p) const {
    if (p) Destroy(p);
  }
};
template <typename T, void (*Destroy)(T*)>
using Handle = std::unique_ptr<T, Deleter<T, Destroy>>;

using Display = Handle<wl_display, wl_display_disconnect>;
using Registry = Handle<wl_registry, wl_registry_destroy>;
using Compositor = Handle<wl_compositor, wl_compositor_destroy>;
using Shm = Handle<wl_shm, wl_shm_destroy>;
using LayerShell = Handle<zwlr_layer_shell_v1, zwlr_layer_shell_v1_destroy>;
using Output = Handle<wl_output, wl_output_destroy>;
using Surface = Handle<wl_surface, wl_surface_destroy>;
using LayerSurface = Handle<zwlr_layer_surface_v1, zwlr_layer_surface_v1_destroy>;
using Buffer = Handle<wl_buffer, wl_buffer_destroy>;
using Region = Handle<wl_region, wl_region_destroy>;
using Pool = Handle<wl_shm_pool, wl_shm_pool_destroy>;

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

struct Cover;

// One output and, once the globals are known, its cover surface.
struct Screen {
  Cover* cover = nullptr;
  uint32_t name = 0;
  Output output;
  Surface surface;
  LayerSurface layer;
  Buffer buffer;
  uint32_t width = 0, height = 0;
};

struct Cover {
  Display display;
  Registry registry;
  Compositor compositor;
  Shm shm;
  LayerShell layerShell;
  std::list<Screen> screens;  // stable addresses: each is a listener's data
  bool ready = false;         // globals known: new outputs are covered at once
  bool failed = false;

  void coverScreen(Screen& s);
  void paint(Screen& s, uint32_t serial, uint32_t width, uint32_t height);
};

// A buffer of the given size filled with the grey, in a memory file handed to the
// compositor; our mapping goes once it is filled.
Buffer greyBuffer(wl_shm* shm, uint32_t width, uint32_t height) {
  const size_t stride = size_t{width} * 4, size = stride * height;
  Fd fd(::memfd_create("tvl-cover", MFD_CLOEXEC));
  if (fd.fd < 0 || ::ftruncate(fd.fd, static_cast<off_t>(size)) != 0) return nullptr;
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.fd, 0);
  if (data == MAP_FAILED) return nullptr;
  auto* pixels = static_cast<uint32_t*>(data);
  for (size_t i = 0; i < size / 4; ++i) pixels[i] = kCoverPixel;
  ::munmap(data, size);
  Pool pool(wl_shm_create_pool(shm, fd.fd, static_cast<int32_t>(size)));
  return Buffer(wl_shm_pool_create_buffer(pool.get(), 0, static_cast<int32_t>(width),
                                          static_cast<int32_t>(height),
                                          static_cast<int32_t>(stride), WL_SHM_FORMAT_XRGB8888));
}

void Cover::paint(Screen& s, uint32_t serial, uint32_t width, uint32_t height) {
  zwlr_layer_surface_v1_ack_configure(s.layer.get(), serial);
  // The compositor configures an output several times; a new buffer only for a new size.
  if (!s.buffer || width != s.width || height != s.height) {
    s.buffer = greyBuffer(shm.get(), width, height);
    if (!s.buffer) {
      std::fprintf(stderr, "tvl-cover-layer: no memory for a %ux%u surface\n", width, height);
      failed = true;
      return;
    }
    s.width = width;
    s.height = height;
  }
  wl_surface_attach(s.surface.get(), s.buffer.get(), 0, 0);
  wl_surface_damage(s.surface.get(), 0, 0, static_cast<int32_t>(width),
                    static_cast<int32_t>(height));
  wl_surface_commit(s.surface.get());
}

const zwlr_layer_surface_v1_listener kLayerListener = {
    .configure =
        [](void* data, zwlr_layer_surface_v1*, uint32_t serial, uint32_t w, uint32_t h) {
          auto* s = static_cast<Screen*>(data);
          if (w == 0 || h == 0) return;  // anchored on all edges: the compositor sizes it
          s->cover->paint(*s, serial, w, h);
        },
    .closed =
        [](void* data, zwlr_layer_surface_v1*) {
          // The output is going; its global's removal drops the output itself.
          auto* s = static_cast<Screen*>(data);
          s->layer.reset();
          s->surface.reset();
          s->buffer.reset();
        },
};

void Cover::coverScreen(Screen& s) {
  if (s.surface) return;
  s.surface.reset(wl_compositor_create_surface(compositor.get()));
  // An empty input region: clicks and touches go to whatever is below.
  Region empty(wl_compositor_create_region(compositor.get()));
  wl_surface_set_input_region(s.surface.get(), empty.get());
  s.layer.reset(
      zwlr_layer_shell_v1_get_layer_surface(layerShell.get(), s.surface.get(), s.output.get(),
                                            ZWLR_LAYER_SHELL_V1_LAYER_BOTTOM, kNamespace));
  zwlr_layer_surface_v1_add_listener(s.layer.get(), &kLayerListener, &s);
  zwlr_layer_surface_v1_set_anchor(
      s.layer.get(), ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
                         ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT);
  zwlr_layer_surface_v1_set_size(s.layer.get(), 0, 0);
  // -1: the whole output, panels included, and nobody moves for it.
  zwlr_layer_surface_v1_set_exclusive_zone(s.layer.get(), -1);
  zwlr_layer_surface_v1_set_keyboard_interactivity(s.layer.get(), 0);
  // The first commit carries no buffer: the compositor answers with a configure.
  wl_surface_commit(s.surface.get());
}

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
              uint32_t version) {
  auto* c = static_cast<Cover*>(data);
  auto bind = [&](const wl_interface* iface, uint32_t upTo) {
    return wl_registry_bind(registry, name, iface, version < upTo ? version : upTo);
  };
  if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    c->compositor.reset(static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4)));
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    c->shm.reset(static_cast<wl_shm*>(bind(&wl_shm_interface, 1)));
  } else if (std::strcmp(interface, zwlr_layer_shell_v1_interface.name) == 0) {
    c->layerShell.reset(static_cast<zwlr_layer_shell_v1*>(bind(&zwlr_layer_shell_v1_interface, 2)));
  } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
    Screen& s = c->screens.emplace_back();
    s.cover = c;
    s.name = name;
    s.output.reset(static_cast<wl_output*>(bind(&wl_output_interface, 1)));
    // Outputs of the first roundtrip wait for it: the layer shell may come after them,
    // and a second surface for one output makes the compositor drop us.
    if (c->ready) c->coverScreen(s);
  }
}

void onGlobalRemove(void* data, wl_registry*, uint32_t name) {
  auto* c = static_cast<Cover*>(data);
  c->screens.remove_if([name](const Screen& s) { return s.name == name; });
}

const wl_registry_listener kRegistryListener = {.global = onGlobal,
                                                .global_remove = onGlobalRemove};

// Dispatches the compositor's events until a signal arrives. wl_display_dispatch() would
// retry its poll on EINTR and never let a signal end the program, so the signals come
// through a descriptor polled beside the display's.
int run(Cover& c, int signals) {
  wl_display* d = c.display.get();
  while (!c.failed) {
    while (wl_display_prepare_read(d) != 0) {
      if (wl_display_dispatch_pending(d) < 0) return kLost;
    }
    if (wl_display_flush(d) < 0 && errno != EAGAIN) {
      wl_display_cancel_read(d);
      return kLost;
    }
    pollfd fds[2] = {{wl_display_get_fd(d), POLLIN, 0}, {signals, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      wl_display_cancel_read(d);
      if (errno == EINTR) continue;
      return kLost;
    }
    if (fds[1].revents & POLLIN) {
      wl_display_cancel_read(d);
      return kSignalled;
    }
    if (fds[0].revents & (POLLERR | POLLHUP)) {
      wl_display_cancel_read(d);
      return kLost;
    }
    if (fds[0].revents & POLLIN) {
      if (wl_display_read_events(d) < 0) return kLost;
    } else {
      wl_display_cancel_read(d);
    }
    if (wl_display_dispatch_pending(d) < 0) return kLost;
  }
  return kLost;
}

}  // namespace

int main(int argc, char** argv) {
  if (auto status = tvl::commandline::answer(
          argc, argv,
          {"tvl-cover-layer", "tvl-cover-layer",
           "The screen cover of Mac Tovalo on Wayland desktops with the layer shell (sway and\n"
           "other wlroots compositors, KDE Plasma): plain grey below every window on every\n"
           "output, while a support session runs. The cover (TVLDesktop) starts it; SIGTERM\n"
           "ends it.\n\n"
           "Exit status: 0 ended by a signal, 1 the compositor went away, 2 no Wayland\n"
           "display, 3 the compositor offers no layer shell.\n"}))
    return *status;
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  Fd signals(::signalfd(-1, &mask, SFD_CLOEXEC));
  if (signals.fd < 0) {
    std::perror("tvl-cover-layer: signalfd");
    return kLost;
  }

  Cover c;
  c.display.reset(wl_display_connect(nullptr));
  if (!c.display) {
    std::fprintf(stderr, "tvl-cover-layer: no Wayland display\n");
    return kNoDisplay;
  }
  c.registry.reset(wl_display_get_registry(c.display.get()));
  wl_registry_add_listener(c.registry.get(), &kRegistryListener, &c);
  if (wl_display_roundtrip(c.display.get()) < 0) return kLost;
  if (!c.layerShell || !c.compositor || !c.shm) {
    std::fprintf(stderr, "tvl-cover-layer: the compositor offers no layer shell\n");
    return kNoLayerShell;
  }
  c.ready = true;
  for (Screen& s : c.screens) c.coverScreen(s);
  int status = run(c, signals.fd);
  if (status == kLost) std::fprintf(stderr, "tvl-cover-layer: the compositor went away\n");
  return status;  // members go in reverse order: surfaces, globals, then the display
}

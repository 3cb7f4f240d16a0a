#include "platform/desktop/DesktopSession.h"

#include <gtest/gtest.h>

using namespace tvl;

namespace {

using desktop::Compositor;
using desktop::CoverRoute;
using desktop::DisplayServer;
using desktop::SessionFacts;
using desktop::SharingRoute;

// Registries as the compositors list them (abridged to what matters and what misleads:
// sway also offers a KDE decoration protocol).
const std::vector<std::string> kSway = {"wl_compositor", "xdg_wm_base", "zwlr_layer_shell_v1",
                                        "zwlr_screencopy_manager_v1",
                                        "org_kde_kwin_server_decoration_manager"};
const std::vector<std::string> kMutter = {"wl_compositor", "xdg_wm_base", "gtk_shell1",
                                          "zwp_linux_dmabuf_v1"};
const std::vector<std::string> kKwin = {"wl_compositor", "xdg_wm_base", "zwlr_layer_shell_v1",
                                        "org_kde_plasma_shell"};
const std::vector<std::string> kBare = {"wl_compositor", "xdg_wm_base", "wl_shm"};

SessionFacts wayland(std::vector<std::string> globals, std::string x11 = "",
                     std::string desktopName = "") {
  SessionFacts facts;
  facts.waylandDisplay = "wayland-1";
  facts.x11Display = std::move(x11);
  facts.currentDesktop = std::move(desktopName);
  facts.waylandConnected = true;
  facts.waylandGlobals = std::move(globals);
  return facts;
}

struct Expected {
  const char* name;
  SessionFacts facts;
  DisplayServer server;
  Compositor compositor;
  SharingRoute sharing;
  CoverRoute cover;
  const char* description;
};

TEST(DesktopSession, EachKindOfSessionGetsItsRoutes) {
  SessionFacts x11;
  x11.x11Display = ":0";
  x11.sessionType = "x11";
  SessionFacts unanswered;  // the login manager says Wayland, the compositor is gone
  unanswered.sessionType = "wayland";
  unanswered.x11Display = ":0";

  const Expected cases[] = {
      {"X11", x11, DisplayServer::X11, Compositor::None, SharingRoute::X11Server,
       CoverRoute::QtWindows, "x11 (:0)"},
      {"nothing", SessionFacts{}, DisplayServer::None, Compositor::None, SharingRoute::None,
       CoverRoute::None, "no display"},
      // Xwayland's DISPLAY must not make a sway session look like X11.
      {"sway with Xwayland", wayland(kSway, ":0"), DisplayServer::Wayland, Compositor::Wlroots,
       SharingRoute::Wlroots, CoverRoute::LayerShell, "wayland (wlroots; layer-shell, screencopy)"},
      {"mutter with Xwayland", wayland(kMutter, ":0"), DisplayServer::Wayland, Compositor::Gnome,
       SharingRoute::Portal, CoverRoute::QtWindowsUnderXwayland, "wayland (gnome)"},
      {"mutter without Xwayland", wayland(kMutter), DisplayServer::Wayland, Compositor::Gnome,
       SharingRoute::Portal, CoverRoute::None, "wayland (gnome)"},
      {"kwin", wayland(kKwin, ":1"), DisplayServer::Wayland, Compositor::Kde, SharingRoute::Portal,
       CoverRoute::LayerShell, "wayland (kde; layer-shell)"},
      {"unknown compositor", wayland(kBare, ":0"), DisplayServer::Wayland, Compositor::Unknown,
       SharingRoute::None, CoverRoute::None, "wayland (unknown compositor)"},
      {"the desktop's name where the registry is silent", wayland(kBare, ":0", "ubuntu:GNOME"),
       DisplayServer::Wayland, Compositor::Gnome, SharingRoute::Portal,
       CoverRoute::QtWindowsUnderXwayland, "wayland (gnome)"},
      {"a Wayland session whose compositor does not answer", unanswered, DisplayServer::Wayland,
       Compositor::Unknown, SharingRoute::None, CoverRoute::None, "wayland (unknown compositor)"},
  };
  for (const Expected& c : cases) {
    SCOPED_TRACE(c.name);
    const desktop::Session session = desktop::classify(c.facts);
    EXPECT_EQ(session.server, c.server);
    EXPECT_EQ(session.compositor, c.compositor);
    EXPECT_EQ(desktop::sharingRoute(session), c.sharing);
    EXPECT_EQ(desktop::coverRoute(session), c.cover);
    EXPECT_EQ(desktop::describe(session), c.description);
  }
}

// The probe reads the real environment: with no Wayland socket it must fall back to the
// X display it is given, and must not try a default "wayland-0" it was not told about.
TEST(DesktopSession, ProbeWithoutWaylandKeepsTheX11Display) {
  setenv("DISPLAY", ":42", 1);
  unsetenv("WAYLAND_DISPLAY");
  setenv("XDG_SESSION_TYPE", "x11", 1);
  const SessionFacts facts = desktop::probeSessionFacts();
  EXPECT_FALSE(facts.waylandConnected);
  EXPECT_EQ(desktop::classify(facts).server, DisplayServer::X11);

  // A named display that does not exist: no connection, and not X11 by accident only
  // if the session type says Wayland.
  setenv("WAYLAND_DISPLAY", "tvl-no-such-display", 1);
  setenv("XDG_SESSION_TYPE", "wayland", 1);
  const desktop::Session gone = desktop::classify(desktop::probeSessionFacts());
  EXPECT_EQ(gone.server, DisplayServer::Wayland);
  EXPECT_EQ(desktop::sharingRoute(gone), SharingRoute::None);
}

}  // namespace

// What kind of desktop session this process runs in, decided once from the session
// itself: every program asks here before it chooses how to share the screen, how to
// cover it, or which Qt platform to use. DISPLAY alone does not mean X11: a Wayland
// session serves X11 clients through Xwayland, where an X11 screen grabber sees nothing.
#pragma once

#include <string>
#include <vector>

namespace tvl::desktop {

enum class DisplayServer { None, X11, Wayland };
// None: not a Wayland session. Unknown: a Wayland compositor we have no route for.
enum class Compositor { None, Unknown, Wlroots, Gnome, Kde };

struct Session {
  DisplayServer server = DisplayServer::None;
  Compositor compositor = Compositor::None;
  bool layerShell = false;                 // zwlr_layer_shell_v1 offered
  bool screencopy = false;                 // zwlr_screencopy_manager_v1 offered
  std::string waylandDisplay, x11Display;  // as found in the environment
};

// What the environment says and what the Wayland compositor, if one answered, offers.
struct SessionFacts {
  std::string waylandDisplay;  // WAYLAND_DISPLAY
  std::string x11Display;      // DISPLAY
  std::string sessionType;     // XDG_SESSION_TYPE, set by the login manager
  std::string currentDesktop;  // XDG_CURRENT_DESKTOP, e.g. "GNOME", "KDE", "sway"
  bool waylandConnected = false;
  std::vector<std::string> waylandGlobals;  // interface names from the registry
};

// Reads the environment and, when a Wayland display may exist, lists its globals.
SessionFacts probeSessionFacts();
// Capabilities first (the registry cannot lie about them); the desktop's name only where
// the registry does not tell compositors apart.
Session classify(const SessionFacts& facts);
// probeSessionFacts() + classify(), once per process.
const Session& currentSession();

enum class SharingRoute { X11Server, Wlroots, Portal, None };
SharingRoute sharingRoute(const Session& session);

enum class CoverRoute { QtWindows, LayerShell, QtWindowsUnderXwayland, None };
CoverRoute coverRoute(const Session& session);

// One line for logs, e.g. "wayland (wlroots; layer-shell, screencopy)".
std::string describe(const Session& session);

}  // namespace tvl::desktop

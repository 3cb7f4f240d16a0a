#include "platform/desktop/DesktopSession.h"

#include <wayland-client.h>

#include <strings.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tvl::desktop {

namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool offers(const SessionFacts& facts, const char* interface) {
  return std::find(facts.waylandGlobals.begin(), facts.waylandGlobals.end(), interface) !=
         facts.waylandGlobals.end();
}

// XDG_CURRENT_DESKTOP is a colon-separated list ("ubuntu:GNOME"); names compare
// case-insensitively.
bool desktopNamed(const std::string& list, const char* name) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    if (end - start == std::strlen(name) &&
        strncasecmp(list.c_str() + start, name, end - start) == 0)
      return true;
    start = end + 1;
  }
  return false;
}

void onGlobal(void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
  static_cast<std::vector<std::string>*>(data)->emplace_back(interface);
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

}  // namespace

SessionFacts probeSessionFacts() {
  SessionFacts facts;
  facts.waylandDisplay = environment("WAYLAND_DISPLAY");
  facts.x11Display = environment("DISPLAY");
  facts.sessionType = environment("XDG_SESSION_TYPE");
  facts.currentDesktop = environment("XDG_CURRENT_DESKTOP");
  // Without WAYLAND_DISPLAY the library would try "wayland-0": only worth it when the
  // login manager says this is a Wayland session.
  if (facts.waylandDisplay.empty() && facts.sessionType != "wayland") return facts;
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return facts;
  facts.waylandConnected = true;
  if (wl_registry* registry = wl_display_get_registry(display)) {
    wl_registry_add_listener(registry, &kRegistryListener, &facts.waylandGlobals);
    wl_display_roundtrip(display);
    wl_registry_destroy(registry);
  }
  wl_display_disconnect(display);
  return facts;
}

Session classify(const SessionFacts& facts) {
  Session session;
  session.waylandDisplay = facts.waylandDisplay;
  session.x11Display = facts.x11Display;
  // Qt and every toolkit take the Wayland display when it answers, whatever
  // XDG_SESSION_TYPE says; a Wayland session whose compositor does not answer still is
  // one: falling back to its Xwayland would share a black screen.
  if (facts.waylandConnected || facts.sessionType == "wayland") {
    session.server = DisplayServer::Wayland;
  } else if (!facts.x11Display.empty()) {
    session.server = DisplayServer::X11;
    return session;
  } else {
    return session;
  }
  session.layerShell = offers(facts, "zwlr_layer_shell_v1");
  session.screencopy = offers(facts, "zwlr_screencopy_manager_v1");
  if (!facts.waylandConnected) {
    session.compositor = Compositor::Unknown;
  } else if (session.layerShell && session.screencopy) {
    session.compositor = Compositor::Wlroots;
  } else if (offers(facts, "org_kde_plasma_shell") || desktopNamed(facts.currentDesktop, "KDE")) {
    session.compositor = Compositor::Kde;
  } else if (offers(facts, "gtk_shell1") || desktopNamed(facts.currentDesktop, "GNOME")) {
    // gtk_shell1 is GNOME Shell's own protocol: mutter offers it, wlroots does not.
    session.compositor = Compositor::Gnome;
  } else {
    session.compositor = Compositor::Unknown;
  }
  return session;
}

const Session& currentSession() {
  static const Session session = classify(probeSessionFacts());
  return session;
}

SharingRoute sharingRoute(const Session& session) {
  switch (session.server) {
    case DisplayServer::X11:
      return SharingRoute::X11Server;
    case DisplayServer::Wayland:
      if (session.screencopy) return SharingRoute::Wlroots;
      if (session.compositor == Compositor::Gnome || session.compositor == Compositor::Kde)
        return SharingRoute::Portal;
      return SharingRoute::None;
    case DisplayServer::None:
      break;
  }
  return SharingRoute::None;
}

CoverRoute coverRoute(const Session& session) {
  switch (session.server) {
    case DisplayServer::X11:
      return CoverRoute::QtWindows;
    case DisplayServer::Wayland:
      if (session.layerShell) return CoverRoute::LayerShell;
      // Measured on mutter: X11 windows under Xwayland stay below the Wayland windows;
      // a Wayland toplevel of ours would cover them.
      if (session.compositor == Compositor::Gnome && !session.x11Display.empty())
        return CoverRoute::QtWindowsUnderXwayland;
      return CoverRoute::None;
    case DisplayServer::None:
      break;
  }
  return CoverRoute::None;
}

std::string describe(const Session& session) {
  switch (session.server) {
    case DisplayServer::None:
      return "no display";
    case DisplayServer::X11:
      return "x11 (" + session.x11Display + ")";
    case DisplayServer::Wayland:
      break;
  }
  static const char* const kNames[] = {"none", "unknown compositor", "wlroots", "gnome", "kde"};
  std::string text = "wayland (";
  text += kNames[static_cast<int>(session.compositor)];
  std::string offered;
  if (session.layerShell) offered += "layer-shell";
  if (session.screencopy) offered += offered.empty() ? "screencopy" : ", screencopy";
  if (!offered.empty()) text += "; " + offered;
  return text + ")";
}

}  // namespace tvl::desktop

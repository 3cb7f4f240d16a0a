#include "platform/windowlevel/DesktopLevel.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tvl::windowlevel {

namespace {

constexpr int kQtXcbDesktopWindowType = 0x000002;  // QXcbWindow::Desktop
constexpr uint32_t kAllWorkspaces = 0xFFFFFFFF;

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
  xcb_intern_atom_cookie_t cookie =
      xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
  if (reply == nullptr) return XCB_ATOM_NONE;
  xcb_atom_t result = reply->atom;
  std::free(reply);
  return result;
}

// The hints Qt has no flag for, set on the unmapped window; Qt adds its own states
// (below) to the _NET_WM_STATE it finds when it maps the window.
void setWorkspaceHints(QWidget& window) {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (x11 == nullptr) return;
  xcb_connection_t* connection = x11->connection();
  auto id = static_cast<xcb_window_t>(window.winId());
  std::array<xcb_atom_t, 3> states = {atom(connection, "_NET_WM_STATE_SKIP_TASKBAR"),
                                      atom(connection, "_NET_WM_STATE_SKIP_PAGER"),
                                      atom(connection, "_NET_WM_STATE_STICKY")};
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, atom(connection, "_NET_WM_STATE"),
                      XCB_ATOM_ATOM, 32, states.size(), states.data());
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, atom(connection, "_NET_WM_DESKTOP"),
                      XCB_ATOM_CARDINAL, 32, 1, &kAllWorkspaces);
  xcb_flush(connection);
}

}  // namespace

void placeAtDesktopLevel(QWidget& window) {
  constexpr Qt::WindowFlags kFlags = Qt::Window | Qt::FramelessWindowHint |
                                     Qt::WindowStaysOnBottomHint | Qt::WindowTransparentForInput |
                                     Qt::WindowDoesNotAcceptFocus;
  window.setWindowFlags(kFlags);
  window.setAttribute(Qt::WA_ShowWithoutActivating);
  window.winId();  // creates the platform window
  if (QGuiApplication::platformName() != "xcb") return;
  // Qt reads this when it applies the flags: the window becomes
  // _NET_WM_WINDOW_TYPE_DESKTOP. The flags have to change for Qt to apply them again.
  QWindow* handle = window.windowHandle();
  handle->setProperty("_q_xcb_wm_window_type", kQtXcbDesktopWindowType);
  handle->setFlags(kFlags & ~Qt::WindowDoesNotAcceptFocus);
  handle->setFlags(kFlags);
  setWorkspaceHints(window);
}

void lowerToDesktopLevel(QWidget& window) {
  window.lower();
}

}  // namespace tvl::windowlevel

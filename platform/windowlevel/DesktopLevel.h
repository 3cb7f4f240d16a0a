// Window levels: a top-level window one level above the desktop picture, below every
// ordinary window. On X11 that is a frameless window of the desktop type, kept below, on
// every workspace, out of the task bar and the pager, that takes no pointer or keyboard
// input. On other Qt platforms (offscreen) only the window flags apply.
#pragma once

class QWidget;

namespace tvl::windowlevel {

// Call on a top-level widget before it is first shown.
void placeAtDesktopLevel(QWidget& window);

// After show(): a window manager keeps the window below by its type and state; without one
// nothing would, so the window is put at the bottom of the stack once.
void lowerToDesktopLevel(QWidget& window);

}  // namespace tvl::windowlevel

// Docking of the application's windows: after a move, a window snaps to the nearby
// edges of the application's other visible windows and of the screens' visible frames.
// Pure geometry, in the coordinates the rules are written in: origin at the lower left,
// y upward.
#pragma once

#include <QList>

#include <span>

class QWidget;

namespace tvl::mainapp {

inline constexpr double kDockingDistance = 46.0;  // inclusive

struct Rect {
  double x = 0, y = 0, w = 0, h = 0;
  bool operator==(const Rect&) const = default;
};

struct DockingCandidate {
  Rect frame;  // a screen's visible frame, or a window's frame
  bool isScreen = false;
  bool isVisible = true;       // windows only
  bool isMovedWindow = false;  // the window that moved is among the application's windows
};

// The frame the moved window ends with. Candidates in their order: the application's
// windows as it lists them, then the screens. optionHeld turns docking off. Each axis
// takes the first fit of the first candidate that fits on it; the size never changes.
Rect dockedFrame(const Rect& moved, std::span<const DockingCandidate> candidates, bool optionHeld);

// Docks a window of the application after a move, among the application's windows (in the
// application's order) and the screens, unless Option (the Alt key) was held when the move
// ended (Qt's coordinates, mirrored).
void dockWindow(QWidget* moved, const QList<QWidget*>& windows, bool optionHeld);

}  // namespace tvl::mainapp

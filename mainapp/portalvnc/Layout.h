// Several monitors as one picture, as an X11 screen shows them: each monitor's frames at
// its place in the desktop, and a point of the picture back to the monitor under it.
#pragma once

#include <vector>

namespace tvl::portalvnc {

struct Monitor {
  int x = 0, y = 0;                     // its place in the desktop, in the portal's units
  int width = 0, height = 0;            // its size in those units; 0: the portal did not say
  int frameWidth = 0, frameHeight = 0;  // its frames in pixels; 0: none came yet
};

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
};

struct Layout {
  int width = 0, height = 0;  // the picture
  std::vector<Rect> placed;   // each monitor's frames in it, in the monitors' order
  bool operator==(const Layout&) const = default;
};

// The monitors at their places, spread so that the one with the most pixels to its unit
// (a scaled monitor) shows pixel for pixel and none overlaps another; a monitor without
// frames yet takes its size from the portal.
Layout arrange(const std::vector<Monitor>& monitors);

// The monitor under a point of the picture (the nearest one for a point beside them all)
// and the point in that monitor's portal units, which its input takes.
struct Target {
  int monitor = -1;
  double x = 0, y = 0;
  bool operator==(const Target&) const = default;
};
Target locate(const Layout& layout, const std::vector<Monitor>& monitors, int x, int y);

}  // namespace tvl::portalvnc

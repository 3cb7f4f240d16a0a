#include "mainapp/portalvnc/Layout.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace tvl::portalvnc {

Layout arrange(const std::vector<Monitor>& monitors) {
  Layout layout;
  if (monitors.empty()) return layout;
  double scale = 0;
  int left = INT_MAX, top = INT_MAX;
  for (const Monitor& m : monitors) {
    if (m.width > 0 && m.frameWidth > 0) scale = std::max(scale, double(m.frameWidth) / m.width);
    left = std::min(left, m.x);
    top = std::min(top, m.y);
  }
  if (scale == 0) scale = 1;
  for (const Monitor& m : monitors) {
    Rect r;
    r.x = int(std::lround((m.x - left) * scale));
    r.y = int(std::lround((m.y - top) * scale));
    r.width = m.frameWidth > 0 ? m.frameWidth : int(std::lround(m.width * scale));
    r.height = m.frameHeight > 0 ? m.frameHeight : int(std::lround(m.height * scale));
    layout.width = std::max(layout.width, r.x + r.width);
    layout.height = std::max(layout.height, r.y + r.height);
    layout.placed.push_back(r);
  }
  return layout;
}

Target locate(const Layout& layout, const std::vector<Monitor>& monitors, int x, int y) {
  Target best;
  long long bestDistance = LLONG_MAX;
  for (size_t i = 0; i < layout.placed.size() && i < monitors.size(); ++i) {
    const Rect& r = layout.placed[i];
    if (r.width <= 0 || r.height <= 0) continue;
    const int cx = std::clamp(x, r.x, r.x + r.width - 1);
    const int cy = std::clamp(y, r.y, r.y + r.height - 1);
    const long long distance = (long long)(cx - x) * (cx - x) + (long long)(cy - y) * (cy - y);
    if (distance >= bestDistance) continue;
    bestDistance = distance;
    // The portal takes positions in the monitor's own units, which may differ from its
    // frames' pixels (a scaled monitor).
    const Monitor& m = monitors[i];
    const double sx = m.width > 0 ? double(m.width) / r.width : 1;
    const double sy = m.height > 0 ? double(m.height) / r.height : 1;
    best = {int(i), (cx - r.x) * sx, (cy - r.y) * sy};
  }
  return best;
}

}  // namespace tvl::portalvnc

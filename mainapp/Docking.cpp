#include "mainapp/Docking.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <cmath>
#include <vector>

namespace tvl::mainapp {

namespace {

// The four tests of one axis, in their order: low edges align, moved high edge to the
// candidate's low edge, moved low edge to the candidate's high edge, high edges align.
// pos is the moved window's low edge, len its extent; c and clen the candidate's.
bool snapAxis(double& pos, double len, double c, double clen) {
  const double tests[][2] = {{c - pos, c},
                             {c - (pos + len), c - len},
                             {(c + clen) - pos, c + clen},
                             {(c + clen) - (pos + len), c + clen - len}};
  for (auto& [difference, snapped] : tests) {
    if (std::fabs(difference) <= kDockingDistance) {
      pos = snapped;
      return true;
    }
  }
  return false;
}

}  // namespace

Rect dockedFrame(const Rect& moved, std::span<const DockingCandidate> candidates, bool optionHeld) {
  if (optionHeld) return moved;
  Rect r = moved;
  bool xSnapped = false, ySnapped = false;
  for (const DockingCandidate& c : candidates) {
    if (!c.isScreen && (c.isMovedWindow || !c.isVisible)) continue;
    if (!xSnapped) xSnapped = snapAxis(r.x, r.w, c.frame.x, c.frame.w);
    if (!ySnapped) ySnapped = snapAxis(r.y, r.h, c.frame.y, c.frame.h);
  }
  return r;
}

void dockWindow(QWidget* moved, const QList<QWidget*>& windows, bool optionHeld) {
  if (optionHeld) return;
  // Qt measures from the top left with y downward; the rules measure from the bottom left
  // with y upward. Mirroring y keeps every distance and turns top into bottom.
  auto toRect = [](const QRect& r) {
    return Rect{double(r.x()), -double(r.y() + r.height()), double(r.width()), double(r.height())};
  };
  std::vector<DockingCandidate> candidates;
  for (QWidget* w : windows) {
    if (!w || !w->isWindow()) continue;
    candidates.push_back({toRect(w->frameGeometry()), false, w->isVisible(), w == moved});
  }
  for (QScreen* s : QGuiApplication::screens())
    candidates.push_back({toRect(s->availableGeometry()), true, true, false});
  QRect frame = moved->frameGeometry();
  Rect r = dockedFrame(toRect(frame), candidates, false);
  QPoint topLeft(qRound(r.x), qRound(-r.y - r.h));
  if (topLeft != frame.topLeft()) moved->move(topLeft);
}

}  // namespace tvl::mainapp

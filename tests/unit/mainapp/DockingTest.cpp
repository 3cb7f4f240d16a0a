// Docking on geometry alone (origin at the lower left, y upward).
#include <gtest/gtest.h>

#include <vector>

#include "mainapp/Docking.h"

using namespace tvl;

using mainapp::dockedFrame;
using mainapp::DockingCandidate;
using mainapp::Rect;

namespace {

DockingCandidate window(Rect r, bool visible = true) {
  return {r, false, visible, false};
}
DockingCandidate screen(Rect r) {
  return {r, true, true, false};
}
// A screen far from everything, so that only windows can decide.
const DockingCandidate kFarScreen = screen({10000, 10000, 100, 100});

TEST(Docking, SnapDistanceIsInclusive) {
  std::vector<DockingCandidate> c = {window({100, 500, 300, 200}), kFarScreen};
  // Left edge 46 right of the other's left edge snaps; 46.5 does not. The vertical axis is
  // far from every edge, so it stays.
  EXPECT_EQ(dockedFrame({146, 1000, 200, 100}, c, false), (Rect{100, 1000, 200, 100}));
  EXPECT_EQ(dockedFrame({146.5, 1000, 200, 100}, c, false), (Rect{146.5, 1000, 200, 100}));
}

TEST(Docking, TestsOfAnAxisComeInTheirOrder) {
  // Window C spans x 100..130: M's left edge at 120 is within 46 of C's left edge (20 away)
  // and of C's right edge (10 away); left-edge alignment is tested first and wins.
  std::vector<DockingCandidate> c = {window({100, 0, 30, 50}), kFarScreen};
  EXPECT_EQ(dockedFrame({120, 5000, 200, 100}, c, false).x, 100);
  // Right edge to left edge: M spans 0..90, C starts at 100.
  EXPECT_EQ(
      dockedFrame({0, 5000, 90, 10}, {std::vector{window({100, 0, 500, 50}), kFarScreen}}, false).x,
      -400 + 400 + 10);
  // Left edge to right edge, then right edges align.
  std::vector<DockingCandidate> wide = {window({0, 0, 500, 50}), kFarScreen};
  EXPECT_EQ(dockedFrame({530, 5000, 100, 10}, wide, false).x, 500);
  EXPECT_EQ(dockedFrame({300, 5000, 230, 10}, wide, false).x, 270);
}

TEST(Docking, ScreenTopEdgeAndAxesAreIndependent) {
  // No other window: the top edge dropped 20 below the visible frame's top, the bottom far
  // from its bottom, ends on the top; the horizontal position is far from every edge.
  std::vector<DockingCandidate> c = {screen({0, 0, 1600, 878})};
  Rect r = dockedFrame({500, 878 - 20 - 300, 400, 300}, c, false);
  EXPECT_EQ(r, (Rect{500, 578, 400, 300}));
  EXPECT_EQ(r.y + r.h, 878);
  // A window that is far away vertically still decides the horizontal position.
  std::vector<DockingCandidate> far = {window({40, 3000, 100, 100}), screen({0, 0, 1600, 878})};
  EXPECT_EQ(dockedFrame({60, 400, 200, 100}, far, false), (Rect{40, 400, 200, 100}));
}

TEST(Docking, FirstFittingCandidateDecidesAndOthersAreSkipped) {
  Rect moved{130, 5000, 100, 100};
  std::vector<DockingCandidate> c = {
      window({110, 0, 100, 100}, false),        // hidden: skipped
      {{125, 0, 100, 100}, false, true, true},  // the moved window itself: skipped
      window({120, 0, 100, 100}),               // first that fits
      window({128, 0, 100, 100}),               // would fit closer, but comes later
      kFarScreen};
  EXPECT_EQ(dockedFrame(moved, c, false).x, 120);
}

TEST(Docking, OptionKeepsTheDropAndAlignedStays) {
  std::vector<DockingCandidate> c = {window({100, 500, 300, 200}), screen({0, 0, 1600, 878})};
  Rect dropped{120, 520, 200, 100};
  EXPECT_EQ(dockedFrame(dropped, c, true), dropped);
  Rect aligned{100, 500, 200, 100};
  EXPECT_EQ(dockedFrame(aligned, c, false), aligned);
}

}  // namespace

// The same rules on the application's real windows (offscreen screen, Qt's coordinates).
#include <QApplication>
#include <QScreen>
#include <QWidget>

#include <memory>

#include "TestApplication.h"
#include "mainapp/AppController.h"
#include "mainapp/AppleEventManager.h"
#include "platform/script/ScriptInterpreter.h"

namespace {

TEST(DockingWindows, MovedWindowSnapsToAnotherVisibleWindow) {
  testsupport::testApplication();
  QRect visible = QGuiApplication::primaryScreen()->availableGeometry();
  auto other = std::make_unique<QWidget>();
  other->setGeometry(visible.x() + 200, visible.y() + 150, 200, 150);
  other->show();
  auto moved = std::make_unique<QWidget>();
  moved->setGeometry(visible.x() + 230, visible.y() + 340, 100, 80);
  moved->show();
  // Left edges 30 apart: aligned. Top edge 40 below the other's bottom edge: touches it.
  QPoint before = moved->frameGeometry().topLeft();
  mainapp::AppController::sharedController()->windowDidMove(moved.get());
  EXPECT_EQ(moved->frameGeometry().topLeft(),
            QPoint(other->frameGeometry().left(), other->frameGeometry().bottom() + 1))
      << before.x() << "," << before.y();
  // Hidden, the other window no longer counts.
  other->hide();
  moved->move(visible.x() + 230, visible.y() + 340);
  mainapp::AppController::sharedController()->windowDidMove(moved.get());
  EXPECT_EQ(moved->frameGeometry().topLeft(), QPoint(visible.x() + 230, visible.y() + 340));
}

// The application's own window list gives the order: of two windows that both fit, the
// first in that list wins, whatever order Qt keeps its widgets in.
TEST(DockingWindows, TheApplicationsWindowOrderDecidesBetweenTwoThatFit) {
  testsupport::testApplication();
  QRect visible = QGuiApplication::primaryScreen()->availableGeometry();
  auto a = std::make_unique<QWidget>();
  a->setGeometry(visible.x() + 200, visible.y() + 150, 200, 150);
  auto b = std::make_unique<QWidget>();
  b->setGeometry(visible.x() + 230, visible.y() + 150, 200, 150);
  auto moved = std::make_unique<QWidget>();
  for (QWidget* w : {a.get(), b.get(), moved.get()}) w->show();

  struct Host : script::ScriptHost {
    QList<QWidget*> list;
    QString applicationName() const override { return "Mac Tovalo"; }
    QList<QWidget*> windows() const override { return list; }
    void activate() override {}
    bool openLocation(const QString&) override { return false; }
  } host;
  mainapp::setApplicationScriptHost(&host);
  for (QWidget* first : {a.get(), b.get()}) {
    QWidget* second = first == a.get() ? b.get() : a.get();
    host.list = {moved.get(), first, second};
    // Left edge 15 from a's and 15 from b's: each fits; its top touches their bottoms.
    moved->setGeometry(visible.x() + 215, visible.y() + 330, 100, 80);
    mainapp::AppController::sharedController()->windowDidMove(moved.get());
    EXPECT_EQ(moved->frameGeometry().left(), first->frameGeometry().left());
    // Option held when the move ended: it stays where it was put.
    moved->setGeometry(visible.x() + 215, visible.y() + 330, 100, 80);
    QPoint put = moved->frameGeometry().topLeft();
    mainapp::AppController::sharedController()->windowDidMove(moved.get(), true);
    EXPECT_EQ(moved->frameGeometry().topLeft(), put);
  }
  mainapp::setApplicationScriptHost(nullptr);
}

}  // namespace

// The ui stand-ins under Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QToolButton>

#include <filesystem>
#include <fstream>

#include "platform/bundle/Bundle.h"
#include "platform/ui/Application.h"
#include "platform/ui/ManualClock.h"
#include "platform/ui/Menu.h"
#include "platform/ui/Timer.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/QtTestSupport.h"

using namespace tvl;

using namespace ui;

TEST(ManualClock, RepeatingAndOneShotTimersFireAtTheirMoments) {
  ManualClock clock;
  std::vector<std::pair<char, double>> fired;
  auto every = clock.scheduledTimerWithTimeInterval(
      1.0,
      [&] {
        fired.push_back({'r', clock.now()});
      },
      true);
  auto once = clock.scheduledTimerWithTimeInterval(
      2.5,
      [&] {
        fired.push_back({'o', clock.now()});
      },
      false);
  clock.advance(0.999);
  EXPECT_TRUE(fired.empty());
  clock.advance(3.001);
  std::vector<std::pair<char, double>> expected{
      {'r', 1.0}, {'r', 2.0}, {'o', 2.5}, {'r', 3.0}, {'r', 4.0}};
  EXPECT_EQ(fired, expected);
  EXPECT_FALSE(once->isValid());
  EXPECT_TRUE(every->isValid());
  EXPECT_EQ(clock.validTimerCount(), 1u);
}

TEST(ManualClock, InvalidatedOrDroppedTimersStayQuiet) {
  ManualClock clock;
  int a = 0, b = 0;
  auto ta = clock.scheduledTimerWithTimeInterval(
      1.0, [&] { ++a; }, true);
  auto tb = clock.scheduledTimerWithTimeInterval(
      1.0, [&] { ++b; }, true);
  clock.advance(1.0);
  ta->invalidate();
  tb.reset();
  clock.advance(5.0);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 1);
  EXPECT_FALSE(ta->isValid());
  EXPECT_EQ(clock.validTimerCount(), 0u);
}

TEST(ManualClock, ATimerMayStopItselfAndStartAnother) {
  ManualClock clock;
  std::unique_ptr<Timer> first, second;
  int secondTicks = 0;
  first = clock.scheduledTimerWithTimeInterval(
      1.0,
      [&] {
        first->invalidate();
        second = clock.scheduledTimerWithTimeInterval(
            1.0, [&] { ++secondTicks; }, true);
      },
      true);
  clock.advance(4.0);  // first at 1, second at 2, 3, 4
  EXPECT_EQ(secondTicks, 3);
}

TEST(QtTimers, OneShotFiresOnceThenIsInvalid) {
  QtTimers timers;
  int fired = 0;
  auto t = timers.scheduledTimerWithTimeInterval(
      0.01, [&] { ++fired; }, false);
  EXPECT_TRUE(t->isValid());
  ASSERT_TRUE(testsupport::waitFor([&] { return fired > 0; }));
  QTest::qWait(50);
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(t->isValid());
}

namespace {

struct ImageBundle {
  testsupport::TempDir dir;
  bundle::Bundle bundle{[this] {
    auto res = dir.path() / "I.app/Contents/Resources";
    std::filesystem::create_directories(res);
    // A 1x1 PNG.
    static const unsigned char png[] = {
        0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
        0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
        0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78,
        0x9C, 0x63, 0xF8, 0xCF, 0xC0, 0xF0, 0x1F, 0x00, 0x05, 0x00, 0x01, 0xFF, 0x89, 0x99,
        0x3D, 0x1D, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
    std::ofstream(res / "red.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png), sizeof png);
    return (dir.path() / "I.app").string();
  }()};
};

}  // namespace

TEST(Menu, EntriesKeepTitleActionEnabledStateImageAndToolTip) {
  ImageBundle images;
  Menu menu("tvlmenu");
  int calls = 0;
  MenuItem* item = menu.addItemWithTitle("Share", Action{"share", [&] { ++calls; }});
  MenuItem* none = menu.addItemWithTitle("Nothing", Action{});
  menu.addSeparatorItem();
  ASSERT_EQ(menu.numberOfItems(), 3);
  EXPECT_EQ(menu.itemAtIndex(0), item);
  EXPECT_EQ(menu.itemAtIndex(3), nullptr);
  EXPECT_EQ(menu.itemAtIndex(-1), nullptr);
  EXPECT_TRUE(menu.itemAtIndex(2)->isSeparatorItem());
  EXPECT_EQ(menu.qMenu()->title(), "tvlmenu");

  // An entry with an action is enabled, one without disabled.
  EXPECT_TRUE(item->isEnabled());
  EXPECT_TRUE(item->qAction()->isEnabled());
  EXPECT_FALSE(none->isEnabled());
  EXPECT_FALSE(none->qAction()->isEnabled());
  EXPECT_FALSE(none->performAction());

  // A click on the Qt entry runs the action.
  item->qAction()->trigger();
  EXPECT_EQ(calls, 1);
  item->setAction(Action{});
  EXPECT_FALSE(item->isEnabled());
  EXPECT_FALSE(item->performAction());
  EXPECT_EQ(calls, 1);

  item->setTitle("Stop");
  item->setToolTip("Blocked.");
  item->setState(ControlState::On);
  item->setImage(Image::named(images.bundle, "red"));
  EXPECT_EQ(item->qAction()->text(), "Stop");
  EXPECT_EQ(item->toolTip(), "Blocked.");
  EXPECT_EQ(item->qAction()->toolTip(), "Blocked.");
  EXPECT_TRUE(item->qAction()->isChecked());
  EXPECT_EQ(item->image().name(), "red");
  EXPECT_FALSE(item->qAction()->icon().isNull());
  item->setState(ControlState::Off);
  EXPECT_FALSE(item->qAction()->isChecked());
  EXPECT_FALSE(item->qAction()->isCheckable());  // no empty box beside an entry that is off
  item->setImage(Image::named(images.bundle, "no-such-image"));
  EXPECT_TRUE(item->qAction()->icon().isNull());
}

TEST(Menu, DelegateRunsEachTimeTheMenuOpens) {
  Menu menu("m");
  menu.addItemWithTitle("a", Action{"a", [] {}});
  int updates = 0;
  menu.setDelegate([&](Menu& m) {
    EXPECT_EQ(&m, &menu);
    ++updates;
  });
  menu.qMenu()->popup(QPoint(0, 0));
  ASSERT_TRUE(testsupport::waitFor([&] { return menu.qMenu()->isVisible(); }));
  menu.qMenu()->hide();
  menu.qMenu()->popup(QPoint(0, 0));
  testsupport::waitFor([&] { return updates == 2; });
  menu.qMenu()->hide();
  EXPECT_EQ(updates, 2);
}

TEST(StatusItem, ShowsImageToolTipAndMenu) {
  ImageBundle images;
  StatusItem item;
  Menu menu("m");
  EXPECT_FALSE(item.isVisible());  // nothing to show yet
  item.setImage(Image::named(images.bundle, "red.tif"));
  item.setToolTip("Idle");
  item.setMenu(&menu);
  EXPECT_EQ(item.image().name(), "red.tif");
  EXPECT_FALSE(item.qTrayIcon()->icon().isNull());
  EXPECT_EQ(item.qTrayIcon()->toolTip(), "Idle");
  EXPECT_EQ(item.qTrayIcon()->contextMenu(), menu.qMenu());
  EXPECT_TRUE(item.isVisible());
  item.setEnabled(false);
  EXPECT_EQ(item.qTrayIcon()->contextMenu(), nullptr);
  item.remove();
  EXPECT_FALSE(item.isVisible());
  item.setImage(Image::named(images.bundle, "red"));
  EXPECT_FALSE(item.isVisible());  // removed for good
}

// Without a tray the menu opens in a window whose buttons are the entries themselves: what
// changes an entry changes its button, and a choice acts as in the menu.
TEST(StatusItem, MenuWindowShowsTheMenusOwnEntries) {
  StatusItem item;
  Menu menu("m");
  int launched = 0, updates = 0;
  MenuItem* launch = menu.addItemWithTitle("Launch", Action{"launch", [&] { ++launched; }});
  menu.addSeparatorItem();
  MenuItem* autoTovalo = menu.addItemWithTitle("Auto", Action{});
  menu.setDelegate([&](Menu&) { ++updates; });
  item.setToolTip("Mac Tovalo");
  item.showMenuWindow();
  EXPECT_EQ(item.menuWindow(), nullptr);  // no menu to show yet
  item.setMenu(&menu);
  item.showMenuWindow();
  QWidget* window = item.menuWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "Mac Tovalo");
  EXPECT_EQ(updates, 1);  // as when the menu opens
  auto buttons = window->findChildren<QToolButton*>();
  ASSERT_EQ(buttons.size(), 2);
  EXPECT_EQ(buttons[0]->text(), "Launch");
  EXPECT_TRUE(buttons[0]->isEnabled());
  EXPECT_FALSE(buttons[1]->isEnabled());

  autoTovalo->setTitle("Auto Tovalo");
  autoTovalo->setAction(Action{"auto", [] {}});
  autoTovalo->setState(ControlState::On);
  EXPECT_EQ(buttons[1]->text(), "Auto Tovalo");
  EXPECT_TRUE(buttons[1]->isEnabled());
  EXPECT_TRUE(buttons[1]->isChecked());
  launch->setAction(Action{});
  buttons[0]->click();
  EXPECT_EQ(launched, 0);
  EXPECT_TRUE(window->isVisible());

  launch->setAction(Action{"launch", [&] { ++launched; }});
  buttons[0]->click();
  EXPECT_EQ(launched, 1);
  EXPECT_FALSE(window->isVisible());  // closed by the choice, as a menu is
  item.setToolTip("Mac Tovalo: your screen is shared");
  item.showMenuWindow();
  EXPECT_EQ(updates, 2);
  EXPECT_EQ(window->windowTitle(), "Mac Tovalo: your screen is shared");
  item.remove();
  EXPECT_FALSE(window->isVisible());
}

TEST(Alert, ReturnsTheCodeOfTheButtonInTheOrderAdded) {
  for (int click : {0, 1, 2}) {
    testsupport::SeenAlert seen;
    testsupport::closeNextAlert(&seen, click);
    int code = runAlert(AlertStyle::Critical, "Message", "More", "One", "Two", "Three");
    EXPECT_EQ(code, 1000 + click);
    EXPECT_EQ(seen.buttons, (QStringList{"One", "Two", "Three"}));
    EXPECT_EQ(seen.text, "Message");
    EXPECT_EQ(seen.informativeText, "More");
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
  }
}

TEST(Alert, AbsentTitlesAddNoButton) {
  testsupport::SeenAlert seen;
  testsupport::closeNextAlert(&seen, 1);
  EXPECT_EQ(runAlert(AlertStyle::Warning, "m", "i", "First", std::nullopt, "Third"), 1001);
  EXPECT_EQ(seen.buttons, (QStringList{"First", "Third"}));

  testsupport::closeNextAlert(&seen, 0);
  EXPECT_EQ(runAlert(AlertStyle::Informational, "m", "i", std::nullopt), 1000);
  EXPECT_EQ(seen.buttons, QStringList{"OK"});  // never an alert that can't be closed
}

TEST(Application, DelegateRunsOnceTheLoopRunsAndTerminateEndsIt) {
  Application app;
  int launched = 0;
  bool loopRunning = false;
  app.setDelegate([&] {
    ++launched;
    // Still inside the loop: a timer set now fires before the end.
    QTimer::singleShot(0, [&] {
      loopRunning = true;
      app.terminate();
    });
  });
  EXPECT_EQ(launched, 0);
  EXPECT_EQ(app.run(), 0);
  EXPECT_EQ(launched, 1);
  EXPECT_TRUE(loopRunning);
  EXPECT_TRUE(app.isTerminating());
}

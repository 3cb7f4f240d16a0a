// The assembled TVLQC bundle on a desktop: its own Xvfb display with a tray host (trayer),
// on the private session bus of the test's wrapper. Started from the build's Applications
// folder, it shows its icon in the tray and its menu on a click; quitting from the menu
// ends it. Outside a main application it alerts and ends once the alert is closed.
#include "e2e/controller/TrayDesktop.h"
#include "support/Files.h"

using namespace tvl;

using namespace traydesktop;

TEST_F(Desktop, InstalledControllerShowsItsIconAndMenuAndQuitsFromIt) {
  fs::path exe =
      applications() / "Mac Tovalo.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC";
  Process tvlqc({exe.string()});
  ASSERT_TRUE(tvlqc.started());

  // The icon: a small window of the controller's embedded in the tray, drawing tvl.png,
  // at the place where the tray has laid it out.
  Geometry icon;
  ASSERT_TRUE(eventually([&] { return iconSettled("#1F6FB5", &icon); }))
      << "the tray shows no icon of the controller\n"
      << sh("xwininfo -root -tree");

  // One click opens the menu: a popup of seven entries below the icon.
  // Its place once it has settled (two looks agree), as with the icon: a click at a place
  // the popup then left would be lost by the test, not the controller.
  Geometry menu;
  auto menuAt = [] {
    Geometry found;
    for (auto& g : controllerWindows())
      if (g.height > 100 && g.width > 100) found = g;
    return found;
  };
  auto menuShown = [&] {
    Geometry first = menuAt();
    if (first.height == 0) return false;
    std::this_thread::sleep_for(300ms);
    menu = menuAt();
    return menu == first;
  };
  sh("xdotool mousemove " + std::to_string(icon.x + icon.width / 2) + " " +
     std::to_string(icon.y + icon.height / 2) + " click 1");
  ASSERT_TRUE(eventually(menuShown, 10s)) << sh("xwininfo -root -tree");
  std::this_thread::sleep_for(300ms);  // painted
  // Keep a picture of the open menu with the icon above it.
  fs::path shot = fs::path(std::getenv("TVL_BUILD_DIR")) / "tray-menu.png";
  int left = std::max(0, menu.x - 20);
  sh("import -window root -crop " + std::to_string(1024 - left) + "x" +
     std::to_string(menu.y + menu.height + 10) + "+" + std::to_string(left) + "+0 +repage '" +
     shot.string() + "'");
  EXPECT_TRUE(fs::exists(shot));

  // The last entry quits the controller, which ends normally.
  sh("xdotool mousemove " + std::to_string(menu.x + menu.width / 2) + " " +
     std::to_string(menu.y + menu.height - 12) + " click 1");
  EXPECT_EQ(tvlqc.waitForExit(30s), 0)
      << (menuAt().height > 0 ? "the menu is still open: the click did not reach it"
                              : "the menu closed, yet the controller still runs");
}

// With the session's controller running: the copy outside still alerts rather than
// handing over to it in silence (it used to, leaving the user with no word of why).
TEST_F(Desktop, OutsideAMainApplicationItAlertsAndEndsWhenTheAlertCloses) {
  Process installed(
      {(applications() / "Mac Tovalo.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC")
           .string()});
  ASSERT_TRUE(installed.started());
  ASSERT_TRUE(eventually([&] { return iconShowing("#1F6FB5"); }));

  testsupport::TempDir dir;
  fs::path bundle = dir.path() / "Elsewhere.app/Contents/Resources/TVLQC.app";
  fs::create_directories(bundle);
  fs::copy(applications() / "Mac Tovalo.app/Contents/Resources/TVLQC.app", bundle,
           fs::copy_options::recursive);
  Process tvlqc({(bundle / "Contents/MacOS/TVLQC").string()});
  ASSERT_TRUE(tvlqc.started());

  Geometry alert;
  ASSERT_TRUE(eventually([&] {
    for (auto& g : visibleWindows("--class TVLQC"))
      if (g.width > 150 && g.height > 60) alert = g;
    return alert.width > 0;
  })) << sh("xwininfo -root -tree");
  EXPECT_FALSE(tvlqc.waitForExit(500ms)) << "ended before the alert was closed";
  // The tray shows the no-enclosure icon meanwhile.
  EXPECT_TRUE(eventually([] { return iconShowing("#8A8A8A"); }));

  // Its one button is the default: Return closes it.
  sh("xdotool mousemove " + std::to_string(alert.x + alert.width / 2) + " " +
     std::to_string(alert.y + alert.height / 2) + " click 1 key Return");
  EXPECT_EQ(tvlqc.waitForExit(30s), 0);
  EXPECT_FALSE(installed.waitForExit(200ms)) << "the session's controller went too";
}

// When the display goes away, Qt ends the process from inside its event loop; the
// controller's window-system objects must not be torn down afterwards (that crashed).
TEST_F(Desktop, WhenTheDisplayGoesAwayTheControllerEndsWithoutCrashing) {
  fs::path exe =
      applications() / "Mac Tovalo.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC";
  Process tvlqc({exe.string()});
  ASSERT_TRUE(tvlqc.started());
  ASSERT_TRUE(eventually([&] { return iconShowing("#1F6FB5"); }));
  tray_.reset();
  xvfb_.reset();
  std::optional<int> status = tvlqc.waitForExit(30s);
  ASSERT_TRUE(status.has_value()) << "the controller outlived its display";
  EXPECT_NE(*status, 128) << "the controller was ended by a signal";
}

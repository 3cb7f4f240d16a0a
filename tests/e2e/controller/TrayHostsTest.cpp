// The assembled TVLQC on the desktops users have: one with no tray at all, where the menu
// opens in a window of its own until a tray host appears.
#include <fstream>
#include <iterator>

#include "e2e/controller/TrayDesktop.h"

using namespace traydesktop;

namespace {

fs::path controllerExecutable() {
  return fs::path(std::getenv("TVL_BUILD_DIR")) /
         "Applications/Mac Tovalo.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC";
}

std::string contents(const fs::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The menu window is titled like the item's tool tip.
constexpr char kMenuWindow[] = "^Mac Tovalo$";

}  // namespace

TEST_F(BareDesktop, WithoutATrayTheMenuOpensInAWindowUntilATrayHostAppears) {
  // Every call to the notification service, whether a server answers or not.
  testsupport::TempDir dir;
  fs::path calls = dir.path() / "notifications";
  Process monitor({"/bin/sh", "-c",
                   "exec dbus-monitor --session "
                   "\"type='method_call',interface='org.freedesktop.Notifications'\" > '" +
                       calls.string() + "'"});
  ASSERT_TRUE(eventually([&] { return contents(calls).find("NameLost") != std::string::npos; }));

  Process tvlqc({controllerExecutable().string()});
  ASSERT_TRUE(tvlqc.started());
  std::optional<Geometry> window;
  ASSERT_TRUE(eventually([&] { return (window = visibleWindowNamed(kMenuWindow)).has_value(); }))
      << "no menu window without a tray\n"
      << sh("xwininfo -root -tree");
  // Seven entries: five buttons and two lines.
  EXPECT_GT(window->height, 5 * 20);
  // One notification says where the menu is.
  ASSERT_TRUE(eventually([&] { return contents(calls).find("Notify") != std::string::npos; }));
  std::string notices = contents(calls);
  EXPECT_NE(notices.find("opens in a window of its own"), std::string::npos) << notices;

  // A tray host comes: the icon shows there and the window goes.
  startTrayer();
  EXPECT_TRUE(eventually([] { return iconShowing("#1F6FB5"); }))
      << "no icon once a tray host appeared\n"
      << sh("xwininfo -root -tree");
  EXPECT_TRUE(eventually([] { return !visibleWindowNamed(kMenuWindow); }));

  // Starting the menu again opens the window in the running one, which stays alone.
  Process again({controllerExecutable().string()});
  EXPECT_EQ(again.waitForExit(30s), 0);
  ASSERT_TRUE(eventually([&] { return (window = visibleWindowNamed(kMenuWindow)).has_value(); }));
  EXPECT_EQ(contents(calls).find("Notify"), contents(calls).rfind("Notify")) << "notified twice";

  // Its last entry quits, as in the menu.
  std::this_thread::sleep_for(300ms);  // painted and ready for input
  clickAt(window->x + window->width / 2, window->y + window->height - 20);
  EXPECT_EQ(tvlqc.waitForExit(30s), 0);
}

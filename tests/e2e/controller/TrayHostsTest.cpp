// The assembled TVLQC on the desktops users have: a StatusNotifierItem host (xfce4-panel's
// status tray), none at all, where the menu opens in a window of its own until a tray host
// appears, and a screen that scales by 2.
#include <fstream>
#include <iterator>

#include "e2e/controller/TrayDesktop.h"
#include "support/Files.h"

using namespace tvl;

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

// One panel along the top with nothing but the status tray, which hosts StatusNotifierItems
// (and embeds XEmbed icons). Preset, so that the panel asks nothing at its first start.
constexpr char kPanelSettings[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="icon-size" type="uint" value="22"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
)";

std::string watcherProperty(const std::string& name) {
  return sh(
      "gdbus call --session -d org.kde.StatusNotifierWatcher -o /StatusNotifierWatcher "
      "-m org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher " +
      name + " 2>/dev/null");
}

// Where the colour first shows in a region of the screen.
std::optional<std::pair<int, int>> findColour(const std::string& colour, const Geometry& g) {
  char crop[96];
  std::snprintf(crop, sizeof crop, "%dx%d+%d+%d", g.width, g.height, g.x, g.y);
  std::string pixel = sh(std::string("import -window root -crop ") + crop +
                         " -depth 8 +repage txt:- | grep -m1 '" + colour + "'");
  std::smatch m;
  if (!std::regex_search(pixel, m, std::regex(R"(^(\d+),(\d+):)"))) return std::nullopt;
  return std::pair{g.x + std::stoi(m[1]), g.y + std::stoi(m[2])};
}

// The item's popup menu: the panel's own (its tray plugin's window) for a StatusNotifierItem,
// the controller's for an embedded icon.
std::optional<Geometry> popupMenu() {
  for (const char* owner : {"wrapper-2.0", "TVLQC"})
    for (auto& g : visibleWindows(std::string("--class ") + owner))
      if (g.width > 100 && g.height > 100) return g;
  return std::nullopt;
}

class PanelDesktop : public BareDesktop {
 protected:
  // xfce4-panel with its settings daemon on the test's bus.
  void startPanel() {
    fs::path channels =
        fs::path(std::getenv("XDG_CONFIG_HOME")) / "xfce4/xfconf/xfce-perchannel-xml";
    fs::create_directories(channels);
    std::ofstream(channels / "xfce4-panel.xml") << kPanelSettings;
    std::string log = std::string(std::getenv("HOME")) + "/panel.log";
    xfconfd_ = std::make_unique<Process>(std::vector<std::string>{
        "/bin/sh", "-c", "exec /usr/lib/*/xfce4/xfconf/xfconfd 2>>" + log});
    // Without the accessibility bridge, whose bus would only slow the panel's start.
    panel_ = std::make_unique<Process>(std::vector<std::string>{
        "/bin/sh", "-c",
        "NO_AT_BRIDGE=1 GTK_A11Y=none exec xfce4-panel --disable-wm-check >>" + log + " 2>&1"});
    ASSERT_TRUE(eventually([] {
      return watcherProperty("IsStatusNotifierHostRegistered").find("true") != std::string::npos;
    })) << "the panel is no StatusNotifierItem host\n"
        << sh("cat " + log);
  }
  // The controller's item drawn in the panel.
  std::pair<int, int> iconInPanel() {
    std::optional<std::pair<int, int>> icon;
    EXPECT_TRUE(eventually([&] {
      return (icon = findColour("#1F6FB5", {1024, 32, 0, 0})).has_value();
    })) << "the panel shows no icon of the controller";
    return icon.value_or(std::pair{0, 0});
  }
  // Opens the item's menu with a right click on its icon, as a user does, and chooses the
  // entry at a fraction of the menu's height; keeps a picture of the open menu if named.
  void chooseFromHostMenu(std::pair<int, int> icon, double fraction,
                          const std::string& picture = "") {
    clickAt(icon.first + 3, icon.second + 3, 3);
    std::optional<Geometry> menu;
    ASSERT_TRUE(eventually([&] { return (menu = popupMenu()).has_value(); }))
        << "the panel opened no menu\n"
        << sh("xwininfo -root -tree");
    std::this_thread::sleep_for(300ms);  // painted and ready for input
    if (!picture.empty())
      sh("import -window root -crop " + std::to_string(menu->x + menu->width + 20) + "x" +
         std::to_string(menu->y + menu->height + 10) + "+0+0 +repage '" +
         (fs::path(std::getenv("TVL_BUILD_DIR")) / picture).string() + "'");
    clickAt(menu->x + menu->width / 2, menu->y + static_cast<int>(menu->height * fraction));
  }
  void TearDown() override {
    panel_.reset();
    xfconfd_.reset();
    BareDesktop::TearDown();
  }

  std::unique_ptr<Process> xfconfd_, panel_;
};

}  // namespace

TEST_F(PanelDesktop, WithoutATrayTheMenuOpensInAWindowUntilATrayHostAppears) {
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
  std::this_thread::sleep_for(300ms);  // painted
  sh("import -window root -crop " + std::to_string(window->width) + "x" +
     std::to_string(window->height) + "+" + std::to_string(window->x) + "+" +
     std::to_string(window->y) + " +repage '" + std::getenv("TVL_BUILD_DIR") + "/menu-window.png'");
  // One notification says where the menu is.
  ASSERT_TRUE(eventually([&] { return contents(calls).find("Notify") != std::string::npos; }));
  std::string notices = contents(calls);
  EXPECT_NE(notices.find("opens in a window of its own"), std::string::npos) << notices;

  // A tray host comes: the icon shows there and the window goes. (Qt decides once per process
  // whether to use StatusNotifierItems, so this icon is embedded the XEmbed way.)
  startPanel();
  std::pair<int, int> icon = iconInPanel();
  EXPECT_TRUE(eventually([] { return !visibleWindowNamed(kMenuWindow); }));
  // The icon's menu: its middle entry opens the preferences.
  chooseFromHostMenu(icon, 0.5);
  EXPECT_TRUE(eventually([] { return visibleWindowNamed("^Mac Tovalo Preferences$").has_value(); }))
      << "Preferences from the panel's menu opened no window";

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

TEST_F(PanelDesktop, OnAStatusNotifierHostTheMenuIsTheHostsOnly) {
  startPanel();
  Process tvlqc({controllerExecutable().string()});
  ASSERT_TRUE(tvlqc.started());
  EXPECT_TRUE(eventually([] {
    return watcherProperty("RegisteredStatusNotifierItems").find("StatusNotifierItem") !=
           std::string::npos;
  })) << "no StatusNotifierItem registered with the panel";
  std::pair<int, int> icon = iconInPanel();
  // Past the moment the controller looks for a tray: no window is forced on the user.
  std::this_thread::sleep_for(2500ms);
  EXPECT_FALSE(visibleWindowNamed(kMenuWindow));
  // The panel draws the item's menu from its entries; the last one quits the controller.
  chooseFromHostMenu(icon, 0.9, "tray-menu-sni.png");
  EXPECT_EQ(tvlqc.waitForExit(30s), 0);
}

// The bundle carries each tray picture at 22 and at 44 pixels ("name@2x.png"). On a screen
// that scales by 2 the icon must be drawn from the 44-pixel one: the 22-pixel picture blown
// up has blocky, blurred edges (measured: 0.15 normalised RMSE against the large picture,
// where the large one drawn gives 0.0005).
TEST_F(BareDesktop, OnAScreenThatScalesByTwoTheTrayIconIsDrawnFromTheLargePicture) {
  startTrayer(48);
  ::setenv("QT_SCALE_FACTOR", "2", 1);
  Process tvlqc({controllerExecutable().string()});
  ::unsetenv("QT_SCALE_FACTOR");
  ASSERT_TRUE(tvlqc.started());
  Geometry icon;
  ASSERT_TRUE(eventually([&] {
    for (auto& g : controllerWindows())
      if (g.width <= 64 && g.height <= 64 && g.x > 0 &&
          colours(g).find("#1F6FB5") != std::string::npos)
        return icon = g, true;
    return false;
  })) << sh("xwininfo -root -tree");
  ASSERT_GE(std::min(icon.width, icon.height), 44) << "no room for the large picture";
  std::this_thread::sleep_for(300ms);  // settled in the tray

  testsupport::TempDir dir;
  std::string shot = (dir.path() / "icon.png").string(), drawing = (dir.path() / "44.png").string();
  sh("import -window root -crop " + std::to_string(icon.width) + "x" + std::to_string(icon.height) +
     "+" + std::to_string(icon.x) + "+" + std::to_string(icon.y) + " +repage " + shot);
  // The drawing at 44 pixels on the tray's background, at its best place in the icon's window.
  fs::path svg = fs::path(std::getenv("TVL_SOURCE_DIR")) / "resources/images/tvl.svg";
  sh("rsvg-convert -w 44 -h 44 '" + svg.string() + "' | convert - -background \"$(convert " + shot +
     " -format '%[pixel:p{0,0}]' info:)\" -flatten " + drawing);
  std::string result =
      sh("compare -metric RMSE -subimage-search " + shot + " " + drawing + " null: 2>&1; true");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(result, m, std::regex(R"(\(([0-9.e-]+)\))"))) << result;
  EXPECT_LT(std::stod(m[1]), 0.02) << "the icon is not the 44-pixel picture: " << result;
}

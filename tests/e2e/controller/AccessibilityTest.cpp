// The assembled TVLQC as a blind user meets it, through the accessibility bus a screen
// reader reads, on a desktop without a tray: every control of the menu window and of every
// tab of the preferences window has a name, and the keyboard alone reaches the preferences
// from the menu window and saves a choice there.
#include <fstream>
#include <iterator>

#include "e2e/controller/TrayDesktop.h"
#include "support/AtSpi.h"

using namespace tvl;

using namespace traydesktop;
namespace atspi = testsupport::atspi;

namespace {

fs::path controllerExecutable() {
  return fs::path(std::getenv("TVL_BUILD_DIR")) /
         "Applications/Mac Tovalo.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC";
}

std::string lineOf(const std::optional<atspi::Object>& o) {
  return o ? o->role + " \"" + o->name + "\" (" + o->states + ")" : "nothing";
}

// Presses Tab until the focus is on the control of that role and name, as a user listening
// to each announcement does; false when it can't be reached.
bool tabTo(const std::string& role, const std::string& name) {
  for (int i = 0; i < 12; ++i) {
    if (eventually(
            [&] {
              auto f = atspi::focused("TVLQC");
              return f && f->role == role && f->name == name;
            },
            600ms))
      return true;
    sh("xdotool key Tab");
  }
  return false;
}

class ScreenReaderDesktop : public BareDesktop {
 protected:
  void SetUp() override {
    BareDesktop::SetUp();
    atspi::enable();
  }
};

}  // namespace

TEST_F(ScreenReaderDesktop, EveryControlIsNamedAndTheKeyboardAloneSavesAPreference) {
  Process tvlqc({controllerExecutable().string()});
  ASSERT_TRUE(tvlqc.started());
  // No tray: the menu opens in a window of its own, whose entries are the menu's.
  std::vector<atspi::Object> tree;
  ASSERT_TRUE(eventually([&] {
    tree = atspi::tree("TVLQC");
    return atspi::find(tree, "push button", "Preferences…") != nullptr;
  })) << "the menu window is not on the accessibility bus";
  for (const char* entry :
       {"Launch Mac Tovalo", "Share My Screen", "Auto Tovalo", "Quit Mac Tovalo Menu"})
    EXPECT_TRUE(atspi::find(tree, "push button", entry)) << entry;
  EXPECT_EQ(atspi::unnamedControls(tree), std::vector<std::string>{});

  // Escape closes it, as it closes a menu; starting the menu again brings it back.
  std::this_thread::sleep_for(300ms);  // ready for input
  sh("xdotool key Escape");
  EXPECT_TRUE(eventually([] { return !visibleWindowNamed("^Mac Tovalo$"); }, 5s))
      << "Escape left the menu window open";
  Process again({controllerExecutable().string()});
  EXPECT_EQ(again.waitForExit(30s), 0);
  ASSERT_TRUE(eventually([] { return visibleWindowNamed("^Mac Tovalo$").has_value(); }));

  // From the menu window to the preferences, by keyboard.
  ASSERT_TRUE(tabTo("push button", "Preferences…"))
      << "Preferences… is not reached by Tab; the focus is on " << lineOf(atspi::focused("TVLQC"));
  sh("xdotool key space");
  std::optional<Geometry> window;
  ASSERT_TRUE(eventually([&] {
    return (window = visibleWindowNamed("^Mac Tovalo Preferences$")).has_value();
  })) << "Space on Preferences… opened no window";

  // Every tab's controls, the tabs not shown included.
  ASSERT_TRUE(eventually([&] {
    tree = atspi::tree("TVLQC");
    return atspi::find(tree, "push button", "Save") != nullptr;
  }));
  EXPECT_EQ(atspi::unnamedControls(tree), std::vector<std::string>{});
  for (const char* tab : {"General", "About", "Auto Tovalo"})
    EXPECT_TRUE(atspi::find(tree, "page tab", tab)) << tab;
  for (const char* box : {"Send problem reports", "Start Mac Tovalo Menu at login"})
    EXPECT_TRUE(atspi::find(tree, "check box", box)) << box;
  EXPECT_TRUE(atspi::find(tree, "push button", "Unlock")) << "the administrator lock";
  const atspi::Object* save = atspi::find(tree, "push button", "Save");
  ASSERT_TRUE(save);
  EXPECT_TRUE(save->has("default"));
  EXPECT_FALSE(save->description.empty());

  // The picture of the General tab (docs/preferences-general.png).
  std::this_thread::sleep_for(300ms);  // painted
  sh("import -window \"$(xdotool search --onlyvisible --name '^Mac Tovalo Preferences$' | head "
     "-1)\" "
     "'" +
     std::string(std::getenv("TVL_BUILD_DIR")) + "/preferences-general.png'");

  // Tab to the login start, Space switches it off, Return presses the default button.
  ASSERT_TRUE(tabTo("check box", "Start Mac Tovalo Menu at login"))
      << "the focus is on " << lineOf(atspi::focused("TVLQC"));
  ASSERT_TRUE(atspi::focused("TVLQC")->has("checked"));
  sh("xdotool key space");
  EXPECT_TRUE(eventually([] { return !atspi::focused("TVLQC")->has("checked"); }, 5s));
  sh("xdotool key Return");
  const fs::path entry =
      fs::path(std::getenv("XDG_CONFIG_HOME")) / "autostart/com.nrvk.tvlqc.desktop";
  EXPECT_TRUE(eventually(
      [&] {
        std::ifstream in(entry);
        std::string text{std::istreambuf_iterator<char>(in), {}};
        return text.find("Hidden=true") != std::string::npos;
      },
      10s))
      << "Return did not save: no autostart override";
  EXPECT_TRUE(eventually([] { return !visibleWindowNamed("^Mac Tovalo Preferences$"); }));
}

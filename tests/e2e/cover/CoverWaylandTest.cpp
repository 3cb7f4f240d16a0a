// The assembled desktop cover on a Wayland compositor with the layer shell: headless sway
// with two outputs side by side, HEADLESS-1 1280x800+0+0 and HEADLESS-2 1024x768+1280+0
// (tests/support/with-sway), pictures taken with grim as a user would see the screen.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/SwayScreen.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::eventually;
using testsupport::grabSway;
namespace fs = std::filesystem;

const std::string kBuild = std::getenv("TVL_BUILD_DIR") ? std::getenv("TVL_BUILD_DIR") : ".";
const std::string kCoverExecutable =
    kBuild +
    "/Applications/Mac Tovalo.app/Contents/Resources/TVLDesktopwhite.app/Contents/MacOS/"
    "TVLDesktop";
const std::string kProbeWindow = kBuild + "/tests/support/probewindow/tvl-probe-window";

constexpr uint32_t kLightGray = 0xAAAAAA;  // the cover's grey, as on X11
constexpr uint32_t kProbe = 0xC03030;      // tvl-probe-window's colour
// with-sway's wallpapers of the first three outputs.
constexpr uint32_t kWallpaper1 = 0x204060, kWallpaper2 = 0x406020, kWallpaper3 = 0x602040;

bool shows(int x, int y, uint32_t colour) {
  return grabSway().at(x, y) == colour;
}

// Whether a process of that command name runs (the test has a PID namespace of its own).
bool running(const std::string& name) {
  return std::system(("pgrep -x " + name + " >/dev/null").c_str()) == 0;
}

// In the sanitized build: Qt's Wayland platform leaves its globals to the process's end
// (suppressed in tests/support/lsan.supp by Qt's library, which only a full unwind sees).
class FullUnwindForQtOnWayland : public testing::Environment {
 public:
  void SetUp() override {
    if (const char* options = std::getenv("ASAN_OPTIONS"))
      ::setenv("ASAN_OPTIONS", (std::string(options) + ":fast_unwind_on_malloc=0").c_str(), 1);
  }
};
const auto* const kFullUnwind = testing::AddGlobalTestEnvironment(new FullUnwindForQtOnWayland);

}  // namespace

TEST(CoverWayland, GreyOnEveryOutputBelowWindowsFollowingNewOutputsGoneWithTheCover) {
  ASSERT_TRUE(shows(10, 10, kWallpaper1));
  // An ordinary window, floating at its size in the middle of the first output.
  ChildProcess window({kProbeWindow, "400", "300"});
  ASSERT_TRUE(eventually([] { return shows(640, 400, kProbe); }, 10s));

  ChildProcess cover({kCoverExecutable});
  ASSERT_TRUE(eventually([] { return shows(10, 10, kLightGray); }, 10s));
  testsupport::SwayPicture screen = grabSway();
  EXPECT_EQ(screen.at(1279, 799), kLightGray);
  EXPECT_EQ(screen.at(1290, 10), kLightGray);  // the second output
  EXPECT_EQ(screen.at(2303, 767), kLightGray);
  EXPECT_EQ(screen.at(640, 400), kProbe);  // the window stays above the cover
  EXPECT_NE(screen.at(1290, 780), kLightGray) << "below the second output: no output";

  // An output plugged in later is covered too (sway puts it right of the others).
  ASSERT_TRUE(testsupport::swaymsg("create_output"));
  ASSERT_TRUE(
      testsupport::swaymsg("output HEADLESS-3 mode 800x600 position 2304 0 bg '#602040' "
                           "solid_color"));
  EXPECT_TRUE(eventually([] { return shows(2310, 10, kLightGray); }, 5s))
      << std::hex << grabSway().at(2310, 10);

  // Ended by its name as the main application ends it: the layer surfaces go with it.
  ASSERT_EQ(std::system("killall TVLDesktop"), 0);
  auto status = cover.waitForExit(5s);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(eventually([] { return !running("tvl-cover-layer"); }, 3s))
      << "the layer-shell cover outlived TVLDesktop";
  EXPECT_TRUE(eventually([] { return shows(10, 10, kWallpaper1); }, 3s));
  EXPECT_TRUE(shows(1290, 10, kWallpaper2));
  EXPECT_TRUE(shows(2310, 10, kWallpaper3));
}

TEST(CoverWayland, ItsWatchEndsTheSessionAndTheCover) {
  // A user's VNC server and no main application: the first check, 10 s after start,
  // ends the server and the cover, as on X11.
  testsupport::TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  std::vector<std::string> vncArgs = {(dir.path() / "OSXvncserver").string(), "600"};
  fs::copy_file("/bin/sleep", vncArgs[0]);
  if (::geteuid() == 0)
    vncArgs.insert(vncArgs.begin(),
                   {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  ChildProcess vnc(vncArgs);
  ASSERT_TRUE(testsupport::waitUntilExecuted(vnc.pid(), "OSXvncserver"));

  ChildProcess cover({kCoverExecutable});
  ASSERT_TRUE(eventually([] { return shows(10, 10, kLightGray); }, 10s));
  auto status = cover.waitForExit(20s);
  ASSERT_TRUE(status.has_value()) << "the cover did not quit";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  auto ended = vnc.waitForExit(5s);
  ASSERT_TRUE(ended.has_value()) << "the VNC server still runs";
  EXPECT_TRUE(WIFSIGNALED(*ended) && WTERMSIG(*ended) == SIGTERM) << *ended;
  EXPECT_FALSE(running("tvl-cover-layer"));
  EXPECT_TRUE(eventually([] { return shows(10, 10, kWallpaper1); }, 3s));
}

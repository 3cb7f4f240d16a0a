// The assembled TVLQC bundle on a desktop: its own Xvfb display with a tray host (trayer),
// on the private session bus of the test's wrapper. Started from the build's Applications
// folder, it shows its icon in the tray and its menu on a click; quitting from the menu
// ends it. Outside a main application it alerts and ends once the alert is closed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ShellUtilities.h"
#include "support/ChildProcess.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::eventually;

namespace {

// A child process with an exit status; killed and reaped if it still runs at the end.
class Process {
 public:
  explicit Process(std::vector<std::string> argv, int fdForChild3 = -1) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (fdForChild3 >= 0) posix_spawn_file_actions_adddup2(&actions, fdForChild3, 3);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool started() const { return pid_ > 0; }
  // The exit status once it has ended within the time given.
  std::optional<int> waitForExit(std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!status_ && std::chrono::steady_clock::now() < end) {
      int s = 0;
      if (::waitpid(pid_, &s, WNOHANG) == pid_)
        status_ = WIFEXITED(s) ? WEXITSTATUS(s) : 128;
      else
        std::this_thread::sleep_for(20ms);
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

std::string sh(const std::string& command) {
  return common::doShellWithCommand(command);
}

struct Geometry {
  int width = 0, height = 0, x = 0, y = 0;
};

// Windows of class TVLQC, from the X server's window tree.
std::vector<Geometry> controllerWindows() {
  std::vector<Geometry> found;
  std::istringstream tree(sh("xwininfo -root -tree"));
  std::regex line(
      R"re(\("TVLQC" "TVLQC"\)\s+(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+))re");
  for (std::string l; std::getline(tree, l);) {
    std::smatch m;
    if (std::regex_search(l, m, line))
      found.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])});
  }
  return found;
}

// The distinct colours of a region of the screen, as ImageMagick names them (#RRGGBB).
std::string colours(const Geometry& g) {
  char crop[96];
  std::snprintf(crop, sizeof crop, "%dx%d+%d+%d", g.width, g.height, g.x, g.y);
  return sh(std::string("import -window root -crop ") + crop +
            " -depth 8 +repage txt:- | grep -o '#[0-9A-F]\\{6\\}' | sort -u");
}

// True when a tray-sized window of the controller shows the colour; its place in icon.
bool iconShowing(const std::string& colour, Geometry* icon = nullptr) {
  for (auto& g : controllerWindows()) {
    if (g.width > 32 || g.height > 32 || g.x <= 0) continue;
    if (colours(g).find(colour) == std::string::npos) continue;
    if (icon) *icon = g;
    return true;
  }
  return false;
}

// An Xvfb display of its own with a tray host on it.
class Desktop : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    xvfb_ = std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "1024x600x24",
                                 "-nolisten", "tcp", "-noreset"},
        fds[1]);
    ::close(fds[1]);
    ASSERT_TRUE(xvfb_->started());
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0) {
      char c;
      if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    ::close(fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb gave no display";
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    // Under the sanitizers: libxkbcommon-x11 strndup()s a counted, unterminated buffer of
    // the X server's reply, which strict string checks report though it reads no further
    // than the count. Relaxed for the programs started here only.
    if (const char* asan = std::getenv("ASAN_OPTIONS"))
      ::setenv("ASAN_OPTIONS", (std::string(asan) + ":strict_string_checks=0").c_str(), 1);
    tray_ = std::make_unique<Process>(std::vector<std::string>{
        "/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
        "--height", "32", "--SetDockType", "true", "--transparent", "false"});
    ASSERT_TRUE(eventually([] {
      return sh("xwininfo -root -tree").find("\"panel\"") != std::string::npos;
    })) << "no tray host";
  }
  void TearDown() override {
    tray_.reset();
    xvfb_.reset();
  }

  static fs::path applications() { return fs::path(std::getenv("TVL_BUILD_DIR")) / "Applications"; }

  std::unique_ptr<Process> xvfb_, tray_;
};

}  // namespace

TEST_F(Desktop, InstalledControllerShowsItsIconAndMenuAndQuitsFromIt) {
  fs::path exe =
      applications() / "Mac Tovalo.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC";
  Process tvlqc({exe.string()});
  ASSERT_TRUE(tvlqc.started());

  // The icon: a small window of the controller's embedded in the tray, drawing tvl.png.
  // Its place settles once the tray has embedded it.
  Geometry icon;
  ASSERT_TRUE(eventually([&] { return iconShowing("#1F6FB5", &icon); }))
      << "the tray shows no icon of the controller\n"
      << sh("xwininfo -root -tree");

  // A click opens the menu: a popup of seven entries below the icon.
  sh("xdotool mousemove " + std::to_string(icon.x + icon.width / 2) + " " +
     std::to_string(icon.y + icon.height / 2) + " click 1");
  Geometry menu;
  ASSERT_TRUE(eventually([&] {
    for (auto& g : controllerWindows())
      if (g.height > 100 && g.width > 100) menu = g;
    return menu.height > 0;
  })) << sh("xwininfo -root -tree");
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
  EXPECT_EQ(tvlqc.waitForExit(30s), 0);
}

TEST_F(Desktop, OutsideAMainApplicationItAlertsAndEndsWhenTheAlertCloses) {
  testsupport::TempDir dir;
  fs::path bundle = dir.path() / "Elsewhere.app/Contents/Resources/TVLQC.app";
  fs::create_directories(bundle);
  fs::copy(applications() / "Mac Tovalo.app/Contents/Resources/TVLQC.app", bundle,
           fs::copy_options::recursive);
  Process tvlqc({(bundle / "Contents/MacOS/TVLQC").string()});
  ASSERT_TRUE(tvlqc.started());

  Geometry alert;
  ASSERT_TRUE(eventually([&] {
    for (auto& g : controllerWindows())
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

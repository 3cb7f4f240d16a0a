// The assembled desktop cover (TVLDesktop in its bundle) on an X server with two monitors
// side by side and a window manager: LEFT 960x900+0+0 and RIGHT 640x720+960+0
// (tests/support/with-xvfb-monitors), with real processes and the real session bus.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "support/ChildProcess.h"
#include "support/Files.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using testsupport::eventually;
namespace fs = std::filesystem;

const std::string kCoverExecutable =
    std::string(std::getenv("TVL_BUILD_DIR") ? std::getenv("TVL_BUILD_DIR") : ".") +
    "/Applications/Mac Tovalo.app/Contents/Resources/TVLDesktopwhite.app/Contents/MacOS/"
    "TVLDesktop";

// A child process: killed and reaped at the end unless it ended by itself before.
class Process {
 public:
  explicit Process(std::vector<std::string> argv, const std::string& outputFile = "") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outputFile.empty())
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  // The wait status once the process has ended, or none if it still runs after timeout.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = status;
      else if (std::chrono::steady_clock::now() > deadline)
        break;
      else
        std::this_thread::sleep_for(10ms);
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// As an ordinary user when the test runs as root, as a user's VNC server would run.
std::vector<std::string> asOrdinaryUser(std::vector<std::string> argv) {
  if (::geteuid() == 0)
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  return argv;
}

struct Rect {
  int x, y, width, height;
  bool operator==(const Rect&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Rect& r) {
  return out << r.width << "x" << r.height << "+" << r.x << "+" << r.y;
}

// The X server as the window manager presents it.
class Display {
 public:
  Display() {
    connection_ = xcb_connect(nullptr, nullptr);
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
  }
  ~Display() { xcb_disconnect(connection_); }
  bool ok() const { return xcb_connection_has_error(connection_) == 0; }

  xcb_atom_t atom(const char* name) {
    auto* reply = xcb_intern_atom_reply(
        connection_, xcb_intern_atom(connection_, 0, std::strlen(name), name), nullptr);
    xcb_atom_t a = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return a;
  }
  std::vector<uint32_t> values(xcb_window_t window, const char* property) {
    auto* reply = xcb_get_property_reply(connection_,
                                         xcb_get_property(connection_, 0, window, atom(property),
                                                          XCB_GET_PROPERTY_TYPE_ANY, 0, 4096),
                                         nullptr);
    std::vector<uint32_t> result;
    if (reply && reply->format == 32) {
      auto* data = static_cast<uint32_t*>(xcb_get_property_value(reply));
      result.assign(data, data + xcb_get_property_value_length(reply) / 4);
    }
    std::free(reply);
    return result;
  }
  std::string text(xcb_window_t window, xcb_atom_t property) {
    auto* reply = xcb_get_property_reply(
        connection_, xcb_get_property(connection_, 0, window, property, XCB_ATOM_STRING, 0, 1024),
        nullptr);
    std::string result;
    if (reply && reply->format == 8)
      result.assign(static_cast<char*>(xcb_get_property_value(reply)),
                    xcb_get_property_value_length(reply));
    std::free(reply);
    return result;
  }
  // Managed client windows, bottom to top.
  std::vector<xcb_window_t> stacking() { return values(root_, "_NET_CLIENT_LIST_STACKING"); }
  std::vector<xcb_window_t> windowsOf(pid_t pid) {
    std::vector<xcb_window_t> result;
    for (xcb_window_t w : stacking())
      if (values(w, "_NET_WM_PID") == std::vector<uint32_t>{static_cast<uint32_t>(pid)})
        result.push_back(w);
    return result;
  }
  std::optional<xcb_window_t> windowOfClass(const std::string& instance) {
    for (xcb_window_t w : stacking())
      if (text(w, XCB_ATOM_WM_CLASS).starts_with(instance + '\0')) return w;
    return std::nullopt;
  }
  Rect onScreen(xcb_window_t window) {
    auto* geometry =
        xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr);
    auto* origin = xcb_translate_coordinates_reply(
        connection_, xcb_translate_coordinates(connection_, window, root_, 0, 0), nullptr);
    Rect r{origin ? origin->dst_x : -1, origin ? origin->dst_y : -1,
           geometry ? geometry->width : -1, geometry ? geometry->height : -1};
    std::free(geometry);
    std::free(origin);
    return r;
  }
  // What the screen shows at (x, y), as 0xRRGGBB.
  uint32_t pixel(int x, int y) {
    auto* reply = xcb_get_image_reply(
        connection_, xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, x, y, 1, 1, ~0u),
        nullptr);
    uint32_t value = 0;
    if (reply) std::memcpy(&value, xcb_get_image_data(reply), 4);
    std::free(reply);
    return value & 0xFFFFFF;
  }
  // Asks for the window to go on top of its siblings (the window manager decides).
  void raise(xcb_window_t window) {
    uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    xcb_flush(connection_);
  }

 private:
  xcb_connection_t* connection_;
  xcb_window_t root_;
};

// In the sanitized build: libxkbcommon-x11 strndup()s length-bounded X reply data that
// has no terminating NUL; AddressSanitizer's strict string checks take that for an
// overflow, so they are off for the cover (only) under test.
class SanitizerOptionsForCover : public testing::Environment {
 public:
  void SetUp() override {
    if (const char* options = std::getenv("ASAN_OPTIONS"))
      ::setenv("ASAN_OPTIONS", (std::string(options) + ":strict_string_checks=0").c_str(), 1);
  }
};
const auto* const kSanitizerOptions =
    testing::AddGlobalTestEnvironment(new SanitizerOptionsForCover);

constexpr uint32_t kLightGray = 0xAAAAAA;  // 170, 170, 170: two thirds of white
const Rect kLeft{0, 0, 960, 900}, kRight{960, 0, 640, 720};

}  // namespace

TEST(CoverEndToEnd, CoversEachMonitorBelowOrdinaryWindows) {
  Display display;
  ASSERT_TRUE(display.ok());
  Process cover({kCoverExecutable});
  std::vector<xcb_window_t> windows;
  ASSERT_TRUE(eventually([&] { return (windows = display.windowsOf(cover.pid())).size() == 2; }));
  std::sort(windows.begin(), windows.end());  // in the order they were made: screen order
  EXPECT_EQ(display.onScreen(windows[0]), kLeft);
  EXPECT_EQ(display.onScreen(windows[1]), kRight);
  for (xcb_window_t w : windows) {
    // A desktop window on every workspace, out of task bar and pager, kept below.
    EXPECT_EQ(display.values(w, "_NET_WM_WINDOW_TYPE").at(0),
              display.atom("_NET_WM_WINDOW_TYPE_DESKTOP"));
    EXPECT_EQ(display.values(w, "_NET_WM_DESKTOP"), std::vector<uint32_t>{0xFFFFFFFF});
    auto states = display.values(w, "_NET_WM_STATE");
    for (const char* state :
         {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_BELOW"})
      EXPECT_NE(std::find(states.begin(), states.end(), display.atom(state)), states.end())
          << state;
    // No keyboard focus: the input hint is set and false.
    auto hints = display.values(w, "WM_HINTS");
    ASSERT_GE(hints.size(), 2u);
    EXPECT_TRUE((hints[0] & 1) && hints[1] == 0);
  }

  Process ordinary({"/usr/bin/xmessage", "-geometry", "320x120+100+100", "An ordinary window"});
  std::optional<xcb_window_t> message;
  ASSERT_TRUE(
      eventually([&] { return (message = display.windowOfClass("xmessage")).has_value(); }));
  // Even asked to come up, the cover stays below the ordinary window.
  for (xcb_window_t w : windows) display.raise(w);
  std::this_thread::sleep_for(300ms);  // let the window manager act on the requests
  auto stack = display.stacking();
  auto position = [&](xcb_window_t w) {
    return std::distance(stack.begin(), std::find(stack.begin(), stack.end(), w));
  };
  for (xcb_window_t w : windows) EXPECT_LT(position(w), position(*message));

  // The screen shows grey on both monitors and the ordinary window on top of it.
  Rect m = display.onScreen(*message);
  EXPECT_TRUE(eventually([&] { return display.pixel(700, 600) == kLightGray; }, 3s));
  EXPECT_EQ(display.pixel(1300, 400), kLightGray);
  EXPECT_NE(display.pixel(m.x + m.width / 2, m.y + m.height / 2), kLightGray);
  EXPECT_NE(display.pixel(1300, 800), kLightGray);  // below RIGHT: no monitor, no cover

  if (const char* dir = std::getenv("TVL_BUILD_DIR"))
    std::system(("import -window root -resize 50% -depth 8 " + std::string(dir) +
                 "/cover-e2e-screenshot.png 2>/dev/null")
                    .c_str());
}

TEST(CoverEndToEnd, KillallByExecutableNameEndsItAtOnce) {
  Display display;
  Process cover({kCoverExecutable});
  ASSERT_TRUE(eventually([&] { return display.windowsOf(cover.pid()).size() == 2; }));
  ASSERT_EQ(std::system("killall TVLDesktop"), 0);
  std::optional<int> status = cover.waitForExit(5s);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
}

TEST(CoverEndToEnd, StaysWhileTheMainApplicationRunsAndEndsTheSessionWhenItIsGone) {
  // A VNC server and two tunnels of an ordinary user, and a main application whose name has
  // a blank in it, which the real process probe must still find (a private PID namespace:
  // no other test's processes either). The main application is the cover's user's (here
  // root's, as the cover runs); another account runs a program of the same name all along,
  // which must not keep the session once the user's own is gone.
  testsupport::TempDir dir;
  fs::create_directory(dir.path() / ".tvl-tunnel");
  fs::copy_file("/bin/sleep", dir.path() / "OSXvncserver");
  fs::copy_file("/bin/sleep", dir.path() / ".tvl-tunnel" / "ssh");
  fs::copy_file("/bin/sleep", dir.path() / "Mac Tovalo");
  for (auto p : {dir.path(), dir.path() / ".tvl-tunnel"}) ::chmod(p.c_str(), 0755);
  // The runtime folder as a killed session left it: its own folder with the key's copy;
  // beside it another account's folder and a link named like one, which stay.
  const fs::path runtime = dir.path() / "runtime";
  fs::create_directories(runtime / ".tvl-tunnel-Kill3d");
  std::ofstream(runtime / ".tvl-tunnel-Kill3d" / "id") << "a copy of the organisation's key\n";
  fs::create_directories(runtime / ".tvl-tunnel-0thers");
  ASSERT_EQ(::chown((runtime / ".tvl-tunnel-0thers").c_str(), 65534, 65534), 0);
  fs::create_directories(dir.path() / "elsewhere");
  fs::create_directory_symlink(dir.path() / "elsewhere", runtime / ".tvl-tunnel-L1nk3d");
  const std::string monitorLog = (dir.path() / "bus.log").string();
  Process monitor({"/usr/bin/dbus-monitor", "--session",
                   "type='signal',interface='com.nrvk.tvl.DistributedNotificationCenter'"},
                  monitorLog);
  Process vnc(asOrdinaryUser({(dir.path() / "OSXvncserver").string(), "600"}));
  Process tunnel1(asOrdinaryUser({(dir.path() / ".tvl-tunnel" / "ssh").string(), "600"}));
  Process tunnel2(asOrdinaryUser({(dir.path() / ".tvl-tunnel" / "ssh").string(), "600"}));
  ASSERT_TRUE(testsupport::waitUntilExecuted(vnc.pid(), "OSXvncserver"));
  ASSERT_TRUE(testsupport::waitUntilExecuted(tunnel1.pid(), "ssh"));
  ASSERT_TRUE(testsupport::waitUntilExecuted(tunnel2.pid(), "ssh"));
  Process othersMainApplication(asOrdinaryUser({(dir.path() / "Mac Tovalo").string(), "600"}));
  auto mainApplication = std::make_unique<Process>(
      std::vector<std::string>{(dir.path() / "Mac Tovalo").string(), "600"});
  ASSERT_TRUE(testsupport::waitUntilExecuted(mainApplication->pid(), "Mac Tovalo"));
  ASSERT_TRUE(testsupport::waitUntilExecuted(othersMainApplication.pid(), "Mac Tovalo"));
  std::this_thread::sleep_for(300ms);  // let dbus-monitor register its match rule

  Display display;
  Process cover({"/usr/bin/env", "XDG_RUNTIME_DIR=" + runtime.string(), kCoverExecutable});
  ASSERT_TRUE(eventually([&] { return display.windowsOf(cover.pid()).size() == 2; }));
  // The first check, 10 s after start, finds the main application: everything stays.
  EXPECT_FALSE(cover.waitForExit(11500ms)) << "the cover quit while Mac Tovalo ran";
  EXPECT_FALSE(vnc.waitForExit(0ms)) << "the VNC server was ended while Mac Tovalo ran";
  // Once it is gone, the next check ends the session and the cover quits.
  mainApplication.reset();
  std::optional<int> status = cover.waitForExit(30s);
  ASSERT_TRUE(status.has_value()) << "the cover did not quit";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;

  for (Process* p : {&vnc, &tunnel1, &tunnel2}) {
    std::optional<int> ended = p->waitForExit(5s);
    ASSERT_TRUE(ended.has_value()) << "process " << p->pid() << " still runs";
    EXPECT_TRUE(WIFSIGNALED(*ended) && WTERMSIG(*ended) == SIGTERM) << *ended;
  }
  std::string bus;
  EXPECT_TRUE(eventually(
      [&] {
        std::ifstream in(monitorLog);
        bus.assign(std::istreambuf_iterator<char>(in), {});
        return bus.find("com.nrvk.tvl.sharingstopped") != std::string::npos;
      },
      3s));
  EXPECT_NE(bus.find("string \"com.nrvk.tvl.sharingstopped\"\n   string \"com.nrvk.tvl\"\n"),
            std::string::npos)
      << bus;
  // Posted once, after the main application was gone.
  EXPECT_EQ(bus.find("com.nrvk.tvl.sharingstopped"), bus.rfind("com.nrvk.tvl.sharingstopped"));
  // The killed session's folder went; the other account's folder and the link stayed, and
  // nothing behind the link was touched.
  EXPECT_FALSE(fs::exists(runtime / ".tvl-tunnel-Kill3d"));
  EXPECT_TRUE(fs::exists(runtime / ".tvl-tunnel-0thers"));
  EXPECT_TRUE(fs::is_symlink(runtime / ".tvl-tunnel-L1nk3d"));
  EXPECT_TRUE(fs::exists(dir.path() / "elsewhere"));
}

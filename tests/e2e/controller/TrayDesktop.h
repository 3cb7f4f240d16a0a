// A desktop for the controller's end-to-end tests: its own Xvfb display with a tray host
// (trayer), on the private session bus of the test's wrapper, and the means to look at it
// (the controller's windows, the colours they show) and to run programs on it.
#pragma once

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
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ShellUtilities.h"
#include "support/ChildProcess.h"

using namespace tvl;

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::eventually;

namespace traydesktop {

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
  pid_t pid() const { return pid_; }
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

inline std::string sh(const std::string& command) {
  return common::doShellWithCommand(command);
}

struct Geometry {
  int width = 0, height = 0, x = 0, y = 0;
  bool operator==(const Geometry&) const = default;
};

// Windows of a class (TVLQC: the controller's), from the X server's window tree, mapped or not.
inline std::vector<Geometry> windowsOfClass(const std::string& windowClass) {
  std::vector<Geometry> found;
  std::istringstream tree(sh("xwininfo -root -tree"));
  std::regex line(R"re(\(")re" + windowClass +
                  R"re(" "[^"]*"\)\s+(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+))re");
  for (std::string l; std::getline(tree, l);) {
    std::smatch m;
    if (std::regex_search(l, m, line))
      found.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])});
  }
  return found;
}

inline std::vector<Geometry> controllerWindows() {
  return windowsOfClass("TVLQC");
}

// The distinct colours of a region of the screen, as ImageMagick names them (#RRGGBB).
inline std::string colours(const Geometry& g) {
  char crop[96];
  std::snprintf(crop, sizeof crop, "%dx%d+%d+%d", g.width, g.height, g.x, g.y);
  return sh(std::string("import -window root -crop ") + crop +
            " -depth 8 +repage txt:- | grep -o '#[0-9A-F]\\{6\\}' | sort -u");
}

// True when a tray-sized window of the controller shows the colour; its place in icon.
inline bool iconShowing(const std::string& colour, Geometry* icon = nullptr) {
  for (auto& g : controllerWindows()) {
    if (g.width > 32 || g.height > 32 || g.x <= 0) continue;
    if (colours(g).find(colour) == std::string::npos) continue;
    if (icon) *icon = g;
    return true;
  }
  return false;
}

// The icon's place once the tray has laid it out: two looks a moment apart agree. A tray
// that embeds an icon shows it at one place and size first and moves it on (trayer: 22x22
// at the screen's edge, then 22x30 beside it); a click at the first place misses the icon.
inline bool iconSettled(const std::string& colour, Geometry* icon) {
  std::smatch m;
  const std::string root = sh("xwininfo -root");
  const int screenWidth =
      std::regex_search(root, m, std::regex(R"(Width: (\d+))")) ? std::stoi(m[1]) : 0;
  Geometry first, second;
  if (!iconShowing(colour, &first) || first.y < 0 || first.x + first.width > screenWidth)
    return false;
  std::this_thread::sleep_for(300ms);
  if (!iconShowing(colour, &second) || !(first == second)) return false;
  *icon = second;
  return true;
}

// The visible windows that xdotool finds with the search (e.g. "--name 'regex'" or
// "--class TVLQC").
inline std::vector<Geometry> visibleWindows(const std::string& search) {
  std::string out =
      sh("xdotool search --onlyvisible " + search + " getwindowgeometry %@ 2>/dev/null");
  std::vector<Geometry> found;
  std::regex block(R"(Position: (-?\d+),(-?\d+)[^\n]*\n\s*Geometry: (\d+)x(\d+))");
  for (std::sregex_iterator m(out.begin(), out.end(), block), end; m != end; ++m)
    found.push_back(
        {std::stoi((*m)[3]), std::stoi((*m)[4]), std::stoi((*m)[1]), std::stoi((*m)[2])});
  return found;
}

// A visible window whose title matches the pattern (a regular expression).
inline std::optional<Geometry> visibleWindowNamed(const std::string& pattern) {
  auto found = visibleWindows("--name '" + pattern + "'");
  if (found.empty()) return std::nullopt;
  return found.front();
}

inline void clickAt(int x, int y, int button = 1) {
  sh("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click " +
     std::to_string(button));
}

// An Xvfb display of its own, with no tray host yet.
class BareDesktop : public ::testing::Test {
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
  }
  void TearDown() override {
    tray_.reset();
    xvfb_.reset();
  }

  // An XEmbed tray host, as tall as given.
  void startTrayer(int height = 32) {
    tray_ = std::make_unique<Process>(std::vector<std::string>{
        "/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
        "--height", std::to_string(height), "--SetDockType", "true", "--transparent", "false"});
    ASSERT_TRUE(eventually([] {
      return sh("xwininfo -root -tree").find("\"panel\"") != std::string::npos;
    })) << "no tray host";
  }

  static fs::path applications() { return fs::path(std::getenv("TVL_BUILD_DIR")) / "Applications"; }

  std::unique_ptr<Process> xvfb_, tray_;
};

// An Xvfb display of its own with a tray host on it.
class Desktop : public BareDesktop {
 protected:
  void SetUp() override {
    BareDesktop::SetUp();
    startTrayer();
  }
};

}  // namespace traydesktop

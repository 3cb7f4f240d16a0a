// The product as `cmake --install` lays it out in a fresh prefix, and used from there the way
// a session uses it: the desktop entries validate and name the installed programs, the
// tovalo: scheme opens the installed Mac Tovalo, the autostart entry starts the installed
// controller, which finds its edition. Runs on the Xvfb and private session bus of
// with-xvfb-monitors, with a tray host of its own.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>
#include <vector>

#include "e2e/install/InstallSupport.h"
#include "support/ChildProcess.h"
#include "support/Files.h"

namespace {

using namespace installtest;
using namespace std::chrono_literals;
using testsupport::eventually;

const char* const kEditions[] = {"Mac Tovalo", "Mac Brisca"};
const std::string kAppDir = "lib/tovalo/Applications/";
const std::string kTovaloEntry = "share/applications/com.nrvk.tvl.desktop";
const std::string kBriscaEntry = "share/applications/com.nrvk.tvl.brisca.desktop";
const std::string kMenuEntry = "share/applications/com.nrvk.tvlqc.desktop";
const std::string kAutostartEntry = "etc/xdg/autostart/com.nrvk.tvlqc.desktop";
const std::string kPolicy = "share/polkit-1/actions/com.nrvk.tvl.policy";
const std::string kBusService = "share/dbus-1/services/com.nrvk.tvl.service";
const char* const kCommands[] = {"mac-tovalo", "mac-brisca", "mac-tovalo-menu", "mac-brisca-menu"};
const int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

fs::path buildDir() {
  return std::getenv("TVL_BUILD_DIR");
}
fs::path sourceDir() {
  return std::getenv("TVL_SOURCE_DIR");
}

// The process that owns a name on the session bus; 0 for none.
pid_t busNameOwner(const std::string& name) {
  Outcome r =
      run("gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus "
          "--method org.freedesktop.DBus.GetConnectionUnixProcessID " +
          name);
  std::smatch m;
  if (r.status != 0 || !std::regex_search(r.output, m, std::regex(R"(uint32 (\d+))"))) return 0;
  return static_cast<pid_t>(std::stol(m[1]));
}

fs::path executableOf(pid_t pid) {
  std::error_code ec;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
}

// Ends a process that is not this test's child (started through a launcher).
void end(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!eventually([pid] { return ::kill(pid, 0) != 0; }, 5s)) ::kill(pid, SIGKILL);
}

// The distinct colours of the tray-sized windows of class TVLQC (the status icon), whatever
// the command that started it (its instance name).
std::string trayIconColours() {
  std::string colours;
  std::istringstream windows(run("xwininfo -root -tree").output);
  std::regex line(
      R"re(\("[^"]*" "TVLQC"\)\s+(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+))re");
  for (std::string l; std::getline(windows, l);) {
    std::smatch m;
    if (!std::regex_search(l, m, line)) continue;
    int w = std::stoi(m[1]), h = std::stoi(m[2]), x = std::stoi(m[3]), y = std::stoi(m[4]);
    if (w > 32 || h > 32 || x <= 0) continue;
    colours += run("import -window root -crop " + std::to_string(w) + "x" + std::to_string(h) +
                   "+" + std::to_string(x) + "+" + std::to_string(y) +
                   " -depth 8 +repage txt:- | grep -o '#[0-9A-F]\\{6\\}' | sort -u")
                   .output;
  }
  return colours;
}

class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    prefix_ = new testsupport::TempDir;
    // Whatever autostart folder this build was configured with, this installation keeps it
    // inside the prefix; an empty choice is the system rule (<prefix>/etc/xdg/autostart).
    std::string autostart = std::string(TVL_AUTOSTART_DIR_CONFIGURED).empty()
                                ? "-u TVL_AUTOSTART_DIR"
                                : "TVL_AUTOSTART_DIR=etc/xdg/autostart";
    install_ = new Outcome(cmakeInstall(buildDir(), prefix(), autostart));
  }
  static void TearDownTestSuite() {
    delete install_;
    delete prefix_;
  }
  void SetUp() override { ASSERT_EQ(install_->status, 0) << install_->output; }

  static const fs::path& prefix() { return prefix_->path(); }
  static fs::path bundle(const std::string& edition) {
    return prefix() / kAppDir / (edition + ".app");
  }

  static inline testsupport::TempDir* prefix_ = nullptr;
  static inline Outcome* install_ = nullptr;
};

TEST_F(Installed, BothEditionsCarryTheirProgramsWithExecutablesTheOnlyExecutableFiles) {
  for (const char* edition : kEditions) {
    SCOPED_TRACE(edition);
    fs::path contents = bundle(edition) / "Contents";
    for (const char* file :
         {"Info.plist", "MacOS/Mac Tovalo", "Resources/MainMenu.ui",
          "Resources/TVLQC.app/Contents/Info.plist", "Resources/TVLQC.app/Contents/MacOS/TVLQC",
          "Resources/TVLQC.app/Contents/MacOS/TVLQCSecureToolTemplate",
          "Resources/TVLQC.app/Contents/Resources/tvl.png",
          "Resources/TVLQC.app/Contents/Resources/English.lproj/Localizable.strings",
          "Resources/TVLQC.app/Contents/Resources/de.lproj/Localizable.strings",
          "Resources/de.lproj/MainMenu.strings",
          "Resources/TVLDesktopwhite.app/Contents/Info.plist",
          "Resources/TVLDesktopwhite.app/Contents/MacOS/TVLDesktop"})
      EXPECT_TRUE(fs::is_regular_file(contents / file)) << file;

    // Exactly the build's bundle, but for the build's own desktop entry, which names the
    // build tree.
    auto built = tree(buildDir() / "Applications" / (std::string(edition) + ".app"));
    built.erase("Contents/Resources/com.nrvk.tvl.desktop");
    auto installed = tree(bundle(edition));
    std::set<std::string> builtNames, installedNames;
    for (auto& [name, mode] : built) builtNames.insert(name);
    for (auto& [name, mode] : installed) installedNames.insert(name);
    EXPECT_EQ(installedNames, builtNames);

    // 0755 for programs and folders, 0644 for the rest; the helper tool's template is a plain
    // program (its working copy is blessed at run time, never the installed one).
    for (auto& [name, mode] : installed) {
      bool program =
          std::regex_search(name, std::regex("/Contents/MacOS/[^/]+$|^Contents/MacOS/[^/]+$"));
      bool folder = name.back() == '/';
      EXPECT_EQ(mode, program || folder ? 0755u : 0644u) << name;
    }
  }
}

TEST_F(Installed, NothingBesidesTheProductAndNoBuildTreePath) {
  std::set<std::string> outside;
  for (auto& [name, mode] : tree(prefix())) {
    if (name.back() == '/' || name.rfind(kAppDir, 0) == 0) continue;
    outside.insert(name);
  }
  std::set<std::string> expected{kTovaloEntry,
                                 kBriscaEntry,
                                 kMenuEntry,
                                 kAutostartEntry,
                                 kPolicy,
                                 "share/applications/mimeinfo.cache",
                                 "share/doc/tovalo-desktop/copyright",
                                 "share/doc/tovalo-desktop/changelog.Debian.gz",
                                 "share/metainfo/com.nrvk.tvl.metainfo.xml",
                                 kBusService};
  for (const char* command : kCommands) {
    expected.insert(std::string("bin/") + command);
    expected.insert(std::string("share/man/man1/") + command + ".1.gz");
  }
  for (const char* icon : {"com.nrvk.tvl", "com.nrvk.tvl.brisca"}) {
    expected.insert(std::string("share/icons/hicolor/scalable/apps/") + icon + ".svg");
    for (int size : kIconSizes)
      expected.insert("share/icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size) +
                      "/apps/" + icon + ".png");
  }
  EXPECT_EQ(outside, expected);
  // No test, bench or tool program of the build came along.
  for (auto& [name, mode] : tree(prefix()))
    EXPECT_FALSE(
        std::regex_search(name, std::regex("_(unit|integration|privileged|e2e|fuzz|bench)$|"
                                           "processlookup|fake_helper")))
        << name;
  // The texts that name paths name installed ones.
  for (auto& [name, mode] : tree(prefix())) {
    if (!std::regex_search(name, std::regex(R"(\.(desktop|plist|policy|ui|strings)$)"))) continue;
    EXPECT_EQ(readFile(prefix() / name).find(buildDir().string()), std::string::npos) << name;
  }
  EXPECT_EQ(readFile(prefix() / kPolicy),
            readFile(sourceDir() / "resources/polkit/com.nrvk.tvl.policy"));
}

TEST_F(Installed, DesktopEntriesValidateAndNameTheInstalledProgramsAndIcons) {
  struct Expected {
    std::string entry, name, command, program, icon;
    bool handler;
  };
  const std::string tvlqc = "Mac Tovalo.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC";
  for (const Expected& e : std::vector<Expected>{
           {kTovaloEntry, "Mac Tovalo", "mac-tovalo", "Mac Tovalo.app/Contents/MacOS/Mac Tovalo",
            "com.nrvk.tvl", true},
           {kBriscaEntry, "Mac Brisca", "mac-brisca", "Mac Brisca.app/Contents/MacOS/Mac Tovalo",
            "com.nrvk.tvl.brisca", false},
           {kAutostartEntry, "", "mac-tovalo-menu", tvlqc, "com.nrvk.tvl", false},
           {kMenuEntry, "Mac Tovalo Menu", "mac-tovalo-menu", tvlqc, "com.nrvk.tvl", false}}) {
    SCOPED_TRACE(e.entry);
    Outcome validate = run("desktop-file-validate " + shellWord((prefix() / e.entry).string()));
    EXPECT_EQ(validate.status, 0);
    EXPECT_EQ(validate.output, "");
    std::string entry = readFile(prefix() / e.entry);
    if (!e.name.empty()) {
      EXPECT_EQ(entryValue(entry, "Name"), e.name);
    }
    // A command of the prefix's bin, without blanks, that leads to the program.
    fs::path command = execProgram(entryValue(entry, "Exec"));
    EXPECT_EQ(command, prefix() / "bin" / e.command);
    EXPECT_EQ(::access(command.c_str(), X_OK), 0) << command;
    std::error_code ec;
    EXPECT_EQ(fs::canonical(command, ec), fs::canonical(prefix() / kAppDir / e.program, ec));
    std::string icon = entryValue(entry, "Icon");
    EXPECT_EQ(icon, e.icon);
    // Every size of the theme holds a picture of that size, and the drawing scales.
    for (int size : kIconSizes) {
      std::string n = std::to_string(size);
      fs::path png = prefix() / ("share/icons/hicolor/" + n + "x" + n + "/apps") / (icon + ".png");
      EXPECT_EQ(run("identify -format '%m %wx%h' " + shellWord(png.string())).output,
                "PNG " + n + "x" + n)
          << png;
    }
    fs::path svg = prefix() / "share/icons/hicolor/scalable/apps" / (icon + ".svg");
    EXPECT_EQ(run("rsvg-convert -w 512 -h 512 " + shellWord(svg.string()) +
                  " | identify -format '%m %wx%h' -")
                  .output,
              "PNG 512x512");
    EXPECT_EQ(entryValue(entry, "MimeType"), e.handler ? "x-scheme-handler/tovalo;" : "");
    // The handler's entry is the one the bus starts (its name is the bus name).
    EXPECT_EQ(entryValue(entry, "DBusActivatable"), e.handler ? "true" : "");
  }
  EXPECT_EQ(readFile(prefix() / kBusService), "[D-BUS Service]\nName=com.nrvk.tvl\nExec=" +
                                                  (prefix() / "bin/mac-tovalo").string() + "\n");
  // The menu's entry is the one of them a user finds in the applications menu, in German too.
  const std::string menu = readFile(prefix() / kMenuEntry);
  EXPECT_EQ(entryValue(menu, "NoDisplay"), "");
  EXPECT_EQ(entryValue(menu, "Name[de]"), "Mac Tovalo-Menü");
  EXPECT_NE(entryValue(menu, "Comment[de]"), "");
  EXPECT_EQ(entryValue(readFile(prefix() / kAutostartEntry), "NoDisplay"), "true");
}

// The session's view of the installation: its data folder first, as a desktop adds it.
class InstalledInTheSession : public Installed {
 protected:
  void SetUp() override {
    Installed::SetUp();
    ::setenv("XDG_DATA_DIRS", ((prefix() / "share").string() + ":/usr/share").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    // Under the sanitizers: libxkbcommon-x11 strndup()s a counted, unterminated buffer of
    // the X server's reply (see the tray test).
    if (const char* asan = std::getenv("ASAN_OPTIONS"))
      ::setenv("ASAN_OPTIONS", (std::string(asan) + ":strict_string_checks=0").c_str(), 1);
    // The session's bus starts the installation's Mac Tovalo for desktops that open its entry
    // over the bus: its service among the bus's (with-session-bus), and the session's
    // settings in what the bus gives the programs it starts, as a desktop's start-up does.
    fs::path services = fs::path(std::getenv("HOME")) / "dbus-services";
    std::error_code ec;
    fs::create_symlink(prefix() / kBusService, services / "com.nrvk.tvl.service", ec);
    ASSERT_EQ(
        run("dbus-update-activation-environment QT_QPA_PLATFORM ASAN_OPTIONS XDG_DATA_DIRS && "
            "gdbus call --session --dest org.freedesktop.DBus --object-path "
            "/org/freedesktop/DBus --method org.freedesktop.DBus.ReloadConfig")
            .status,
        0);
  }
  testsupport::TempDir log_;

  void TearDown() override {
    for (const char* name : {"com.nrvk.tvl", "com.nrvk.tvlqc"}) end(busNameOwner(name));
  }
};

TEST_F(InstalledInTheSession, TovaloUrlsOpenTheInstalledMacTovalo) {
  // The installation updated the desktop database of its prefix, as the package's trigger
  // does for /usr.
  Outcome handler = run("gio mime x-scheme-handler/tovalo");
  EXPECT_NE(handler.output.find(
                "Default application for “x-scheme-handler/tovalo”: com.nrvk.tvl.desktop"),
            std::string::npos)
      << handler.output;
  EXPECT_EQ(handler.output.find("brisca"), std::string::npos) << handler.output;

  Outcome open = launch("gio open tovalo:x:SECRET:KEY", log_.path() / "gio.log");
  ASSERT_EQ(open.status, 0) << open.output;
  pid_t app = 0;
  ASSERT_TRUE(eventually([&] { return (app = busNameOwner("com.nrvk.tvl")) > 0; }));
  EXPECT_EQ(executableOf(app), bundle("Mac Tovalo") / "Contents/MacOS/Mac Tovalo");
  // The URL reached it: its fields are in the control tab.
  const std::string field =
      "get contents of text field \\\"remotekey\\\" of tab view item \\\"control\\\" of tab view "
      "\\\"tvlremotetabs\\\" of window \\\"tvlremote\\\"";
  EXPECT_TRUE(eventually([&] {
    return run("gdbus call --session --dest com.nrvk.tvl --object-path /Application --method "
               "com.nrvk.tvl.Application.ExecuteScript \"" +
               field + "\"")
               .output.find("'KEY'") != std::string::npos;
  }));
}

TEST_F(InstalledInTheSession, AtLoginTheControllerOfTheInstalledMacTovaloShowsItsEditionsIcon) {
  testsupport::ChildProcess tray({"/usr/bin/trayer", "--edge", "top", "--align", "right",
                                  "--widthtype", "request", "--height", "32", "--SetDockType",
                                  "true", "--transparent", "false"});
  ASSERT_TRUE(eventually([] {
    return run("xwininfo -root -tree").output.find("\"panel\"") != std::string::npos;
  })) << "no tray host";

  // The session starts the autostart entry as it stands.
  Outcome login = launch("gio launch " + shellWord((prefix() / kAutostartEntry).string()),
                         log_.path() / "gio.log");
  ASSERT_EQ(login.status, 0) << login.output;
  pid_t controller = 0;
  ASSERT_TRUE(eventually([&] { return (controller = busNameOwner("com.nrvk.tvlqc")) > 0; }));
  EXPECT_EQ(executableOf(controller),
            bundle("Mac Tovalo") / "Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC");
  // Edition Mac Tovalo: its blue icon, not the grey one of a controller that found no main
  // application around it.
  std::string colours;
  EXPECT_TRUE(eventually([&] {
    return (colours = trayIconColours()).find("#1F6FB5") != std::string::npos;
  })) << colours;
  EXPECT_EQ(colours.find("#8A8A8A"), std::string::npos) << colours;

  // The applications menu's entry, while the menu runs: the running one opens its window
  // (for a desktop without a tray) and stays the only one.
  // Titled like the status item's tool tip (Mac Tovalo is not running), as tall as its entries.
  auto menuWindowShows = [] {
    std::string sizes = run("xdotool search --onlyvisible --name '^Mac Tovalo$' "
                            "getwindowgeometry %@ 2>/dev/null | grep -o 'Geometry: [0-9]*x[0-9]*'")
                            .output;
    std::regex tall(R"(Geometry: \d+x(\d{3,}))");
    return std::regex_search(sizes, tall);
  };
  ASSERT_FALSE(menuWindowShows()) << "a menu window beside the tray";
  Outcome reopen =
      launch("gio launch " + shellWord((prefix() / kMenuEntry).string()), log_.path() / "gio2.log");
  ASSERT_EQ(reopen.status, 0) << reopen.output;
  EXPECT_TRUE(eventually(menuWindowShows)) << "the applications menu's entry opened no menu window";
  // The second start has handed over and ended: one controller of this installation is left.
  const std::string controllers =
      "pgrep -c -f " + shellWord((prefix() / "bin/mac-tovalo-menu").string() + "$");
  EXPECT_TRUE(eventually([&] { return run(controllers).output == "1\n"; }))
      << run(controllers).output;
  EXPECT_EQ(busNameOwner("com.nrvk.tvlqc"), controller);
  end(controller);
  ASSERT_TRUE(eventually([] { return busNameOwner("com.nrvk.tvlqc") == 0; }));

  // The other edition's controller, from its own installed bundle: its purple icon.
  testsupport::ChildProcess brisca(
      {(bundle("Mac Brisca") / "Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC").string()});
  EXPECT_TRUE(eventually([&] {
    return (colours = trayIconColours()).find("#6B3FA0") != std::string::npos;
  })) << colours;
  EXPECT_EQ(colours.find("#8A8A8A"), std::string::npos) << colours;
}

}  // namespace

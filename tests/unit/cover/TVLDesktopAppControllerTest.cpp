// The desktop cover's watch decision with controlled inputs and a controllable clock, and
// its windows on Qt's offscreen platform with two screens side by side.
#include "cover/TVLDesktopAppController.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QScreen>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "cover/CoverSystem.h"
#include "cover/ProcessLookup.h"
#include "cover/TVLView.h"
#include "support/ChildProcess.h"
#include "support/Files.h"

using namespace tvl;

using namespace std::chrono_literals;

namespace {

// Two screens of different sizes, so a window put on the wrong one shows.
QApplication& app() {
  static auto* instance = [] {
    static std::string config =
        (std::filesystem::temp_directory_path() / "tvl-cover-unit-screens.json").string();
    std::ofstream(config)
        << R"({"screens":[)"
        << R"({"name":"LEFT","x":0,"y":0,"width":960,"height":900,"logicalDpi":96,"dpr":1},)"
        << R"({"name":"RIGHT","x":960,"y":0,"width":640,"height":720,"logicalDpi":96,"dpr":1}]})";
    qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + config.c_str());
    static int argc = 1;
    static char name[] = "cover_unit";
    static char* argv[] = {name, nullptr};
    auto* a = new QApplication(argc, argv);
    a->setQuitOnLastWindowClosed(false);
    return a;
  }();
  return *instance;
}

// The machine as the watch sees it, and a log of what the watch did to it.
struct FakeSystem : cover::System {
  std::map<std::string, pid_t> pids;   // GetPIDForProcessName
  std::map<pid_t, uid_t> owners;       // getUIDForPID; any other pid reads as root, as an
  std::set<std::string> runningNames;  // unfilled record would
  std::set<std::string> ownNames;      // isOwnProcessRunning
  std::string tunnelPIDs;              // returnPIDForProcess(".tvl-tunnel")
  std::vector<std::string> actions;    // posted, shell commands, terminate
  std::vector<std::string> queries;

  pid_t GetPIDForProcessName(const char* name) override {
    queries.push_back(std::string("pid ") + name);
    auto it = pids.find(name);
    return it == pids.end() ? -1 : it->second;
  }
  uid_t getUIDForPID(pid_t pid) override {
    queries.push_back("uid " + std::to_string(pid));
    auto it = owners.find(pid);
    return it == owners.end() ? 0 : it->second;
  }
  bool runningStateForApplication(const std::string& name) override {
    queries.push_back("running " + name);
    return runningNames.count(name) > 0;
  }
  bool isOwnProcessRunning(const char* name) override {
    queries.push_back(std::string("own ") + name);
    return ownNames.count(name) > 0;
  }
  void removeSessionFolders() override { actions.push_back("remove folders"); }
  std::string returnPIDForProcess(const std::string& text) override {
    queries.push_back("pids " + text);
    return text == ".tvl-tunnel" ? tunnelPIDs : "";
  }
  void doShellWithCommandNoReturn(const std::string& command) override {
    actions.push_back("shell " + command);
  }
  void postDistributedNotification(const QString& name, const QString& object) override {
    actions.push_back("post " + name.toStdString() + " " + object.toStdString());
  }
  void terminate() override { actions.push_back("terminate"); }

  // The clock.
  struct Timer {
    std::chrono::milliseconds interval, next;
    std::function<void()> tick;
  };
  std::vector<Timer> timers;
  std::chrono::milliseconds now{0};
  void scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> tick) override {
    timers.push_back({interval, now + interval, std::move(tick)});
  }
  void advanceTo(std::chrono::milliseconds then) {
    for (auto& t : timers)
      while (t.next <= then) {
        now = t.next;
        t.next += t.interval;
        t.tick();
      }
    now = then;
  }
};

const std::string kPosted = "post com.nrvk.tvl.sharingstopped com.nrvk.tvl";
const std::string kKillVNC = "shell killall \"OSXvncserver\"";
const std::string kRemove = "remove folders";

std::vector<std::string> watchOnce(FakeSystem& system) {
  TVLDesktopAppController controller(system);
  controller.checkForVNC();
  return system.actions;
}

}  // namespace

TEST(CheckForVNC, MainApplicationRunningKeepsTheCoverWhateverTheVNCServer) {
  for (uid_t owner : {0u, 1000u}) {
    for (bool serverThere : {true, false}) {
      FakeSystem system;
      system.runningNames = {"Mac Tovalo", "ssh"};
      system.ownNames = {"Mac Tovalo"};
      if (serverThere) {
        system.pids["OSXvncserver"] = 4242;
        system.owners[4242] = owner;
        system.runningNames.insert("OSXvncserver");
      }
      EXPECT_TRUE(watchOnce(system).empty()) << "owner " << owner << " server " << serverThere;
    }
  }
}

TEST(CheckForVNC, RootVNCServerKeepsTheCoverAndPostsNothing) {
  FakeSystem system;
  system.pids["OSXvncserver"] = 4242;
  system.owners[4242] = 0;
  system.runningNames = {"OSXvncserver", "ssh"};
  EXPECT_TRUE(watchOnce(system).empty());
  EXPECT_EQ(system.queries,
            (std::vector<std::string>{"pid OSXvncserver", "uid 4242", "own Mac Tovalo"}));
}

TEST(CheckForVNC, UserVNCServerWithoutSshEndsTheSessionWithoutTunnelStep) {
  FakeSystem system;
  system.pids["OSXvncserver"] = 4242;
  system.owners[4242] = 1000;
  system.runningNames = {"OSXvncserver"};
  system.tunnelPIDs = "777";
  EXPECT_EQ(watchOnce(system), (std::vector<std::string>{kPosted, kKillVNC, kRemove, "terminate"}));
  EXPECT_EQ(std::count(system.queries.begin(), system.queries.end(), "pids .tvl-tunnel"), 0);
}

TEST(CheckForVNC, EverySharingTunnelIsEnded) {
  FakeSystem system;
  system.pids["OSXvncserver"] = 4242;
  system.owners[4242] = 1000;
  system.runningNames = {"OSXvncserver", "ssh"};
  system.tunnelPIDs = "101\n202\n303";
  EXPECT_EQ(watchOnce(system), (std::vector<std::string>{kPosted, "shell kill 101 202 303",
                                                         kKillVNC, kRemove, "terminate"}));
}

TEST(CheckForVNC, SshWithoutTunnelRunsNoKill) {
  // "ssh" matches any command name holding it (an agent, a daemon): no tunnel, no kill.
  FakeSystem system;
  system.pids["OSXvncserver"] = 4242;
  system.owners[4242] = 1000;
  system.runningNames = {"OSXvncserver", "ssh"};
  EXPECT_EQ(watchOnce(system), (std::vector<std::string>{kPosted, kKillVNC, kRemove, "terminate"}));
}

TEST(CheckForVNC, AnotherAccountsMainApplicationDoesNotKeepTheSession) {
  FakeSystem system;
  system.pids["OSXvncserver"] = 4242;
  system.owners[4242] = 1000;
  system.runningNames = {"OSXvncserver", "Mac Tovalo"};  // some account's program of that name
  EXPECT_EQ(watchOnce(system), (std::vector<std::string>{kPosted, kKillVNC, kRemove, "terminate"}));
}

TEST(CheckForVNC, NoSingleVNCServerAndNoMainApplicationEndsTheSession) {
  // None found, or several (the lookup gives -1 for both). The owner of "no process" is
  // nobody, never root, whatever an owner query for -1 would give.
  for (bool severalRunning : {false, true}) {
    FakeSystem system;
    if (severalRunning) system.runningNames = {"OSXvncserver"};
    std::vector<std::string> expected = {kPosted};
    if (severalRunning) expected.push_back(kKillVNC);
    expected.push_back(kRemove);
    expected.push_back("terminate");
    EXPECT_EQ(watchOnce(system), expected) << severalRunning;
    EXPECT_EQ(std::count(system.queries.begin(), system.queries.end(), "uid -1"), 0);
  }
}

TEST(KillCommandForPIDs, KeepsOnlyProcessIds) {
  EXPECT_EQ(killCommandForPIDs("12"), "kill 12");
  EXPECT_EQ(killCommandForPIDs("12\n; rm -rf /\n34\n0\n-5\n 7\n$(true)\n99999999999"),
            "kill 12 34");
  EXPECT_EQ(killCommandForPIDs(""), "");
  EXPECT_EQ(killCommandForPIDs("abc"), "");
}

TEST(Watch, FirstCheckTenSecondsAfterStartThenEveryTenSeconds) {
  app();
  FakeSystem system;
  system.ownNames = {"Mac Tovalo"};  // the cover stays: every tick checks again
  TVLDesktopAppController controller(system);
  controller.awakeFromNib();
  auto checks = [&] {
    return std::count(system.queries.begin(), system.queries.end(), "pid OSXvncserver");
  };
  EXPECT_EQ(checks(), 0);
  system.advanceTo(9999ms);
  EXPECT_EQ(checks(), 0);
  system.advanceTo(10000ms);
  EXPECT_EQ(checks(), 1);
  system.advanceTo(29999ms);
  EXPECT_EQ(checks(), 2);
  system.advanceTo(30000ms);
  EXPECT_EQ(checks(), 3);
}

TEST(CoverWindows, OneWindowExactlyOverEachScreenInScreenOrder) {
  app();
  FakeSystem system;
  TVLDesktopAppController controller(system);
  controller.coverDesktop();
  const QList<QScreen*> screens = QGuiApplication::screens();
  ASSERT_EQ(screens.size(), 2);
  ASSERT_EQ(controller.windowArray().size(), 2u);
  for (int i = 0; i < 2; ++i) {
    QWidget& window = *controller.windowArray()[i];
    EXPECT_EQ(window.geometry(), screens[i]->geometry()) << i;
    EXPECT_EQ(window.screen(), screens[i]) << i;
    EXPECT_TRUE(window.isVisible());
    Qt::WindowFlags flags = window.windowFlags();
    for (Qt::WindowType f : {Qt::FramelessWindowHint, Qt::WindowStaysOnBottomHint,
                             Qt::WindowTransparentForInput, Qt::WindowDoesNotAcceptFocus})
      EXPECT_TRUE(flags.testFlag(f)) << i << " flag " << f;
    EXPECT_FALSE(flags.testFlag(Qt::WindowStaysOnTopHint));
    // The view fills the window with the light grey.
    auto* view = window.findChild<TVLView*>();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->geometry(), window.rect());
    QImage image = window.grab().toImage();
    EXPECT_EQ(image.pixelColor(0, 0), kLightGrayColor);
    EXPECT_EQ(image.pixelColor(image.width() - 1, image.height() - 1), kLightGrayColor);
  }
  EXPECT_EQ(QGuiApplication::screens()[1]->geometry(), QRect(960, 0, 640, 720));
  EXPECT_EQ(kLightGrayColor, QColor::fromRgbF(2.0f / 3, 2.0f / 3, 2.0f / 3));
}

namespace {
struct PaintCounter : QObject {
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};
void processEventsFor(int ms) {
  QDeadlineTimer deadline(ms);
  while (!deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::sendPostedEvents();
  }
}
}  // namespace

TEST(CoverWindows, PaintOnlyWhenAsked) {
  // A view that asked for another paint from its paint handler would repaint thousands of
  // times a second; painted on request, it paints once and then stays quiet.
  app();
  FakeSystem system;
  TVLDesktopAppController controller(system);
  PaintCounter counter;
  controller.coverDesktop();
  auto* view = controller.windowArray()[0]->findChild<TVLView*>();
  view->installEventFilter(&counter);
  view->update();
  processEventsFor(100);
  const int afterRequest = counter.paints;
  EXPECT_GE(afterRequest, 1);
  processEventsFor(400);
  EXPECT_EQ(counter.paints, afterRequest);
}

TEST(CoverWindows, TerminationClosesEveryWindow) {
  app();
  FakeSystem system;
  TVLDesktopAppController controller(system);
  controller.coverDesktop();
  ASSERT_TRUE(controller.windowArray()[0]->isVisible());
  QTimer::singleShot(0, &app(), &QCoreApplication::quit);
  app().exec();  // aboutToQuit reaches willTerminate
  ASSERT_EQ(controller.windowArray().size(), 2u);
  for (auto& window : controller.windowArray()) EXPECT_FALSE(window->isVisible());
}

TEST(DoShellWithCommandNoReturn, WaitsForTheCommandAndSurvivesLotsOfOutput) {
  testsupport::TempDir dir;
  auto marker = dir.path() / "done";
  // Far more output than a pipe holds: nothing reads it, and the call still returns.
  cover::doShellWithCommandNoReturn("head -c 1000000 /dev/zero; sleep 0.2; touch " +
                                    marker.string() + "; exit 3");
  EXPECT_TRUE(std::filesystem::exists(marker));
}

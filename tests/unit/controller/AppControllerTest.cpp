// The controller's rules on test doubles: a clock the test moves, recorded scripts and
// opens, file and process probes from sets; the real status item and menu (offscreen).
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

#include <fstream>
#include <regex>
#include <sstream>

#include "support/QtTestSupport.h"
#include "support/controller/ControllerHarness.h"

using namespace tvl;

using testsupport::Harness;

namespace {

constexpr char kLeopardAgent[] = "/Library/LaunchAgents/com.nrvk.vnc.plist";
constexpr char kTigerDaemon[] = "/Library/LaunchDaemons/com.nrvk.atv.plist";
constexpr char kStartupItem[] = "/Library/StartupItems/tvld/tvld";
constexpr char kMarker[] = "/private/tmp/autotovaloconnected";

std::string actionName(const ui::MenuItem* item) {
  return item->action().name;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Edition, version, About

TEST(Edition, ComesFromTheThirdAncestorFolder) {
  struct Case {
    std::string folder;
    int32_t edition;  // the product's edition codes
  } cases[] = {{"Mac Tovalo.app", 0},
               {"Mac Brisca.app", 1},
               {"Mac Brisca and Mac Tovalo.app", 0},
               {"mac tovalo.app", -1},
               {"MAC BRISCA.app", -1},
               {"Other.app", -1},
               {"", -1}};
  for (auto& c : cases) {
    Harness h(c.folder);
    AppController controller(h.services());
    controller.getEnclosingAppBundle();
    EXPECT_EQ(static_cast<int32_t>(controller.edition()), c.edition) << c.folder;
    if (!c.folder.empty()) {
      EXPECT_EQ(controller.enclosingAppName(), c.folder);
    }
  }
}

TEST(Edition, FewerThanThreeAncestorsGiveNone) {
  for (const char* path : {"/TVLQC.app", "/Mac Tovalo.app/TVLQC.app", "TVLQC.app"}) {
    Harness h;
    auto s = h.services();
    s.bundle = bundle::Bundle(path);
    AppController controller(std::move(s));
    controller.getEnclosingAppBundle();
    EXPECT_EQ(controller.edition(), AppController::Edition::NoEnclosingApp) << path;
  }
}

TEST(OsVersionNumber, IsTheMinorDigitWithHexDigitsReadAsZero) {
  Harness h;
  AppController controller(h.services());
  const std::pair<int32_t, int> cases[] = {{0x1039, 3}, {0x1045, 4}, {0x1058, 5},
                                           {0x1062, 6}, {0x1068, 6}, {0x10A4, 0}};
  for (auto [word, minor] : cases) {
    h.systemVersion = word;
    EXPECT_EQ(controller.osVersionNumber(), minor) << std::hex << word;
  }
}

TEST(AboutPane, ShowsVersionDateAndCopyrightFromTheBundle) {
  Harness h;
  AppController controller(h.services());
  QLabel version, date, copyright;
  controller.outlets().aboutVersion = &version;
  controller.outlets().aboutDate = &date;
  controller.outlets().aboutCopyright = &copyright;
  controller.awakeFromNib();
  EXPECT_EQ(version.text().toStdString(), "Version " TVL_PROJECT_VERSION);
  EXPECT_NE(copyright.text().indexOf("NRVK"), -1);
  // The executable's birth time where the file system keeps one, else nothing.
  EXPECT_TRUE(
      date.text().isEmpty() ||
      std::regex_match(date.text().toStdString(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")))
      << date.text().toStdString();
  EXPECT_EQ(controller.state().menuIcon, "tvl.tif");
  EXPECT_EQ(controller.state().menuIconAlt, "connected.tif");
}

// ---------------------------------------------------------------------------------------
// Status item and menu

TEST(StatusMenu, EditionsBuildTheirSevenEntries) {
  struct Case {
    std::string folder, launch, quit, icon, toolTip;
  } cases[] = {{"Mac Tovalo.app", "sLaunchTVL", "sQuitTVLQCMenuItem", "tvl.tif", "sTVLToolTip"},
               {"Mac Brisca.app", "sLaunchMBX", "sQuitMBXQCMenuItem", "mbx.tif", "sMBXToolTip"}};
  for (auto& c : cases) {
    Harness h(c.folder);
    AppController& controller = h.launch();
    ui::Menu* menu = controller.statusMenu();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->title(), "tvlmenu");
    ASSERT_EQ(menu->numberOfItems(), 7);
    const std::pair<std::string, std::string> entries[] = {
        {c.launch, "openTVL"},
        {"sTVLshare", "detachThreadStartTVLSharing"},
        {"", ""},
        {"sPreferencesMenuItem", "showPreferencesWindow:"},
        {"sAutoTovaloMenuItem", ""},  // not installed: no action
        {"", ""},
        {c.quit, "quitApplication:"}};
    for (int i = 0; i < 7; ++i) {
      ui::MenuItem* item = menu->itemAtIndex(i);
      EXPECT_EQ(item->isSeparatorItem(), entries[i].first.empty()) << i;
      if (item->isSeparatorItem()) continue;
      EXPECT_EQ(item->title(), controller.localized(entries[i].first)) << i;
      EXPECT_NE(item->title(), entries[i].first) << "no text for " << entries[i].first;
      EXPECT_EQ(actionName(item), entries[i].second) << i;
    }
    EXPECT_EQ(menu->itemAtIndex(3)->image().name(), "prefs");
    EXPECT_FALSE(menu->itemAtIndex(3)->image().isNull());
    EXPECT_EQ(controller.statusItem()->image().name(), c.icon);
    EXPECT_FALSE(controller.statusItem()->image().isNull());
    EXPECT_EQ(controller.statusItem()->toolTip(), controller.localized(c.toolTip));
    EXPECT_EQ(controller.statusItem()->menu(), menu);
    EXPECT_TRUE(controller.statusItem()->highlightMode());
    // The 30-second check is scheduled; no cycle runs.
    EXPECT_TRUE(controller.autoTovaloCheckRuns());
    EXPECT_FALSE(controller.iconCycleRuns());
  }
}

TEST(StatusMenu, OutsideAMainApplicationAlertsOnceAndEnds) {
  Harness h("Somewhere.app");
  testsupport::SeenAlert seen;
  testsupport::closeNextAlert(&seen);
  AppController& controller = h.launch();
  ASSERT_TRUE(seen.shown);
  EXPECT_EQ(seen.buttons, QStringList{QString::fromStdString(controller.localized("sQuit"))});
  EXPECT_EQ(seen.text.toStdString(), controller.localized("sMacTovaloNotFoundWarning"));
  EXPECT_EQ(seen.informativeText.toStdString(), controller.localized("sMacTovaloBundleWarning"));
  EXPECT_EQ(seen.icon, QMessageBox::Critical);
  EXPECT_TRUE(h.application.isTerminating());

  EXPECT_EQ(controller.statusItem()->image().name(), "noenclosure.tif");
  EXPECT_EQ(controller.statusItem()->toolTip(), controller.localized("sMBXToolTip"));
  ui::Menu* menu = controller.statusMenu();
  for (int i : {0, 1, 3, 4}) EXPECT_FALSE(menu->itemAtIndex(i)->isEnabled()) << i;
  EXPECT_EQ(actionName(menu->itemAtIndex(6)), "quitApplication:");
  EXPECT_EQ(menu->itemAtIndex(6)->title(), controller.localized("sQuitTVLQCMenuItem"));
  // Nothing else runs: no auto-connect check, ever.
  EXPECT_EQ(h.clock.validTimerCount(), 0u);
  h.files.insert(kMarker);
  h.clock.advance(120);
  EXPECT_FALSE(controller.state().autoTovaloSharingState);
}

TEST(StatusMenu, StartUpWithTheMainApplicationRunningOffersBringToFront) {
  Harness h("Mac Brisca.app");
  h.workspace.running = {"org.example.other", "com.nrvk.tvl"};
  AppController& controller = h.launch();
  ui::MenuItem* item = controller.statusMenu()->itemAtIndex(0);
  EXPECT_EQ(item->title(), controller.localized("sBringToFrontMBX"));
  EXPECT_EQ(actionName(item), "detachThreadBringTVLToFront");
}

TEST(StatusMenu, LaunchAndQuitNotificationsSwitchEntry0) {
  for (const char* folder : {"Mac Tovalo.app", "Mac Brisca.app"}) {
    Harness h(folder);
    AppController& c = h.launch();
    bool brisca = c.edition() == AppController::Edition::MacBrisca;
    ui::MenuItem* item = c.statusMenu()->itemAtIndex(0);
    for (int twice = 0; twice < 2; ++twice) {
      c.applicationLaunchMacTovalo();
      EXPECT_EQ(item->title(), c.localized(brisca ? "sBringToFrontMBX" : "sBringToFrontTVL"));
      EXPECT_EQ(actionName(item), "detachThreadBringTVLToFront");
    }
    for (int twice = 0; twice < 2; ++twice) {
      c.applicationQuitMacTovalo();
      EXPECT_EQ(item->title(), c.localized(brisca ? "sLaunchMBX" : "sLaunchTVL"));
      EXPECT_EQ(actionName(item), "openTVL");
    }
  }
}

TEST(StatusMenu, QuitRemovesTheItemAndEndsTheApplication) {
  Harness h;
  AppController& c = h.launch();
  EXPECT_TRUE(c.statusItem()->isVisible());
  EXPECT_TRUE(c.statusMenu()->itemAtIndex(6)->performAction());
  EXPECT_FALSE(c.statusItem()->isVisible());
  EXPECT_TRUE(h.application.isTerminating());
  EXPECT_TRUE(h.events().empty());  // the main application is not touched
}

// ---------------------------------------------------------------------------------------
// Sharing notifications and the icon cycle

TEST(IconCycle, AlternatesEverySecondAndStopsOnTheNormalIcon) {
  Harness h;
  AppController& c = h.launch();
  c.sharingStartedMacTovalo();
  std::vector<std::string> shown;
  for (int second = 1; second <= 4; ++second) {
    h.clock.advance(1.0);
    shown.push_back(c.statusItem()->image().name());
  }
  EXPECT_EQ(shown,
            (std::vector<std::string>{"connected.tif", "tvl.tif", "connected.tif", "tvl.tif"}));
  h.clock.advance(1.0);  // the alternate icon shows now
  c.sharingStoppedMacTovalo();
  EXPECT_EQ(c.statusItem()->image().name(), "tvl.tif");
  EXPECT_EQ(c.state().sharingIconState, 0);
  h.clock.advance(5.0);
  EXPECT_EQ(c.statusItem()->image().name(), "tvl.tif");
}

TEST(SharingNotifications, SecondStartIsIgnoredAndOneStopEndsTheCycle) {
  Harness h("Mac Brisca.app");
  AppController& c = h.launch();
  ui::MenuItem* share = c.statusMenu()->itemAtIndex(1);
  c.sharingStartedMacTovalo();
  EXPECT_TRUE(c.state().sharingState);
  EXPECT_TRUE(c.iconCycleRuns());
  EXPECT_EQ(share->title(), c.localized("sTVLstop"));
  EXPECT_EQ(actionName(share), "detachThreadStopTVLsharing");
  EXPECT_EQ(c.statusItem()->toolTip(), c.localized("sMBXSharingToolTip"));
  h.clock.advance(1.0);
  c.sharingStartedMacTovalo();  // ignored: the cycle keeps its phase
  h.clock.advance(1.0);
  EXPECT_EQ(c.statusItem()->image().name(), "mbx.tif");
  EXPECT_EQ(h.clock.validTimerCount(), 2u);  // the 30-second check and one cycle

  c.sharingStoppedMacTovalo();
  EXPECT_FALSE(c.state().sharingState);
  EXPECT_FALSE(c.iconCycleRuns());
  EXPECT_EQ(share->title(), c.localized("sTVLshare"));
  EXPECT_EQ(actionName(share), "detachThreadStartTVLSharing");
  EXPECT_EQ(c.statusItem()->toolTip(), c.localized("sMBXToolTip"));
}

TEST(SharingNotifications, StopWithoutACycleChangesNothing) {
  Harness h;
  AppController& c = h.launch();
  // Sharing starts, then an auto-connect connection comes and goes: its end stops the
  // icon cycle both share while sharing still runs.
  c.sharingStartedMacTovalo();
  h.files.insert(kMarker);
  h.clock.advance(30.0);
  h.files.erase(kMarker);
  h.clock.advance(30.0);
  ASSERT_FALSE(c.iconCycleRuns());
  ASSERT_TRUE(c.state().sharingState);
  c.sharingStoppedMacTovalo();
  EXPECT_TRUE(c.state().sharingState);
  EXPECT_EQ(c.statusMenu()->itemAtIndex(1)->title(), c.localized("sTVLstop"));
  EXPECT_EQ(actionName(c.statusMenu()->itemAtIndex(1)), "detachThreadStopTVLsharing");
}

// ---------------------------------------------------------------------------------------
// Auto-connect marker

TEST(AutoConnectCheck, FirstCheckComesAfterThirtySeconds) {
  // Each edition shows its own tool tips and icon.
  struct Edition {
    const char *folder, *sharingTip, *tip, *icon;
  } editions[] = {{"Mac Tovalo.app", "sTVLSharingToolTip", "sTVLToolTip", "tvl.tif"},
                  {"Mac Brisca.app", "sMBXSharingToolTip", "sMBXToolTip", "mbx.tif"}};
  for (const Edition& e : editions) {
    SCOPED_TRACE(e.folder);
    Harness h(e.folder);
    h.files.insert(kMarker);
    AppController& c = h.launch();
    h.clock.advance(29.9);
    EXPECT_FALSE(c.state().autoTovaloSharingState);
    EXPECT_FALSE(c.iconCycleRuns());
    h.clock.advance(0.1);
    EXPECT_TRUE(c.state().autoTovaloSharingState);
    EXPECT_TRUE(c.iconCycleRuns());
    EXPECT_EQ(c.statusItem()->toolTip(), c.localized(e.sharingTip));
    EXPECT_NE(c.localized(e.sharingTip), c.localized(e.tip));
    EXPECT_FALSE(c.state().sharingState);  // the check leaves sharing and the menu alone
    EXPECT_EQ(c.statusMenu()->itemAtIndex(1)->title(), c.localized("sTVLshare"));

    h.files.erase(kMarker);
    h.clock.advance(29.0);
    EXPECT_TRUE(c.iconCycleRuns());  // seen only at the next check
    h.clock.advance(1.0);
    EXPECT_FALSE(c.state().autoTovaloSharingState);
    EXPECT_FALSE(c.iconCycleRuns());
    EXPECT_EQ(c.statusItem()->image().name(), e.icon);
    EXPECT_EQ(c.statusItem()->toolTip(), c.localized(e.tip));
  }
}

TEST(AutoConnectCheck, SharingNotificationsWhileTheAutoConnectCycleRuns) {
  Harness h;
  h.files.insert(kMarker);
  AppController& c = h.launch();
  h.clock.advance(30.0);
  ASSERT_TRUE(c.iconCycleRuns());

  c.sharingStartedMacTovalo();  // ignored as a whole
  EXPECT_FALSE(c.state().sharingState);
  EXPECT_EQ(c.statusMenu()->itemAtIndex(1)->title(), c.localized("sTVLshare"));

  c.sharingStoppedMacTovalo();  // stops the shared cycle; the marker state stays
  EXPECT_FALSE(c.iconCycleRuns());
  EXPECT_TRUE(c.state().autoTovaloSharingState);
  EXPECT_EQ(c.statusItem()->toolTip(), c.localized("sTVLToolTip"));
  h.clock.advance(60.0);  // marker still there: no restart
  EXPECT_FALSE(c.iconCycleRuns());
  EXPECT_EQ(c.statusItem()->image().name(), "tvl.tif");

  h.files.erase(kMarker);
  h.clock.advance(30.0);
  EXPECT_FALSE(c.state().autoTovaloSharingState);
  h.files.insert(kMarker);
  h.clock.advance(30.0);
  EXPECT_TRUE(c.iconCycleRuns());
}

// ---------------------------------------------------------------------------------------
// Entries 1 and 4 by the state of the auto-connect service

TEST(AutoConnectStatus, NotInstalled) {
  Harness h;
  AppController& c = h.launch();
  QPushButton button("unchanged");
  QLabel label("unchanged");
  c.outlets().startStopButton = &button;
  c.outlets().startStopLabel = &label;
  for (bool sharing : {false, true}) {
    if (sharing) c.sharingStartedMacTovalo();
    c.statusMenu()->menuWillOpen();
    ui::MenuItem* service = c.statusMenu()->itemAtIndex(4);
    EXPECT_EQ(service->state(), ui::ControlState::Off);
    EXPECT_EQ(service->image().name(), "unselected");
    EXPECT_FALSE(service->isEnabled());
    EXPECT_EQ(actionName(service), "");
    EXPECT_EQ(service->toolTip(), "Auto Tovalo Disabled.");
    ui::MenuItem* share = c.statusMenu()->itemAtIndex(1);
    EXPECT_TRUE(share->isEnabled());
    EXPECT_EQ(actionName(share),
              sharing ? "detachThreadStopTVLsharing" : "detachThreadStartTVLSharing");
    EXPECT_EQ(share->toolTip(), "");
  }
  EXPECT_EQ(button.text(), "unchanged");
  EXPECT_EQ(label.text(), "unchanged");
}

TEST(AutoConnectStatus, InstalledStoppedThenRunningThenStoppedAgain) {
  Harness h;
  h.systemVersion = 0x1058;
  h.files.insert(kLeopardAgent);
  AppController& c = h.launch();
  QPushButton button;
  QLabel label;
  c.outlets().startStopButton = &button;
  c.outlets().startStopLabel = &label;
  ui::MenuItem* share = c.statusMenu()->itemAtIndex(1);
  ui::MenuItem* service = c.statusMenu()->itemAtIndex(4);

  c.statusMenu()->menuWillOpen();
  EXPECT_EQ(service->state(), ui::ControlState::Off);
  EXPECT_EQ(service->image().name(), "red");
  EXPECT_EQ(actionName(service), "showPreferencesAutoTovalo:");
  EXPECT_TRUE(service->isEnabled());
  EXPECT_EQ(service->toolTip(), "");
  EXPECT_EQ(button.text(), "Start");
  EXPECT_EQ(label.text(), "Click to start Auto Tovalo");

  // Sharing starts, then the daemon: entry 1 is blocked whatever its title.
  c.sharingStartedMacTovalo();
  h.processes.insert("tvld");
  EXPECT_EQ(service->image().name(), "red");  // until the menu opens again
  c.statusMenu()->menuWillOpen();
  EXPECT_EQ(service->state(), ui::ControlState::On);
  EXPECT_EQ(service->image().name(), "green");
  EXPECT_FALSE(share->isEnabled());
  EXPECT_EQ(actionName(share), "");
  EXPECT_EQ(share->toolTip(), "Screen Sharing Disabled - Auto Tovalo Active.");
  EXPECT_EQ(share->title(), c.localized("sTVLstop"));
  EXPECT_EQ(button.text(), "Stop");
  EXPECT_EQ(label.text(), "Click to stop Auto Tovalo");
  EXPECT_FALSE(share->performAction());

  // The daemon stops: entry 1 comes back in its stop form, sharing still runs.
  h.processes.clear();
  c.statusMenu()->menuWillOpen();
  EXPECT_TRUE(share->isEnabled());
  EXPECT_EQ(actionName(share), "detachThreadStopTVLsharing");
  EXPECT_EQ(share->toolTip(), "");
  EXPECT_EQ(service->image().name(), "red");
}

TEST(AutoConnectStatus, InstalledMeansTheFileOfTheRunningVersion) {
  Harness h;
  AppController c(h.services());
  struct Case {
    int32_t version;
    const char* file;
    bool installed;
  } cases[] = {{0x1045, kLeopardAgent, false}, {0x1045, kTigerDaemon, true},
               {0x1058, kTigerDaemon, false},  {0x1062, kLeopardAgent, true},
               {0x1079, kLeopardAgent, true},  {0x1039, kStartupItem, true},
               {0x1045, kStartupItem, false},  {0x1039, kLeopardAgent, false}};
  for (auto& k : cases) {
    h.systemVersion = k.version;
    h.files = {k.file};
    EXPECT_EQ(c.autoTovaloInstallStatus(), k.installed) << std::hex << k.version << " " << k.file;
  }
}

// ---------------------------------------------------------------------------------------
// Remote control

TEST(RemoteControl, ScriptsPerEditionAreExact) {
  EXPECT_EQ(AppController::bringToFrontScript(AppController::Edition::MacTovalo),
            "tell application \"Mac Tovalo\"\ractivate\rend tell\r");
  EXPECT_EQ(AppController::bringToFrontScript(AppController::Edition::MacBrisca),
            "tell application \"Mac Brisca\"\ractivate\rend tell\r");
  EXPECT_EQ(AppController::startSharingScript(AppController::Edition::MacTovalo),
            "tell application \"Mac Tovalo\"\ractivate\rshow window \"tvlremote\"\rhide window "
            "\"mocktail\"\rtell button \"screensharingstart\" of tab view item \"share\" of tab "
            "view \"tvlremotetabs\" of window \"tvlremote\"\rperform action\rend tell\rend tell\r");
  EXPECT_EQ(AppController::startSharingScript(AppController::Edition::MacBrisca),
            "tell application \"Mac Brisca\"\ractivate\rshow window \"tvlremote\"\rhide window "
            "\"mocktail\"\rtell button \"screensharingstart\" of tab view item \"share\" of tab "
            "view \"tvlremotetabs\" of window \"tvlremote\"\rperform action\rend tell\rend tell\r");
  EXPECT_EQ(AppController::stopSharingScript(AppController::Edition::MacTovalo),
            "tell application \"Mac Tovalo\"\ractivate\rshow window \"tvlremote\"\rhide window "
            "\"mocktail\"\rtell button \"stopsharingnow\" of window \"sharingsheet\"\rperform "
            "action\rend tell\rend tell\r");
  EXPECT_EQ(AppController::stopSharingScript(AppController::Edition::MacBrisca),
            "tell application \"Mac Brisca\"\ractivate\rshow window \"tvlremote\"\rhide window "
            "\"mocktail\"\rtell button \"stopsharingnow\" of window \"sharingsheet\"\rperform "
            "action\rend tell\rend tell\r");
  for (auto none : {AppController::Edition::NoEnclosingApp, AppController::Edition{2}}) {
    EXPECT_EQ(AppController::bringToFrontScript(none), "");
    EXPECT_EQ(AppController::startSharingScript(none), "");
    EXPECT_EQ(AppController::stopSharingScript(none), "");
  }
}

TEST(RemoteControl, MenuCommandsSendTheEditionsScripts) {
  for (const char* folder : {"Mac Tovalo.app", "Mac Brisca.app"}) {
    Harness h(folder);
    AppController& c = h.launch();
    AppController::Edition edition = c.edition();
    h.workspace.running = {"com.nrvk.tvl"};
    c.statusMenu()->itemAtIndex(1)->performAction();  // share: opens first, then the script
    c.waitForWorkerThreads();
    c.sharingStartedMacTovalo();
    c.statusMenu()->itemAtIndex(1)->performAction();  // stop
    c.waitForWorkerThreads();
    c.applicationLaunchMacTovalo();
    c.statusMenu()->itemAtIndex(0)->performAction();  // bring to front
    c.waitForWorkerThreads();
    EXPECT_EQ(h.events(),
              (std::vector<std::string>{"open " + h.enclosingPath,
                                        "script " + AppController::startSharingScript(edition),
                                        "script " + AppController::stopSharingScript(edition),
                                        "script " + AppController::bringToFrontScript(edition)}))
        << folder;
  }
}

TEST(RemoteControl, NothingIsSentWhileTheMainApplicationDoesNotRun) {
  Harness h;
  AppController& c = h.launch();
  h.workspace.running = {"com.nrvk.TVL", "com.nrvk.tvlqc"};  // letter case counts
  EXPECT_FALSE(c.stateTVLrunning());
  c.detachThreadStartTVLSharing();
  c.detachThreadStopTVLsharing();
  c.detachThreadBringTVLToFront();
  c.waitForWorkerThreads();
  EXPECT_TRUE(h.events().empty());
  EXPECT_FALSE(c.stateTVLsharing());
  EXPECT_TRUE(h.events().empty());
}

TEST(RemoteControl, NoEditionSendsNoScript) {
  Harness h;
  AppController c(h.services());
  h.workspace.running = {"com.nrvk.tvl"};
  c.detachThreadBringTVLToFront();
  c.detachThreadStopTVLsharing();
  c.detachThreadStartTVLSharing();
  c.waitForWorkerThreads();
  // Starting still opens the enclosing application; no script goes anywhere.
  EXPECT_EQ(h.events(), std::vector<std::string>{"open " + c.enclosingAppPath()});
}

TEST(RemoteControl, LaunchEntryOpensTheEnclosingApplication) {
  Harness h("Mac Brisca.app");
  AppController& c = h.launch();
  EXPECT_TRUE(c.statusMenu()->itemAtIndex(0)->performAction());
  EXPECT_EQ(h.events(), std::vector<std::string>{"open " + h.enclosingPath});
}

TEST(RemoteControl, SharingProbeReadsTheResult) {
  Harness h("Mac Brisca.app");
  AppController c(h.services());
  c.awakeFromNib();
  h.workspace.running = {"com.nrvk.tvl"};
  struct Case {
    std::string text;
    int items;
    bool ok, sharing;
  } cases[] = {{"true", 0, true, true},  {"false", 0, true, false}, {"failed", 0, true, false},
               {"true", 2, true, false}, {"", 1, true, false},      {"", 0, false, false},
               {"TRUE", 0, true, false}};
  for (auto& k : cases) {
    h.scripts.reply = script::Result{k.ok, k.text, k.items, k.ok ? 0 : -1728, ""};
    EXPECT_EQ(c.stateTVLsharing(), k.sharing) << k.text << " " << k.items;
  }
  // The probe always addresses the first edition's name.
  EXPECT_EQ(h.events().back(), std::string("script ") + AppController::kSharingProbeScript);
  EXPECT_EQ(std::string(AppController::kSharingProbeScript),
            "tell application \"Mac Tovalo\"\rget visible of window \"sharingsheet\"\rend tell\r");
}

// ---------------------------------------------------------------------------------------
// Shared instance and texts

TEST(SharedInstance, TheFirstControllerIsTheOneEveryoneGets) {
  static Harness h;  // lives as long as the shared controller
  AppController& first = AppController::init(h.services());
  AppController& second = AppController::init(h.services());
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(&AppController::sharedInstance(), &first);
}

TEST(LocalizedStrings, EveryKeyTheControllerUsesHasAnEnglishText) {
  // Every key literal of the controller's sources, so a new key without a text fails here.
  const char* source = std::getenv("TVL_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  std::stringstream text;
  for (const char* file :
       {"AppController.cpp", "AppControllerAutoTovalo.cpp", "AppControllerPreferences.cpp",
        "AppControllerRemote.cpp", "Edition.cpp"}) {
    std::ifstream in(std::string(source) + "/controller/" + file);
    ASSERT_TRUE(in) << file;
    text << in.rdbuf();
  }
  std::string code = text.str();
  std::regex key(R"re("(s[A-Z][A-Za-z]+)")re");
  bundle::Bundle built(testsupport::builtControllerBundle().string());
  int keys = 0;
  for (std::sregex_iterator it(code.begin(), code.end(), key), end; it != end; ++it, ++keys)
    EXPECT_TRUE(built.hasLocalizedStringForKey((*it)[1])) << (*it)[1] << " has no text";
  EXPECT_GE(keys, 30);
  EXPECT_TRUE(built.hasLocalizedStringForKey("OK"));
}

TEST(Images, EveryImageNameResolvesInTheBuiltBundle) {
  bundle::Bundle built(testsupport::builtControllerBundle().string());
  for (const char* name : {"tvl.tif", "mbx.tif", "noenclosure.tif", "connected.tif", "prefs",
                           "unselected", "red", "green"}) {
    std::string path = built.pathForImageResource(name);
    EXPECT_FALSE(path.empty()) << name;
    EXPECT_FALSE(QIcon(QString::fromStdString(path)).pixmap(16).isNull()) << name;
  }
}

// The preferences window as loaded from the bundle's interface file: the preferences file
// it reads and writes, the administrator lock, and the auto-connect button's flows per
// system version, on a fake helper tool and the test's clock.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "controller/PreferencesWindow.h"
#include "platform/authview/AuthorizationView.h"
#include "platform/cf/PropertyListXML.h"
#include "privileged/TVLActionController.h"
#include "privileged/TVLSecureToolCommunication.h"
#include "support/Files.h"
#include "support/controller/ControllerHarness.h"

using namespace tvl;

using testsupport::readFile;
using testsupport::writeFile;

namespace fs = std::filesystem;
using authview::AuthorizationView;
using testsupport::Harness;

namespace {

constexpr char kLeopardAgent[] = "/Library/LaunchAgents/com.nrvk.vnc.plist";
constexpr char kTigerDaemon[] = "/Library/LaunchDaemons/com.nrvk.atv.plist";
constexpr char kStartupItem[] = "/Library/StartupItems/tvld/tvld";

std::string plist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + body +
         "</dict>\n</plist>\n";
}

// The controller with its window, the lock on a granted-or-not answer the test sets, and a
// helper tool that starts or ends the daemon as asked (unless told to do nothing).
struct Window {
  // lazy: as TVLQC runs, the window is loaded when it is first shown.
  explicit Window(int32_t version = 0x1068, const std::string& edition = "Mac Tovalo.app",
                  bool lazy = false)
      : h(edition) {
    h.systemVersion = version;
    home = h.dir.path() / "home";
    fs::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);

    TVLSecureToolCommunication::Services ts;
    ts.locateTool = [](uint32_t, cf::Ref<cf::String>* tool) {
      *tool = cf::String::create("/fake/tool");
      return 0;
    };
    ts.executeRequest = [this](const cf::String*, auth::AuthorizationRef,
                               const cf::Dictionary* request, cf::Ref<cf::Dictionary>* response) {
      int32_t task = 0;
      cf::sint32ForKey(request, "task", &task);
      tasks.push_back(task);
      if (daemonFollows) {
        if (task == 2 || task == 4 || task == 7) h.processes.insert("tvld");
        if (task == 3 || task == 5 || task == 8) h.processes.erase("tvld");
      }
      *response = cf::Dictionary::create();
      return 0;
    };
    ts.alert = [this](const std::string& m, auto&, auto&, auto&, auto&) {
      alerts.push_back(m);
      return 1000;
    };
    ts.localized = [](const std::string& e) { return e; };
    ts.activate = [] {};
    communication = std::make_unique<TVLSecureToolCommunication>(ts);
    TVLActionController::Services as;
    as.communication = communication.get();
    as.alert = ts.alert;
    as.hostConfigPath = (h.dir.path() / "etc-hostconfig").string();
    as.tempHostConfigPath = (h.dir.path() / "hostconfig").string();
    actions = std::make_unique<TVLActionController>(as);

    AppControllerServices s = h.services();
    s.actions = actions.get();
    h.controller = std::make_unique<AppController>(s);
    c = h.controller.get();
    if (lazy) {
      c->setPreferencesWindowLoader([this] {
        auto loaded = load();
        communication->awakeFromNib();
        return loaded;
      });
      c->awakeFromNib();
      c->applicationDidFinishLaunching();
      return;
    }
    window = load();
    c->awakeFromNib();
    c->applicationDidFinishLaunching();
    communication->awakeFromNib();
  }
  std::unique_ptr<QWidget> load() {
    auto loaded = loadPreferencesWindow(
        bundle::Bundle(h.bundlePath).pathForResource("Preferences", "ui"), *c, *communication);
    lock = c->outlets().startStopAuthorizationView;
    if (lock) {
      lock->setRightsCheck(
          [this](auth::AuthorizationRef, const std::string& right, bool interactive) {
            rightsAsked.push_back(right + (interactive ? " (dialog)" : ""));
            return granted ? 0 : refusal;
          });
      lock->setTimerScheduler(&h.clock);
    }
    button = c->outlets().startStopButton;
    label = c->outlets().startStopLabel;
    return loaded;
  }
  ~Window() {
    window.reset();
    h.controller.reset();
  }
  fs::path prefs() const { return home / "Library/Preferences/com.nrvk.tvl.plist"; }

  Harness h;
  fs::path home;
  std::unique_ptr<TVLSecureToolCommunication> communication;
  std::unique_ptr<TVLActionController> actions;
  std::unique_ptr<QWidget> window;
  AppController* c = nullptr;
  AuthorizationView* lock = nullptr;
  QPushButton* button = nullptr;
  QLabel* label = nullptr;
  bool granted = true;
  int refusal = -60005;  // polkit's answer when not granted
  bool daemonFollows = true;
  std::vector<int32_t> tasks;
  std::vector<std::string> alerts, rightsAsked;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// The interface file

TEST(PreferencesWindow, EveryOutletIsConnectedAndTheTabsAreInPlace) {
  Window w;
  auto& o = w.c->outlets();
  ASSERT_TRUE(w.window && o.preferencesWindow && o.preferencesTabView && o.startStopButton &&
              o.startStopLabel && o.startStopProgressIndicator && o.startStopAuthorizationView &&
              o.sessionLength && o.sendProblemReport && o.aboutVersion && o.aboutDate &&
              o.aboutCopyright);
  EXPECT_EQ(o.preferencesTabView->count(), 3);
  EXPECT_TRUE(o.preferencesTabView->widget(0)->isAncestorOf(o.sessionLength));
  EXPECT_TRUE(o.preferencesTabView->widget(1)->isAncestorOf(o.aboutVersion));
  EXPECT_TRUE(o.preferencesTabView->widget(2)->isAncestorOf(o.startStopButton));
  EXPECT_EQ(o.aboutVersion->text().toStdString(), w.c->state().aboutVersionText);
  EXPECT_EQ(w.communication->authorizationView(), w.lock);
}

// TVLQC loads the window when it is first shown, after the menu has told the pane what it
// found: the pane, the About texts and the lock come out as if it had always been there.
TEST(PreferencesWindow, LoadedWhenFirstShownWithThePaneTheMenuSetAndTheAboutTexts) {
  Window w(0x1068, "Mac Tovalo.app", /*lazy=*/true);
  w.h.files.insert(kLeopardAgent);
  w.h.processes.insert("tvld");
  w.c->statusMenu()->menuWillOpen();
  EXPECT_FALSE(w.c->preferencesWindowLoaded());
  EXPECT_FALSE(w.c->outlets().startStopLabel);

  w.c->showPreferencesAutoTovalo();
  ASSERT_TRUE(w.c->preferencesWindowLoaded());
  ASSERT_TRUE(w.label && w.button && w.lock);
  EXPECT_EQ(w.label->text(), "Click to stop Auto Tovalo");
  EXPECT_EQ(w.button->text(), "Stop");
  EXPECT_FALSE(w.button->isEnabled());
  EXPECT_EQ(w.lock->authorizationState(), authview::SFAuthorizationViewLockedState);
  EXPECT_EQ(w.c->outlets().aboutVersion->text().toStdString(), w.c->state().aboutVersionText);
  EXPECT_FALSE(w.c->state().aboutVersionText.empty());
  EXPECT_EQ(w.c->outlets().preferencesTabView->currentIndex(), 2);
}

TEST(PreferencesWindow, MenuEntriesOpenTheirTabsAndTheTitleFollowsTheEdition) {
  Window w;
  w.h.files.insert(kLeopardAgent);
  w.c->statusMenu()->menuWillOpen();
  ASSERT_TRUE(w.c->statusMenu()->itemAtIndex(4)->performAction());
  EXPECT_EQ(w.c->outlets().preferencesTabView->currentIndex(), 2);
  EXPECT_TRUE(w.window->isVisible());
  EXPECT_EQ(w.window->windowTitle(), "Mac Tovalo Preferences");
  ASSERT_TRUE(w.c->statusMenu()->itemAtIndex(3)->performAction());
  EXPECT_EQ(w.c->outlets().preferencesTabView->currentIndex(), 0);

  Window brisca(0x1068, "Mac Brisca.app");
  brisca.c->showPreferencesWindow();
  EXPECT_EQ(brisca.window->windowTitle(), "Mac Brisca Preferences");
}

// ---------------------------------------------------------------------------------------
// The preferences file

TEST(PreferencesFile, StoredValuesShowAndSaveWritesThemBackAsStringsKeepingOtherKeys) {
  Window w;
  writeFile(w.prefs(), plist("<key>probreport</key><string>0</string>\n"
                             "<key>maxtime</key><string>45</string>\n"
                             "<key>lastserver</key><string>eu-2</string>\n"));
  w.c->showPreferencesWindow();
  EXPECT_FALSE(w.c->outlets().sendProblemReport->isChecked());
  EXPECT_EQ(w.c->outlets().sessionLength->currentText(), "45");
  w.c->save();
  EXPECT_FALSE(w.window->isVisible());
  EXPECT_FALSE(w.c->state().tvlPlist);
  cf::Ref<cf::Object> saved = cf::createFromXMLFile(w.prefs().string());
  auto* d = cf::as<cf::Dictionary>(saved.get());
  ASSERT_TRUE(d);
  EXPECT_EQ(cf::stringForKey(d, "probreport")->str(), "0");
  EXPECT_EQ(cf::stringForKey(d, "maxtime")->str(), "45");
  EXPECT_EQ(cf::stringForKey(d, "lastserver")->str(), "eu-2");

  // Changed values, and a value the main application stored as a number.
  writeFile(w.prefs(), plist("<key>probreport</key><integer>1</integer>\n"
                             "<key>maxtime</key><integer>90</integer>\n"));
  w.c->showPreferencesWindow();
  EXPECT_TRUE(w.c->outlets().sendProblemReport->isChecked());
  EXPECT_EQ(w.c->outlets().sessionLength->currentText(), "90");
  w.c->outlets().sendProblemReport->setChecked(false);
  w.c->outlets().sessionLength->setCurrentText("120");
  w.c->save();
  saved = cf::createFromXMLFile(w.prefs().string());
  d = cf::as<cf::Dictionary>(saved.get());
  EXPECT_EQ(cf::stringForKey(d, "probreport")->str(), "0");
  EXPECT_EQ(cf::stringForKey(d, "maxtime")->str(), "120");
}

TEST(PreferencesFile, MissingKeysShowTheDefaultsAndSaveWritesThem) {
  Window w;
  writeFile(w.prefs(), plist("<key>other</key><true/>\n"));
  w.c->showPreferencesWindow();
  EXPECT_TRUE(w.c->outlets().sendProblemReport->isChecked());
  EXPECT_EQ(w.c->outlets().sessionLength->currentText(), "30");
  w.c->save();
  cf::Ref<cf::Object> saved = cf::createFromXMLFile(w.prefs().string());
  auto* d = cf::as<cf::Dictionary>(saved.get());
  ASSERT_TRUE(d);
  EXPECT_EQ(cf::stringForKey(d, "probreport")->str(), "1");
  EXPECT_EQ(cf::stringForKey(d, "maxtime")->str(), "30");
  EXPECT_TRUE(d->valueForKey("other"));
}

TEST(PreferencesFile, ProblemReportsReadAsTheStoredIntegerValue) {
  struct Case {
    const char* stored;
    bool on;
  } cases[] = {{"<string>1</string>", true},
               {"<string>0</string>", false},
               {"<string>abc</string>", false},
               {"<string> 2x</string>", true},
               {"<string>-1</string>", true},
               {"<string></string>", false},
               {"<false/>", false},
               {"<real>0.5</real>", false},
               {"<array/>", false}};
  for (const Case& c : cases) {
    Window w;
    writeFile(w.prefs(), plist(std::string("<key>probreport</key>") + c.stored + "\n"));
    w.c->showPreferencesWindow();
    EXPECT_EQ(w.c->outlets().sendProblemReport->isChecked(), c.on) << c.stored;
  }
}

TEST(PreferencesFile, AMissingOrUnreadableFileShowsDefaultsAndIsNeverWritten) {
  Window w;
  w.c->showPreferencesWindow();
  w.c->outlets().sendProblemReport->setChecked(false);
  w.c->save();
  EXPECT_FALSE(fs::exists(w.prefs()));  // the controller never creates it

  for (const std::string& bad :
       {std::string("not a property list\n"), plist("<key>probreport</key>") /* truncated */,
        std::string("<?xml version=\"1.0\"?><plist><array/></plist>")}) {
    writeFile(w.prefs(), bad);
    w.c->showPreferencesWindow();
    EXPECT_TRUE(w.c->outlets().sendProblemReport->isChecked());
    EXPECT_EQ(w.c->outlets().sessionLength->currentText(), "30");
    w.c->outlets().sessionLength->setCurrentText("60");
    w.c->save();
    EXPECT_EQ(readFile(w.prefs()), bad);
    EXPECT_FALSE(w.window->isVisible());
  }
}

TEST(PreferencesFile, CancelWritesNothingAndTheNextOpeningReadsTheFileAgain) {
  Window w;
  const std::string original = plist("<key>probreport</key><string>1</string>\n");
  writeFile(w.prefs(), original);
  w.c->showPreferencesWindow();
  w.c->outlets().sendProblemReport->setChecked(false);
  w.c->outlets().sessionLength->setCurrentText("15");
  w.c->cancel();
  EXPECT_FALSE(w.window->isVisible());
  EXPECT_EQ(readFile(w.prefs()), original);
  w.c->showPreferencesWindow();
  EXPECT_TRUE(w.c->outlets().sendProblemReport->isChecked());
  EXPECT_EQ(w.c->outlets().sessionLength->currentText(), "30");
}

// A save that dies half-way (here: killed by the file-size limit in the middle of its
// write) leaves the old file whole; no truncated file is ever in its place.
TEST(PreferencesFile, ASaveThatDiesHalfWayLeavesTheOldFileWhole) {
  Window w;
  const std::string original = plist("<key>probreport</key><string>0</string>\n");
  writeFile(w.prefs(), original);
  w.c->showPreferencesWindow();
  // Large enough that the new file cannot be written within the limit.
  w.c->outlets().sessionLength->setCurrentText(QString(4096, '9'));
  pid_t child = ::fork();
  if (child == 0) {
    struct rlimit limit = {512, 512};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    w.c->save();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the save was expected to die in its write";
  EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
  EXPECT_EQ(readFile(w.prefs()), original);
}

// ---------------------------------------------------------------------------------------
// The auto-connect pane on 10.4 and earlier

TEST(AutoConnectPane, OnTigerAndEarlierTheWindowShowsWhetherTheServiceIsInstalled) {
  for (int32_t version : {0x1049, 0x1039}) {
    Window w(version);
    w.c->showPreferencesAutoTovalo();
    EXPECT_EQ(w.label->text(), "Auto Tovalo not installed");
    EXPECT_FALSE(w.button->isEnabled());
    EXPECT_FALSE(w.lock->isEnabled());

    w.h.files.insert(version == 0x1049 ? kTigerDaemon : kStartupItem);
    w.c->showPreferencesAutoTovalo();
    EXPECT_EQ(w.label->text(), "Click to start/stop Auto Tovalo");
    EXPECT_TRUE(w.lock->isEnabled());
  }
  // On 10.4 the launch agent of later systems doesn't count.
  Window tiger(0x1049);
  tiger.h.files.insert(kLeopardAgent);
  tiger.c->showPreferencesAutoTovalo();
  EXPECT_EQ(tiger.label->text(), "Auto Tovalo not installed");
}

// ---------------------------------------------------------------------------------------
// The lock

TEST(AdministratorLock, SaysWhenNoAuthenticationAgentCanAskForThePassword) {
  Window w;
  w.granted = false;
  w.refusal = auth::errAuthorizationInteractionNotAllowed;
  EXPECT_FALSE(w.lock->authorize());
  EXPECT_EQ(w.lock->authorizationState(), authview::SFAuthorizationViewLockedState);
  EXPECT_TRUE(w.lock->statusText().startsWith("No authentication agent is running"))
      << w.lock->statusText().toStdString();
  // Refused with an agent (a wrong password, a dismissed dialog): the plain text again.
  w.refusal = -60005;
  EXPECT_FALSE(w.lock->authorize());
  EXPECT_EQ(w.lock->statusText(), "Click the lock to make changes.");
}

TEST(AdministratorLock, StartsLockedAndGovernsTheButton) {
  Window w;
  EXPECT_EQ(w.lock->authorizationState(), authview::SFAuthorizationViewLockedState);
  EXPECT_FALSE(w.button->isEnabled());
  EXPECT_EQ(w.lock->rightName(), "system.privilege.admin");
  // polkit would say yes without a dialog (a rule, or an authorization it keeps): the
  // re-check still leaves a closed lock closed.
  w.h.clock.advance(60);
  EXPECT_EQ(w.lock->authorizationState(), authview::SFAuthorizationViewLockedState);
  EXPECT_FALSE(w.button->isEnabled());

  w.granted = false;
  EXPECT_FALSE(w.lock->authorize());
  EXPECT_FALSE(w.button->isEnabled());
  w.granted = true;
  w.rightsAsked.clear();
  ASSERT_TRUE(w.lock->authorize());
  EXPECT_EQ(w.rightsAsked, std::vector<std::string>{"system.privilege.admin (dialog)"});
  EXPECT_EQ(w.lock->authorizationState(), authview::SFAuthorizationViewUnlockedState);
  EXPECT_TRUE(w.button->isEnabled());

  // The re-check every 60 s: still granted, nothing changes; then polkit forgets.
  w.h.clock.advance(60);
  EXPECT_TRUE(w.button->isEnabled());
  w.granted = false;
  w.h.clock.advance(59);
  EXPECT_TRUE(w.button->isEnabled());
  w.h.clock.advance(1);
  EXPECT_EQ(w.lock->authorizationState(), authview::SFAuthorizationViewLockedState);
  EXPECT_FALSE(w.button->isEnabled());

  // Save and Cancel close the lock.
  for (void (AppController::*close)() : {&AppController::save, &AppController::cancel}) {
    w.granted = true;
    ASSERT_TRUE(w.lock->authorize());
    EXPECT_TRUE(w.button->isEnabled());
    (w.c->*close)();
    EXPECT_EQ(w.lock->authorizationState(), authview::SFAuthorizationViewLockedState);
    EXPECT_FALSE(w.button->isEnabled());
    w.h.clock.advance(60);
    EXPECT_EQ(w.lock->authorizationState(), authview::SFAuthorizationViewLockedState);
    EXPECT_FALSE(w.button->isEnabled());
  }
}

TEST(AdministratorLock, ARequestWithTheLockClosedAsksFirstAndIsSentEvenWhenRefused) {
  Window w;
  w.granted = false;
  w.rightsAsked.clear();
  w.actions->loadLeopardAction();
  EXPECT_EQ(w.rightsAsked, std::vector<std::string>{"system.privilege.admin (dialog)"});
  EXPECT_EQ(w.tasks, std::vector<int32_t>{7});

  w.granted = true;
  ASSERT_TRUE(w.lock->authorize());
  w.rightsAsked.clear();
  w.actions->unloadLeopardAction();
  EXPECT_TRUE(w.rightsAsked.empty());  // open: straight to the tool
  EXPECT_EQ(w.tasks, (std::vector<int32_t>{7, 8}));
}

// ---------------------------------------------------------------------------------------
// Start at login

TEST(StartAtLogin, TheChoiceIsTheUsersAutostartEntryAndSticks) {
  Window w;
  ::unsetenv("XDG_CONFIG_HOME");
  const fs::path entry = w.home / ".config/autostart/com.nrvk.tvlqc.desktop";
  QCheckBox* box = w.c->outlets().startAtLogin;
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text(), "Start Mac Tovalo Menu at l&ogin");

  // On by default, with nothing of the user's; Cancel writes nothing.
  w.c->showPreferencesWindow();
  EXPECT_TRUE(box->isChecked());
  box->setChecked(false);
  w.c->cancel();
  EXPECT_FALSE(fs::exists(entry));

  // Off: an entry of the user's hides the system's, and the window reads it back.
  w.c->showPreferencesWindow();
  box->setChecked(false);
  w.c->save();
  ASSERT_TRUE(fs::exists(entry));
  EXPECT_NE(readFile(entry).find("\nHidden=true\n"), std::string::npos);
  EXPECT_EQ(std::system(("desktop-file-validate '" + entry.string() + "'").c_str()), 0);
  w.c->showPreferencesWindow();
  EXPECT_FALSE(box->isChecked());
  // On again: that entry goes, the system's applies.
  box->setChecked(true);
  w.c->save();
  EXPECT_FALSE(fs::exists(entry));

  // The user's own copy of the entry (an installation into their home, or a desktop's
  // switch): the choice amends it and keeps everything else.
  const std::string copy =
      "[Desktop Entry]\nType=Application\nName=Mac Tovalo status menu\nExec=\"/opt/x/TVLQC\"\n"
      "X-GNOME-Autostart-enabled=true\n\n[Desktop Action x]\nName=x\nHidden=true\n";
  writeFile(entry, copy);
  w.c->showPreferencesWindow();
  EXPECT_TRUE(box->isChecked());  // another group's Hidden is not the entry's
  box->setChecked(false);
  w.c->save();
  EXPECT_NE(readFile(entry).find("Exec=\"/opt/x/TVLQC\"\n"), std::string::npos);
  w.c->showPreferencesWindow();
  EXPECT_FALSE(box->isChecked());
  box->setChecked(true);
  w.c->save();
  EXPECT_EQ(readFile(entry), copy);

  writeFile(entry,
            "[Desktop Entry]\nType=Application\nName=n\nExec=TVLQC\n"
            "X-GNOME-Autostart-enabled=false\n");
  w.c->showPreferencesWindow();
  EXPECT_FALSE(box->isChecked());
  box->setChecked(true);
  w.c->save();
  EXPECT_EQ(readFile(entry), "[Desktop Entry]\nType=Application\nName=n\nExec=TVLQC\n");
}

// ---------------------------------------------------------------------------------------
// Start and stop, per system version

TEST(StartStop, EachVersionSendsItsActionAndTheWaitEndsWhenTheDaemonHasAppearedOrGone) {
  struct Case {
    int32_t version;
    const char* installed;
    int32_t start, stop;
  } cases[] = {{0x1068, kLeopardAgent, 7, 8},
               {0x1058, kLeopardAgent, 7, 8},
               {0x1049, kTigerDaemon, 2, 3},
               {0x1039, kStartupItem, 4, 5}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.version);
    Window w(k.version);
    w.h.files.insert(k.installed);
    w.c->statusMenu()->menuWillOpen();
    ASSERT_TRUE(w.lock->authorize());
    ASSERT_EQ(w.button->text(), "Start");

    w.button->click();
    EXPECT_EQ(w.tasks, std::vector<int32_t>{k.start});
    EXPECT_EQ(w.button->text(), "Stop");
    EXPECT_FALSE(w.button->isEnabled());
    EXPECT_EQ(w.label->text(), "Starting Auto Tovalo");
    EXPECT_EQ(w.c->outlets().startStopProgressIndicator->maximum(), 0);  // spinning
    // The daemon runs at once: one 2-second pause, then the pane offers Stop.
    w.h.clock.advance(1.9);
    EXPECT_FALSE(w.button->isEnabled());
    w.h.clock.advance(0.1);
    EXPECT_TRUE(w.button->isEnabled());
    EXPECT_EQ(w.label->text(), "Click to stop Auto Tovalo");
    EXPECT_NE(w.c->outlets().startStopProgressIndicator->maximum(), 0);

    w.button->click();
    EXPECT_EQ(w.tasks, (std::vector<int32_t>{k.start, k.stop}));
    EXPECT_EQ(w.button->text(), "Start");
    EXPECT_EQ(w.label->text(), "Stopping Auto Tovalo");
    w.h.clock.advance(1.0);
    EXPECT_EQ(w.label->text(), "Click to start Auto Tovalo");
    EXPECT_TRUE(w.button->isEnabled());
    EXPECT_TRUE(w.alerts.empty());
  }
}

TEST(StartStop, OnTheStartupItemSystemsTheHostConfigurationCopyGoesFirst) {
  Window w(0x1039);
  w.h.files.insert(kStartupItem);
  writeFile(w.h.dir.path() / "etc-hostconfig", "HOSTNAME=-AUTOMATIC-\nTVLD=-NO-\n");
  w.c->statusMenu()->menuWillOpen();
  w.lock->authorize();
  w.button->click();
  EXPECT_EQ(readFile(w.h.dir.path() / "hostconfig"), "HOSTNAME=-AUTOMATIC-\nTVLD=-YES-\n");
}

TEST(StartStop, TheWaitFollowsTheDaemonAndKeepsThePaneWhileTheMenuOpens) {
  Window w;
  w.h.files.insert(kLeopardAgent);
  w.daemonFollows = false;  // the daemon takes its time
  w.c->statusMenu()->menuWillOpen();
  w.lock->authorize();
  w.button->click();
  w.h.clock.advance(10);
  w.c->statusMenu()->menuWillOpen();  // the menu still works and leaves the pane alone
  EXPECT_EQ(w.label->text(), "Starting Auto Tovalo");
  EXPECT_EQ(w.button->text(), "Stop");
  w.button->click();                      // disabled: nothing happens
  w.c->changeAutoTovaloStatus(w.button);  // nor when the press comes through anyway
  EXPECT_EQ(w.tasks, std::vector<int32_t>{7});

  w.h.processes.insert("tvld");
  w.h.clock.advance(2);  // seen at the next look
  EXPECT_EQ(w.label->text(), "Starting Auto Tovalo");
  w.h.clock.advance(2);  // after the pause
  EXPECT_EQ(w.label->text(), "Click to stop Auto Tovalo");
  w.c->statusMenu()->menuWillOpen();
  EXPECT_EQ(w.c->statusMenu()->itemAtIndex(4)->image().name(), "green");
}

TEST(StartStop, AWaitGivesUpAfterAMinuteAndOffersTheSameActionAgain) {
  Window w;
  w.h.files.insert(kLeopardAgent);
  w.daemonFollows = false;
  w.c->statusMenu()->menuWillOpen();
  w.lock->authorize();
  w.button->click();
  w.h.clock.advance(59.9);
  EXPECT_EQ(w.label->text(), "Starting Auto Tovalo");
  EXPECT_FALSE(w.button->isEnabled());
  w.h.clock.advance(0.1);
  EXPECT_EQ(w.label->text(), "Auto Tovalo did not start");
  EXPECT_EQ(w.button->text(), "Start");
  EXPECT_TRUE(w.button->isEnabled());
  EXPECT_NE(w.c->outlets().startStopProgressIndicator->maximum(), 0);
  EXPECT_EQ(w.h.clock.validTimerCount(), 2u);  // only the 30-second check and the lock's re-check

  w.h.processes.insert("tvld");
  w.c->statusMenu()->menuWillOpen();
  w.button->click();  // "Stop"
  ASSERT_EQ(w.button->text(), "Start");
  w.h.clock.advance(60);
  EXPECT_EQ(w.label->text(), "Auto Tovalo did not stop");
  EXPECT_EQ(w.button->text(), "Stop");
  EXPECT_TRUE(w.button->isEnabled());
}

TEST(StartStop, TheButtonFollowsTheLockWhenAWaitEnds) {
  // The lock closes during the wait, by Save or by its re-check: the wait's end must not
  // enable a button whose lock is closed.
  for (bool bySave : {true, false}) {
    SCOPED_TRACE(bySave ? "save" : "re-check");
    Window w;
    w.h.files.insert(kLeopardAgent);
    w.daemonFollows = false;
    w.c->statusMenu()->menuWillOpen();
    ASSERT_TRUE(w.lock->authorize());
    w.h.clock.advance(30);  // the lock's re-check comes half-way through the wait
    w.button->click();
    if (bySave) {
      w.c->save();
    } else {
      w.granted = false;
      w.h.clock.advance(30);
    }
    ASSERT_EQ(w.lock->authorizationState(), authview::SFAuthorizationViewLockedState);
    w.h.processes.insert("tvld");
    w.h.clock.advance(10);
    EXPECT_EQ(w.label->text(), "Click to stop Auto Tovalo");
    EXPECT_FALSE(w.button->isEnabled());
    w.granted = true;
    ASSERT_TRUE(w.lock->authorize());
    EXPECT_TRUE(w.button->isEnabled());
  }
}

TEST(StartStop, OnVersionSevenTheButtonSaysThereIsNothingToDo) {
  Window w(0x1072);
  w.h.files.insert(kLeopardAgent);
  // Said from the first opening, before any press, and kept at every later one.
  for (int opening = 0; opening < 2; ++opening) {
    w.c->statusMenu()->menuWillOpen();
    EXPECT_EQ(w.button->text(), "Not Available");
    EXPECT_EQ(w.label->text(), "Auto Tovalo can't be switched on this system version.");
  }
  w.lock->authorize();
  w.button->click();
  EXPECT_TRUE(w.tasks.empty());
  EXPECT_EQ(w.button->text(), "Not Available");
  EXPECT_FALSE(w.button->isEnabled());
  w.c->statusMenu()->menuWillOpen();
  EXPECT_EQ(w.button->text(), "Not Available");
  EXPECT_EQ(w.h.clock.validTimerCount(), 2u);  // no wait
}

TEST(StartStop, AButtonWithAnotherTitleIsIgnored) {
  Window w;
  w.h.files.insert(kLeopardAgent);
  w.lock->authorize();
  w.button->setText("Restart");
  w.button->click();
  EXPECT_TRUE(w.tasks.empty());
  EXPECT_EQ(w.button->text(), "Restart");
  EXPECT_TRUE(w.button->isEnabled());
}

// A German user (de.lproj of the built bundle): the menu, the window and the pane speak
// German, a text without translation shows in English, and the button, whose title is now
// "Starten" or "Stoppen", still starts and stops the service.
TEST(StartStop, InGermanEveryTextIsGermanAndTheButtonStillWorks) {
  struct GermanLocale {
    GermanLocale() {
      for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) ::unsetenv(name);
      ::setenv("LANG", "de_DE.UTF-8", 1);
    }
    ~GermanLocale() { ::setenv("LANG", "C.UTF-8", 1); }
  } german;
  Window w;
  w.h.files.insert(kLeopardAgent);
  w.c->statusMenu()->menuWillOpen();
  EXPECT_EQ(w.c->statusMenu()->itemAtIndex(1)->title(), "Meinen Bildschirm freigeben");
  EXPECT_EQ(w.c->localized("sQuit"), "Beenden");
  EXPECT_EQ(w.c->localized("sNoSuchKey"), "sNoSuchKey");
  ASSERT_TRUE(w.c->statusMenu()->itemAtIndex(4)->performAction());
  EXPECT_EQ(w.window->windowTitle().toStdString(), "Mac Tovalo – Einstellungen");
  EXPECT_EQ(w.c->outlets().preferencesTabView->tabText(0), "Allgemein");
  EXPECT_EQ(w.window->findChild<QPushButton*>("saveButton")->text(), "&Speichern");
  EXPECT_EQ(w.c->outlets().aboutVersion->text().toStdString().rfind("Version ", 0), 0u);
  // The picture of the German window in docs/ is this one.
  w.c->outlets().preferencesTabView->setCurrentIndex(0);
  w.window->grab().save(qEnvironmentVariable("TVL_BUILD_DIR") + "/preferences-general-de.png");
  w.c->outlets().preferencesTabView->setCurrentIndex(2);

  ASSERT_TRUE(w.lock->authorize());
  ASSERT_EQ(w.button->text(), "Starten");
  w.button->click();
  EXPECT_EQ(w.tasks, std::vector<int32_t>{7});
  EXPECT_EQ(w.button->text(), "Stoppen");
  EXPECT_EQ(w.label->text(), "Auto Tovalo wird gestartet");
  w.h.clock.advance(2.0);
  EXPECT_EQ(w.label->text(), "Klicken, um Auto Tovalo zu stoppen");
  w.button->click();
  EXPECT_EQ(w.tasks, (std::vector<int32_t>{7, 8}));
  EXPECT_EQ(w.button->text(), "Starten");
}

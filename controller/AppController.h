// TVLQC's controller: the one object that holds the tray controller's state, owns the
// status item and its menu, follows the main application's notifications, and drives
// the main application by scripts on worker threads.
//
// Everything runs on the main thread except the three script commands, which each run on
// a thread of their own and read only the edition (fixed after start-up).
//
// Its code is split by concern: start-up, icon and menu (AppController.cpp), remote
// control of the main application (AppControllerRemote.cpp), the auto-connect service
// (AppControllerAutoTovalo.cpp), the preferences window and file
// (AppControllerPreferences.cpp).
#pragma once

#include <QPointer>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/ProductContract.h"
#include "controller/Edition.h"
#include "platform/bundle/Bundle.h"
#include "platform/cf/PropertyList.h"
#include "platform/ui/Menu.h"
#include "platform/ui/Timer.h"

class QComboBox;
class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QWidget;

namespace tvl {

class TVLActionController;
namespace authview {
class AuthorizationView;
}
namespace notify {
class DesktopNotifications;
class DistributedNotificationCenter;
}  // namespace notify
namespace script {
class ScriptRunner;
}
namespace ui {
class Application;
}
namespace workspace {
class Workspace;
}

// What the controller asks of the platform. The defaults are the real services; tests
// replace single ones.
struct AppControllerServices {
  // The controller's own bundle (TVLQC.app).
  bundle::Bundle bundle = bundle::Bundle::mainBundle();
  ui::TimerScheduler* timers = nullptr;
  workspace::Workspace* workspace = nullptr;
  script::ScriptRunner* scripts = nullptr;
  // Null: the controller observes no notifications (a test calls the handlers).
  notify::DistributedNotificationCenter* notifications = nullptr;
  // Null: the controller shows no desktop notifications.
  notify::DesktopNotifications* desktopNotifications = nullptr;
  ui::Application* application = nullptr;
  std::function<bool(const std::string& path)> fileExistsAtPath;
  std::function<bool(const std::string& processName)> runningStateForApplication;
  std::function<int32_t()> gestaltSystemVersion;
  // Shows an alert and returns the code of the button that closed it (ui::runAlert).
  std::function<int(const std::string& message, const std::string& informativeText,
                    const std::optional<std::string>& defaultButton,
                    const std::optional<std::string>& alternateButton,
                    const std::optional<std::string>& otherButton, bool critical)>
      runAlert;
  // The switches of the auto-connect service; null: the shared instance.
  TVLActionController* actions = nullptr;

  // The real ones: Qt timers, the session bus, the process's application object.
  static AppControllerServices real();
};

class AppController {
 public:
  using Edition = controller::Edition;

  // Observed notifications all carry this object.
  static constexpr auto& kNotificationObject = product::kNotificationObject;
  // The main application's bundle identifier, whatever the edition.
  static constexpr auto& kMainAppBundleIdentifier = product::kMainAppBundleIdentifier;

  // The interface description's controls the controller reads and writes. They belong to
  // the preferences window, whose loader connects them; until it is loaded they are null
  // and left alone.
  struct Outlets {
    QPointer<QWidget> preferencesWindow;
    QPointer<QTabWidget> preferencesTabView;
    QPointer<QPushButton> startStopButton;
    QPointer<QLabel> startStopLabel;
    QPointer<QProgressBar> startStopProgressIndicator;
    QPointer<authview::AuthorizationView> startStopAuthorizationView;
    QPointer<QComboBox> sessionLength;
    QPointer<QCheckBox> sendProblemReport;
    QPointer<QCheckBox> startAtLogin;
    QPointer<QLabel> aboutVersion;
    QPointer<QLabel> aboutDate;
    QPointer<QLabel> aboutCopyright;
  };

  // What the controller knows and the status item shows; only the controller changes it.
  struct State {
    Edition edition = Edition::NoEnclosingApp;
    std::string menuIcon;
    std::string menuIconAlt;
    int sharingIconState = 0;  // which of the two icons the blinking shows next
    bool sharingState = false;
    bool autoTovaloSharingState = false;
    // The preferences file as read when the window was last filled; null: Save writes
    // no file.
    cf::Ref<cf::Dictionary> tvlPlist;
    // The About pane's texts, kept also while its labels are not loaded.
    std::string aboutVersionText, aboutDateText, aboutCopyrightText;
  };

  // The process's one controller: init records the first one made and answers it to every
  // later call; sharedInstance makes one with the real services when none exists yet.
  static AppController& init(AppControllerServices services);
  static AppController& sharedInstance();
  // Ends the shared controller (teardown: observers, status item, menu) while the Qt
  // application still exists; the process is about to end.
  static void releaseSharedInstance();

  // A controller that is not the shared one (tests). Registers for the notifications.
  explicit AppController(AppControllerServices services);
  ~AppController();
  AppController(const AppController&) = delete;
  AppController& operator=(const AppController&) = delete;

  const State& state() const { return state_; }
  Edition edition() const { return state_.edition; }
  Outlets& outlets() { return outlets_; }
  ui::StatusItem* statusItem() const { return statusItem_.get(); }
  ui::Menu* statusMenu() const { return statusMenu_.get(); }
  bool iconCycleRuns() const;
  // The 30-second look at the auto-connect marker: from launch to exit.
  bool autoTovaloCheckRuns() const;

  // ---- Start-up, edition, status icon and menu (AppController.cpp)
  // In this order: the interface is loaded (awakeFromNib), then the application has
  // finished launching.
  void awakeFromNib();
  void applicationDidFinishLaunching();
  void quitApplication();

  std::string enclosingAppName() const;
  void getEnclosingAppBundle();
  // The edition of the main application a controller bundle at this path sits in.
  static Edition editionOfControllerBundle(const std::string& bundlePath);
  // The third ancestor folder of the controller's bundle: the enclosing main application.
  std::string enclosingAppPath() const;
  int osVersionNumber() const;

  void assignIconToStatusItem();
  void cycleStatusIconDuringSharing();

  // Notification handlers; the notification's contents are ignored.
  void applicationLaunchMacTovalo();
  void applicationQuitMacTovalo();
  void sharingStartedMacTovalo();
  void sharingStoppedMacTovalo();
  void autotovaloStarted() {}
  void autotovaloStopped() {}

  void setStatusBarMenu();
  void buildMenu();
  void assignMenuToStatusItem();
  void menuNeedsUpdate();

  // A privileged request failed (its alert shows the message): a desktop notification
  // says so too, since the preferences window may be behind other windows by then.
  void notifyRequestFailed(const std::string& message);

  // The controller's bundle: its strings, images and interface files.
  const bundle::Bundle& ownBundle() const { return services_.bundle; }
  // The text for a key of the controller's string table ("" default value).
  std::string localized(const std::string& key) const;
  // The auto-connect pane's and menu's texts, looked up by their English text.
  QString text(const char* english) const;

  // ---- Remote control of the main application (AppControllerRemote.cpp)
  void openTVL();
  void detachThreadBringTVLToFront();
  void setupPoolBringTVLToFront();
  void bringTVLToFront();
  void detachThreadStartTVLSharing();
  void setupPoolStartTVLsharing();
  void startTVLsharing();
  void detachThreadStopTVLsharing();
  void setupPoolStopTVLsharing();
  void stopTVLsharing();
  bool stateTVLrunning();
  bool stateTVLsharing();
  // The script a command sends for an edition; "" outside a main application.
  static std::string bringToFrontScript(Edition edition);
  static std::string startSharingScript(Edition edition);
  static std::string stopSharingScript(Edition edition);
  static const char kSharingProbeScript[];
  // Blocks until every worker thread started so far has ended (tests; quitting).
  void waitForWorkerThreads();

  // ---- The auto-connect service (AppControllerAutoTovalo.cpp)
  bool needSecureTool() const { return true; }
  std::string currentFolderPath() const { return "/Library/LaunchDaemons"; }
  int currentFolderPathNumber() const { return 3; }

  // Reading its state.
  bool autoTovaloInstallStatus();
  void getAutoTovaloStatus();
  void checkAutoTovalo();
  bool stateAutoTovaloConnected();

  // Switching it. The button's title names what it will do. The wait for the daemon polls
  // on the main thread's timers and ends after kDaemonWaitBound.
  void changeAutoTovaloStatus(QPushButton* sender);
  void waitForTVLStart();
  void waitForTVLStop();
  static constexpr double kDaemonWaitBound = 60.0;

  // ---- Preferences window and file (AppControllerPreferences.cpp)
  // The window is loaded from the interface file and handed over here; the controller
  // owns it from then on.
  void adoptPreferencesWindow(std::unique_ptr<QWidget> window);
  // Or the loader, which the controller calls when the window is first shown: the tray
  // icon does not wait for a window that most starts never open (building it, with the
  // fonts its fields need, was most of TVLQC's start). Once loaded, the window gets the
  // About texts and the Auto Tovalo pane's state as if it had been there from the start.
  void setPreferencesWindowLoader(std::function<std::unique_ptr<QWidget>()> loader);
  bool preferencesWindowLoaded() const { return preferencesWindowOwner_ != nullptr; }
  void showPreferencesWindow();
  void showPreferencesAutoTovalo();
  void updateWindowContents();
  void save();
  void cancel();
  // "~/Library/Preferences/com.nrvk.tvl.plist" in the user's home folder.
  static std::string preferencesFilePath();

  int alertWithMessage(const std::string& message, const std::string& informativeText,
                       const std::optional<std::string>& defaultButton,
                       const std::optional<std::string>& alternateButton = std::nullopt,
                       const std::optional<std::string>& otherButton = std::nullopt);

 private:
  // Menu positions.
  static constexpr int kLaunchItem = 0;
  static constexpr int kShareItem = 1;
  static constexpr int kAutoTovaloItem = 4;

  const controller::EditionTraits& editionTraits() const;
  void startIconCycle();
  void stopIconCycle();
  ui::Image imageNamed(const std::string& name) const;
  ui::Action action(const char* name);
  void setEntry1ForSharingState(ui::MenuItem* item);
  void detachWorker(void (AppController::*entry)());
  void runScript(const std::string& source);
  void showPreferencesTab(int index);
  void pollDaemon(bool start, double interval);
  void endDaemonWait(const std::string& title, const std::string& label);
  void showAutoTovaloNotAvailable();
  // A desktop notification in the edition's name and icon; texts by key.
  void postDesktopNotification(const char* summaryKey, const std::string& body, bool critical,
                               const char* topic);
  bool startStopLockIsOpen() const;
  TVLActionController& actions();

  // The real services the caller left out, made by the controller and released with it.
  struct OwnedServices;
  std::unique_ptr<OwnedServices> owned_;
  AppControllerServices services_;
  State state_;
  Outlets outlets_;
  std::unique_ptr<ui::StatusItem> statusItem_;
  std::unique_ptr<ui::Menu> statusMenu_;
  std::unique_ptr<ui::Timer> swapStatusIcons_;
  std::unique_ptr<ui::Timer> autoTovaloCheckTimer_;
  std::vector<int> observerTokens_;
  std::mutex workersMutex_;
  std::condition_variable workersDone_;
  int runningWorkers_ = 0;
  std::unique_ptr<QWidget> preferencesWindowOwner_;
  std::function<std::unique_ptr<QWidget>()> preferencesWindowLoader_;
  void loadPreferencesWindowIfNeeded();
  void showAboutTexts();
  // A start or stop runs: from the button's press to the end of the wait.
  bool changeRuns_ = false;
  std::unique_ptr<ui::Timer> daemonWaitTimer_;
  double daemonWaited_ = 0;
};

}  // namespace tvl

// TVLQC's controller: the one object that holds the tray controller's state, owns the
// status item and its menu, follows the main application's notifications, and drives
// the main application by scripts on worker threads.
//
// Everything runs on the main thread except the three script commands, which each run on
// a thread of their own and read only the edition code (fixed after start-up).
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
  // Edition codes.
  static constexpr int32_t kMacTovalo = 0;
  static constexpr int32_t kMacBrisca = 1;
  static constexpr int32_t kNoEnclosingApp = -1;

  // Observed notifications all carry this object.
  static constexpr auto& kNotificationObject = product::kNotificationObject;
  // The main application's bundle identifier, whatever the edition.
  static constexpr auto& kMainAppBundleIdentifier = product::kMainAppBundleIdentifier;

  // The interface description's controls the controller reads and writes. They belong to
  // the preferences window; until it is loaded they are null and left alone.
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

  // Start-up, in this order: the interface is loaded (awakeFromNib), then the
  // application has finished launching.
  void awakeFromNib();
  void applicationDidFinishLaunching();
  void quitApplication();

  std::string enclosingAppName() const;
  void getEnclosingAppBundle();
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

  bool needSecureTool() const { return true; }
  std::string currentFolderPath() const { return "/Library/LaunchDaemons"; }
  int currentFolderPathNumber() const { return 3; }

  // Status menu.
  void setStatusBarMenu();
  void buildMenu();
  void assignMenuToStatusItem();
  void menuNeedsUpdate();

  // Remote control of the main application.
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
  // The script a command sends for an edition; "" for edition -1.
  static std::string bringToFrontScript(int32_t edition);
  static std::string startSharingScript(int32_t edition);
  static std::string stopSharingScript(int32_t edition);
  static const char kSharingProbeScript[];

  // Auto-connect service, the part that only reads its state.
  bool autoTovaloInstallStatus();
  void getAutoTovaloStatus();
  void checkAutoTovalo();
  bool stateAutoTovaloConnected();

  // Auto-connect service, switching it. The button's title names what it will do. The
  // wait for the daemon polls on the main thread's timers and ends after kDaemonWaitBound.
  void changeAutoTovaloStatus(QPushButton* sender);
  void waitForTVLStart();
  void waitForTVLStop();
  static constexpr double kDaemonWaitBound = 60.0;

  // Preferences window and file. The window is loaded from the interface file and handed
  // over here; the controller owns it from then on.
  void adoptPreferencesWindow(std::unique_ptr<QWidget> window);
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

  // The controller's bundle: its strings, images and interface files.
  const bundle::Bundle& ownBundle() const { return services_.bundle; }

  // A privileged request failed (its alert shows the message): a desktop notification
  // says so too, since the preferences window may be behind other windows by then.
  void notifyRequestFailed(const std::string& message);

  // The text for a key of the controller's string table ("" default value).
  std::string localized(const std::string& key) const;
  // The auto-connect pane's and menu's texts, looked up by their English text.
  QString text(const char* english) const;

  // Blocks until every worker thread started so far has ended (tests; quitting).
  void waitForWorkerThreads();

  // State, as the rest of the controller and its tests read it.
  int32_t enclosingAppBundle = kNoEnclosingApp;
  std::unique_ptr<ui::StatusItem> statusItem;
  std::unique_ptr<ui::Menu> statusMenu;
  std::string menuIcon;
  std::string menuIconAlt;
  std::unique_ptr<ui::Timer> swapStatusIcons;
  int sharingIconState = 0;
  bool sharingState = false;
  bool autoTovaloSharingState = false;
  Outlets outlets;
  cf::Ref<cf::Dictionary> tvlPlist;
  // The About pane's texts, kept also while its labels are not loaded.
  std::string aboutVersionText, aboutDateText, aboutCopyrightText;
  // The 30-second auto-connect check; runs from launch to exit.
  std::unique_ptr<ui::Timer> autoTovaloCheckTimer;

  bool iconCycleRuns() const;

 private:
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
  std::vector<int> observerTokens_;
  std::mutex workersMutex_;
  std::condition_variable workersDone_;
  int runningWorkers_ = 0;
  std::unique_ptr<QWidget> preferencesWindowOwner_;
  // A start or stop runs: from the button's press to the end of the wait.
  bool changeRuns_ = false;
  std::unique_ptr<ui::Timer> daemonWaitTimer_;
  double daemonWaited_ = 0;
};

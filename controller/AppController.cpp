#include "controller/AppController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QWidget>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string_view>
#include <thread>

#include "common/ShellUtilities.h"
#include "controller/LoginItem.h"
#include "platform/authview/AuthorizationView.h"
#include "platform/cf/PropertyListXML.h"
#include "platform/notify/DesktopNotifications.h"
#include "platform/notify/DistributedNotificationCenter.h"
#include "platform/script/Script.h"
#include "platform/system/Log.h"
#include "platform/system/Paths.h"
#include "platform/system/SystemVersion.h"
#include "platform/ui/Application.h"
#include "platform/workspace/Workspace.h"
#include "privileged/TVLActionController.h"

namespace {

// Menu positions.
constexpr int kLaunchItem = 0;
constexpr int kShareItem = 1;
constexpr int kAutoTovaloItem = 4;

constexpr char kMenuTitle[] = "tvlmenu";
constexpr char kAutoTovaloDaemon[] = "tvld";
constexpr char kAutoTovaloConnectedMarker[] = "/private/tmp/autotovaloconnected";
constexpr char kStartupItem[] = "/Library/StartupItems/tvld/tvld";
constexpr char kTigerDaemonPlist[] = "/Library/LaunchDaemons/com.nrvk.atv.plist";
constexpr char kLeopardAgentPlist[] = "/Library/LaunchAgents/com.nrvk.vnc.plist";

using product::kDefaultSessionLength;
using product::kPreferencesFile;
using product::kProblemReportKey;
using product::kSessionLengthKey;

constexpr double kIconCycleInterval = 1.0;
// The waits for the daemon: how often they look, and the pause once it has appeared or gone.
constexpr double kStartPollInterval = 2.0;
constexpr double kStopPollInterval = 1.0;
constexpr double kAutoTovaloCheckInterval = 30.0;

std::string editionName(int32_t edition) {
  return edition == AppController::kMacTovalo   ? "Mac Tovalo"
         : edition == AppController::kMacBrisca ? "Mac Brisca"
                                                : "";
}

// Path arithmetic as on the platform's paths: "/a/b" -> "/a", "/a" -> "/", "/" -> "/".
std::string deletingLastPathComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string lastPathComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  return (slash == std::string::npos || path == "/") ? path : path.substr(slash + 1);
}

// Each edition's script: the edition 0 and 1 texts differ only in the application named.
std::string forEdition(int32_t edition, std::string_view body) {
  std::string name = editionName(edition);
  if (name.empty()) return "";
  return "tell application \"" + name + "\"\r" + std::string(body) + "end tell\r";
}

}  // namespace

const char AppController::kSharingProbeScript[] =
    "tell application \"Mac Tovalo\"\rget visible of window \"sharingsheet\"\rend tell\r";

// ---------------------------------------------------------------------------------------
// Services and the shared instance

AppControllerServices AppControllerServices::real() {
  AppControllerServices s;
  s.notifications = notify::DistributedNotificationCenter::defaultCenter();
  s.desktopNotifications = notify::DesktopNotifications::defaultNotifications();
  s.application = &ui::Application::sharedApplication();
  return s;
}

struct AppController::OwnedServices {
  ui::QtTimers timers;
  workspace::SessionBusWorkspace workspace;
  std::unique_ptr<script::ApplicationScriptRunner> scripts;
};

namespace {

std::unique_ptr<AppController>& recordedController() {
  // Never destroyed by the exit handlers: when the process ends without returning from
  // main (Qt ends it when the display goes away), the instance's window-system objects
  // must not be torn down after the connection they belong to. main releases it.
  static auto* shared = new std::unique_ptr<AppController>();
  return *shared;
}

}  // namespace

AppController& AppController::init(AppControllerServices services) {
  auto& shared = recordedController();
  if (!shared) shared = std::make_unique<AppController>(std::move(services));
  return *shared;
}

void AppController::releaseSharedInstance() {
  recordedController().reset();
}

AppController& AppController::sharedInstance() {
  auto& shared = recordedController();
  return shared ? *shared : init(AppControllerServices::real());
}

AppController::AppController(AppControllerServices services) : services_(std::move(services)) {
  if (!services_.timers || !services_.workspace || !services_.scripts) {
    owned_ = std::make_unique<OwnedServices>();
    if (!services_.timers) services_.timers = &owned_->timers;
    if (!services_.workspace) services_.workspace = &owned_->workspace;
    if (!services_.scripts) {
      owned_->scripts = std::make_unique<script::ApplicationScriptRunner>(*services_.workspace);
      services_.scripts = owned_->scripts.get();
    }
  }
  if (!services_.fileExistsAtPath)
    services_.fileExistsAtPath = [](const std::string& path) {
      std::error_code ec;
      return std::filesystem::exists(tvl::system::mapPlatformPath(path), ec);
    };
  if (!services_.runningStateForApplication)
    services_.runningStateForApplication = common::runningStateForApplication;
  if (!services_.gestaltSystemVersion) services_.gestaltSystemVersion = tvl::gestaltSystemVersion;
  if (!services_.runAlert)
    services_.runAlert = [](auto& message, auto& info, auto& b1, auto& b2, auto& b3,
                            bool critical) {
      return ui::runAlert(critical ? ui::AlertStyle::Critical : ui::AlertStyle::Warning, message,
                          info, b1, b2, b3);
    };

  if (auto* center = services_.notifications) {
    const std::pair<const char*, void (AppController::*)()> rows[] = {
        {product::kApplicationLaunch, &AppController::applicationLaunchMacTovalo},
        {product::kApplicationQuit, &AppController::applicationQuitMacTovalo},
        {product::kSharingStarted, &AppController::sharingStartedMacTovalo},
        {product::kSharingStopped, &AppController::sharingStoppedMacTovalo},
        {product::kAutoTovaloStarted, &AppController::autotovaloStarted},
        {product::kAutoTovaloStopped, &AppController::autotovaloStopped},
    };
    for (auto [name, handler] : rows)
      observerTokens_.push_back(center->addObserver(
          name, kNotificationObject,
          [this, handler = handler](const QString&, const QString&) { (this->*handler)(); }));
  }
  if (services_.application)
    services_.application->setDelegate([this] { applicationDidFinishLaunching(); });
}

AppController::~AppController() {
  if (auto* center = services_.notifications)
    for (int token : observerTokens_) center->removeObserver(token);
  if (services_.application) services_.application->setDelegate(nullptr);
  waitForWorkerThreads();  // they use the services released below
  autoTovaloCheckTimer.reset();
  swapStatusIcons.reset();
  statusItem.reset();
  statusMenu.reset();
}

// ---------------------------------------------------------------------------------------
// Start-up, edition, version

void AppController::awakeFromNib() {
  getEnclosingAppBundle();

  const bundle::Bundle& main = services_.bundle;
  aboutVersionText =
      localized("Version") + " " + main.stringForInfoDictionaryKey("CFBundleVersion");
  aboutDateText.clear();
  // The controller's own executable; a file system without birth times leaves the date out.
  if (auto created = common::creationDateForFile(main.pathForAuxiliaryExecutable("TVLQC"))) {
    std::time_t t = std::chrono::system_clock::to_time_t(*created);
    std::tm local{};
    char text[32];
    if (::localtime_r(&t, &local) && std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local))
      aboutDateText = text;
  }
  aboutCopyrightText = main.stringForInfoDictionaryKey("NSHumanReadableCopyright");
  if (outlets.aboutVersion) outlets.aboutVersion->setText(QString::fromStdString(aboutVersionText));
  if (outlets.aboutDate) outlets.aboutDate->setText(QString::fromStdString(aboutDateText));
  if (outlets.aboutCopyright)
    outlets.aboutCopyright->setText(QString::fromStdString(aboutCopyrightText));

  sharingIconState = 0;
  sharingState = false;
  autoTovaloSharingState = false;
  menuIcon = "tvl.tif";
  menuIconAlt = "connected.tif";
}

void AppController::applicationDidFinishLaunching() {
  setStatusBarMenu();
  // Outside a main application the controller has ended with its alert: nothing else runs.
  if (enclosingAppBundle == kNoEnclosingApp) return;
  if (stateTVLrunning()) applicationLaunchMacTovalo();
  autoTovaloCheckTimer = services_.timers->scheduledTimerWithTimeInterval(
      kAutoTovaloCheckInterval, [this] { checkAutoTovalo(); }, true);
}

void AppController::quitApplication() {
  if (statusItem) statusItem->remove();
  if (services_.application) services_.application->terminate();
}

std::string AppController::enclosingAppPath() const {
  std::string path = services_.bundle.bundlePath();
  for (int i = 0; i < 3; ++i) path = deletingLastPathComponent(path);
  return path;
}

std::string AppController::enclosingAppName() const {
  return lastPathComponent(enclosingAppPath());
}

void AppController::getEnclosingAppBundle() {
  std::string name = enclosingAppName();
  if (name.find("Mac Tovalo") != std::string::npos)
    enclosingAppBundle = kMacTovalo;
  else if (name.find("Mac Brisca") != std::string::npos)
    enclosingAppBundle = kMacBrisca;
  else
    enclosingAppBundle = kNoEnclosingApp;
}

int AppController::osVersionNumber() const {
  // The minor digit as one hex digit, read back as a decimal number: 10 to 15 give 0.
  int nibble = (services_.gestaltSystemVersion() >> 4) & 0xF;
  char hex[2] = {"0123456789abcdef"[nibble], '\0'};
  return std::atoi(hex);
}

// ---------------------------------------------------------------------------------------
// Status icon

ui::Image AppController::imageNamed(const std::string& name) const {
  return ui::Image::named(services_.bundle, name);
}

std::string AppController::localized(const std::string& key) const {
  return services_.bundle.localizedStringForKey(key, "");
}

QString AppController::text(const char* english) const {
  return QString::fromStdString(localized(english));
}

void AppController::assignIconToStatusItem() {
  switch (enclosingAppBundle) {
    case kMacTovalo:
      menuIcon = "tvl.tif";
      menuIconAlt = "connected.tif";
      break;
    case kMacBrisca:
      menuIcon = "mbx.tif";
      menuIconAlt = "connected.tif";
      break;
    case kNoEnclosingApp:
      menuIcon = "noenclosure.tif";
      menuIconAlt = "tvl.tif";
      break;
    default:
      break;
  }
}

bool AppController::iconCycleRuns() const {
  return swapStatusIcons && swapStatusIcons->isValid();
}

void AppController::startIconCycle() {
  if (swapStatusIcons) swapStatusIcons->invalidate();
  swapStatusIcons = services_.timers->scheduledTimerWithTimeInterval(
      kIconCycleInterval, [this] { cycleStatusIconDuringSharing(); }, true);
}

void AppController::stopIconCycle() {
  if (swapStatusIcons) swapStatusIcons->invalidate();
  swapStatusIcons.reset();
  if (statusItem) statusItem->setImage(imageNamed(menuIcon));
  sharingIconState = 0;
}

void AppController::cycleStatusIconDuringSharing() {
  if (statusItem) statusItem->setImage(imageNamed(sharingIconState ? menuIcon : menuIconAlt));
  sharingIconState = sharingIconState ? 0 : 1;
}

// ---------------------------------------------------------------------------------------
// Notifications

void AppController::applicationLaunchMacTovalo() {
  if (ui::MenuItem* item = statusMenu ? statusMenu->itemAtIndex(kLaunchItem) : nullptr) {
    item->setTitle(
        localized(enclosingAppBundle == kMacBrisca ? "sBringToFrontMBX" : "sBringToFrontTVL"));
    item->setAction(action("detachThreadBringTVLToFront"));
  }
}

void AppController::applicationQuitMacTovalo() {
  if (ui::MenuItem* item = statusMenu ? statusMenu->itemAtIndex(kLaunchItem) : nullptr) {
    item->setTitle(localized(enclosingAppBundle == kMacBrisca ? "sLaunchMBX" : "sLaunchTVL"));
    item->setAction(action("openTVL"));
  }
}

void AppController::sharingStartedMacTovalo() {
  if (iconCycleRuns()) return;
  sharingState = true;
  ui::MenuItem* item = statusMenu ? statusMenu->itemAtIndex(kShareItem) : nullptr;
  if (enclosingAppBundle == kMacTovalo || enclosingAppBundle == kMacBrisca) {
    if (item) item->setTitle(localized("sTVLstop"));
    if (statusItem)
      statusItem->setToolTip(localized(enclosingAppBundle == kMacTovalo ? "sTVLSharingToolTip"
                                                                        : "sMBXSharingToolTip"));
  }
  if (item) item->setAction(action("detachThreadStopTVLsharing"));
  startIconCycle();
  postDesktopNotification("sSharingStartedNotification",
                          localized("sSharingStartedNotificationText"), false, "sharing");
}

void AppController::sharingStoppedMacTovalo() {
  if (!iconCycleRuns()) return;
  sharingState = false;
  ui::MenuItem* item = statusMenu ? statusMenu->itemAtIndex(kShareItem) : nullptr;
  if (enclosingAppBundle == kMacTovalo || enclosingAppBundle == kMacBrisca) {
    if (item) item->setTitle(localized("sTVLshare"));
    if (statusItem)
      statusItem->setToolTip(
          localized(enclosingAppBundle == kMacTovalo ? "sTVLToolTip" : "sMBXToolTip"));
  }
  if (item) item->setAction(action("detachThreadStartTVLSharing"));
  stopIconCycle();
  postDesktopNotification("sSharingStoppedNotification",
                          localized("sSharingStoppedNotificationText"), false, "sharing");
}

// Desktop notifications name the edition and show its icon, the one the installation puts
// in the icon theme (also the name of its desktop entry). Outside a main application the
// controller only alerts and ends: it notifies nothing.
void AppController::postDesktopNotification(const char* summaryKey, const std::string& body,
                                            bool critical, const char* topic) {
  notify::DesktopNotifications* notifications = services_.desktopNotifications;
  if (!notifications) return;
  if (enclosingAppBundle != kMacTovalo && enclosingAppBundle != kMacBrisca) return;
  notify::DesktopNotification n;
  n.applicationName = QString::fromStdString(editionName(enclosingAppBundle));
  n.iconName = enclosingAppBundle == kMacBrisca ? "com.nrvk.tvl.brisca" : "com.nrvk.tvl";
  n.summary = QString::fromStdString(localized(summaryKey));
  n.body = QString::fromStdString(body);
  n.urgency = critical ? notify::Urgency::Critical : notify::Urgency::Normal;
  n.topic = topic;
  notifications->notify(n);
}

void AppController::notifyRequestFailed(const std::string& message) {
  postDesktopNotification("sRequestFailedNotification", message, true, "autotovalo");
}

// ---------------------------------------------------------------------------------------
// Status menu

ui::Action AppController::action(const char* name) {
  using Op = void (AppController::*)();
  static const std::map<std::string_view, Op> operations = {
      {"openTVL", &AppController::openTVL},
      {"detachThreadBringTVLToFront", &AppController::detachThreadBringTVLToFront},
      {"detachThreadStartTVLSharing", &AppController::detachThreadStartTVLSharing},
      {"detachThreadStopTVLsharing", &AppController::detachThreadStopTVLsharing},
      {"showPreferencesWindow:", &AppController::showPreferencesWindow},
      {"showPreferencesAutoTovalo:", &AppController::showPreferencesAutoTovalo},
      {"quitApplication:", &AppController::quitApplication},
  };
  Op op = operations.at(name);
  return ui::Action{name, [this, op] { (this->*op)(); }};
}

void AppController::setStatusBarMenu() {
  assignIconToStatusItem();
  if (!statusItem) {
    statusItem = std::make_unique<ui::StatusItem>();
    statusItem->setHighlightMode(true);
    statusItem->setImage(imageNamed(menuIcon));
    statusItem->setEnabled(true);
    statusItem->setToolTip(localized(menuIcon == "tvl.tif" ? "sTVLToolTip" : "sMBXToolTip"));
  }
  buildMenu();
  assignMenuToStatusItem();
}

void AppController::buildMenu() {
  // The status item may still show the old menu: detach it before the menu goes.
  if (statusItem) statusItem->setMenu(nullptr);
  statusMenu = std::make_unique<ui::Menu>(kMenuTitle);
  ui::Menu& menu = *statusMenu;
  if (enclosingAppBundle == kMacTovalo || enclosingAppBundle == kMacBrisca) {
    bool brisca = enclosingAppBundle == kMacBrisca;
    menu.addItemWithTitle(localized(brisca ? "sLaunchMBX" : "sLaunchTVL"), action("openTVL"));
    menu.addItemWithTitle(localized("sTVLshare"), action("detachThreadStartTVLSharing"));
    menu.addSeparatorItem();
    menu.addItemWithTitle(localized("sPreferencesMenuItem"), action("showPreferencesWindow:"));
    menu.addItemWithTitle(localized("sAutoTovaloMenuItem"), action("showPreferencesAutoTovalo:"));
    menu.addSeparatorItem();
    menu.addItemWithTitle(localized(brisca ? "sQuitMBXQCMenuItem" : "sQuitTVLQCMenuItem"),
                          action("quitApplication:"));
  } else {
    // Outside a main application only quitting works.
    menu.addItemWithTitle(localized("sLaunchTVL"), ui::Action{});
    menu.addItemWithTitle(localized("sTVLshare"), ui::Action{});
    menu.addSeparatorItem();
    menu.addItemWithTitle(localized("sPreferencesMenuItem"), ui::Action{});
    menu.addItemWithTitle(localized("sAutoTovaloMenuItem"), ui::Action{});
    menu.addSeparatorItem();
    menu.addItemWithTitle(localized("sQuitTVLQCMenuItem"), action("quitApplication:"));
    assignMenuToStatusItem();  // the item shows this menu while the alert is up
    if (services_.application) {
      services_.application->requestUserAttention();
      services_.application->activateIgnoringOtherApps(true);
    }
    services_.runAlert(localized("sMacTovaloNotFoundWarning"), localized("sMacTovaloBundleWarning"),
                       localized("sQuit"), std::nullopt, std::nullopt, /*critical=*/true);
    if (services_.application) services_.application->terminate();
    return;
  }
  menu.itemAtIndex(3)->setImage(imageNamed("prefs"));
  menu.itemAtIndex(4)->setImage(imageNamed("unselected"));
  menu.setDelegate([this](ui::Menu&) { menuNeedsUpdate(); });
  getAutoTovaloStatus();
}

void AppController::assignMenuToStatusItem() {
  if (statusItem) statusItem->setMenu(statusMenu.get());
}

void AppController::menuNeedsUpdate() {
  getAutoTovaloStatus();
}

// ---------------------------------------------------------------------------------------
// Remote control

void AppController::openTVL() {
  // Launches the main application or brings it forward; a failure changes nothing.
  services_.workspace->openApplicationAtPath(enclosingAppPath());
}

void AppController::detachWorker(void (AppController::*entry)()) {
  {
    std::lock_guard lock(workersMutex_);
    ++runningWorkers_;
  }
  std::thread([this, entry] {
    (this->*entry)();
    std::lock_guard lock(workersMutex_);
    if (--runningWorkers_ == 0) workersDone_.notify_all();
  }).detach();
}

void AppController::waitForWorkerThreads() {
  std::unique_lock lock(workersMutex_);
  workersDone_.wait(lock, [this] { return runningWorkers_ == 0; });
}

void AppController::detachThreadBringTVLToFront() {
  detachWorker(&AppController::setupPoolBringTVLToFront);
}
void AppController::detachThreadStartTVLSharing() {
  detachWorker(&AppController::setupPoolStartTVLsharing);
}
void AppController::detachThreadStopTVLsharing() {
  detachWorker(&AppController::setupPoolStopTVLsharing);
}

// The thread entries: each thread runs one command, its objects released when it ends.
void AppController::setupPoolBringTVLToFront() {
  bringTVLToFront();
}
void AppController::setupPoolStartTVLsharing() {
  startTVLsharing();
}
void AppController::setupPoolStopTVLsharing() {
  stopTVLsharing();
}

std::string AppController::bringToFrontScript(int32_t edition) {
  return forEdition(edition, "activate\r");
}

std::string AppController::startSharingScript(int32_t edition) {
  return forEdition(edition,
                    "activate\rshow window \"tvlremote\"\rhide window \"mocktail\"\r"
                    "tell button \"screensharingstart\" of tab view item \"share\" of tab view "
                    "\"tvlremotetabs\" of window \"tvlremote\"\rperform action\rend tell\r");
}

std::string AppController::stopSharingScript(int32_t edition) {
  return forEdition(edition,
                    "activate\rshow window \"tvlremote\"\rhide window \"mocktail\"\r"
                    "tell button \"stopsharingnow\" of window \"sharingsheet\"\rperform action\r"
                    "end tell\r");
}

void AppController::runScript(const std::string& source) {
  // An empty script does nothing; a failed one neither: the notifications tell the outcome.
  if (source.empty()) return;
  services_.scripts->executeScript(source);
}

void AppController::bringTVLToFront() {
  if (!stateTVLrunning()) return;
  runScript(bringToFrontScript(enclosingAppBundle));
}

void AppController::startTVLsharing() {
  if (!stateTVLrunning()) return;
  openTVL();
  runScript(startSharingScript(enclosingAppBundle));
}

void AppController::stopTVLsharing() {
  if (!stateTVLrunning()) return;
  runScript(stopSharingScript(enclosingAppBundle));
}

bool AppController::stateTVLrunning() {
  for (const auto& app : services_.workspace->launchedApplications())
    if (app.bundleIdentifier == kMainAppBundleIdentifier) return true;
  return false;
}

bool AppController::stateTVLsharing() {
  if (!stateTVLrunning()) return false;
  script::Result result = services_.scripts->executeScript(kSharingProbeScript);
  if (result.stringValue == "failed") return false;
  if (result.numberOfItems >= 1) return false;
  return result.stringValue == "true";
}

// ---------------------------------------------------------------------------------------
// Auto-connect service (reading its state)

bool AppController::autoTovaloInstallStatus() {
  int version = osVersionNumber();
  if (services_.fileExistsAtPath(kLeopardAgentPlist) && version > 4) return true;
  if (services_.fileExistsAtPath(kTigerDaemonPlist) && version == 4) return true;
  if (services_.fileExistsAtPath(kStartupItem) && version < 4) return true;
  return false;
}

void AppController::setEntry1ForSharingState(ui::MenuItem* item) {
  item->setAction(
      action(sharingState ? "detachThreadStopTVLsharing" : "detachThreadStartTVLSharing"));
  item->setEnabled(true);
  item->setToolTip("");
}

void AppController::getAutoTovaloStatus() {
  ui::MenuItem* share = statusMenu ? statusMenu->itemAtIndex(kShareItem) : nullptr;
  ui::MenuItem* autoTovalo = statusMenu ? statusMenu->itemAtIndex(kAutoTovaloItem) : nullptr;
  if (!share || !autoTovalo) return;

  if (!autoTovaloInstallStatus()) {
    autoTovalo->setState(ui::ControlState::Off);
    autoTovalo->setImage(imageNamed("unselected"));
    autoTovalo->setAction(ui::Action{});
    autoTovalo->setEnabled(false);
    autoTovalo->setToolTip(localized("Auto Tovalo Disabled."));
    setEntry1ForSharingState(share);
    return;
  }
  bool running = services_.runningStateForApplication(kAutoTovaloDaemon);
  autoTovalo->setState(running ? ui::ControlState::On : ui::ControlState::Off);
  autoTovalo->setImage(imageNamed(running ? "green" : "red"));
  autoTovalo->setAction(action("showPreferencesAutoTovalo:"));
  autoTovalo->setEnabled(true);
  autoTovalo->setToolTip("");
  if (running) {
    share->setAction(ui::Action{});
    share->setEnabled(false);
    share->setToolTip(localized("Screen Sharing Disabled - Auto Tovalo Active."));
  } else {
    setEntry1ForSharingState(share);
  }
  // A start or stop under way owns the pane until its wait ends.
  if (changeRuns_) return;
  if (osVersionNumber() >= 7) {
    // Nothing can switch the daemon here: the pane says so before anyone presses.
    showAutoTovaloNotAvailable();
    return;
  }
  if (outlets.startStopButton) outlets.startStopButton->setText(text(running ? "Stop" : "Start"));
  if (outlets.startStopLabel)
    outlets.startStopLabel->setText(
        text(running ? "Click to stop Auto Tovalo" : "Click to start Auto Tovalo"));
}

void AppController::showAutoTovaloNotAvailable() {
  if (outlets.startStopButton) {
    outlets.startStopButton->setText(text("Not Available"));
    outlets.startStopButton->setEnabled(false);
  }
  if (outlets.startStopLabel)
    outlets.startStopLabel->setText(text("Auto Tovalo can't be switched on this system version."));
}

bool AppController::startStopLockIsOpen() const {
  // Without a lock (no preferences window) nothing else governs the button.
  const authview::AuthorizationView* lock = outlets.startStopAuthorizationView.data();
  return !lock || lock->authorizationState() == authview::SFAuthorizationViewUnlockedState;
}

bool AppController::stateAutoTovaloConnected() {
  return services_.fileExistsAtPath(kAutoTovaloConnectedMarker);
}

void AppController::checkAutoTovalo() {
  bool connected = stateAutoTovaloConnected();
  if (!autoTovaloSharingState && connected) {
    autoTovaloSharingState = true;
    if (statusItem && enclosingAppBundle == kMacTovalo)
      statusItem->setToolTip(localized("sTVLSharingToolTip"));
    else if (statusItem && enclosingAppBundle == kMacBrisca)
      statusItem->setToolTip(localized("sMBXSharingToolTip"));
    startIconCycle();
  } else if (autoTovaloSharingState && !connected) {
    autoTovaloSharingState = false;
    if (statusItem && enclosingAppBundle == kMacTovalo)
      statusItem->setToolTip(localized("sTVLToolTip"));
    else if (statusItem && enclosingAppBundle == kMacBrisca)
      statusItem->setToolTip(localized("sMBXToolTip"));
    stopIconCycle();
  }
}

// ---------------------------------------------------------------------------------------
// Auto-connect service (switching it)

TVLActionController& AppController::actions() {
  return services_.actions ? *services_.actions : TVLActionController::sharedInstance();
}

void AppController::changeAutoTovaloStatus(QPushButton* sender) {
  // One change at a time: the button stays disabled meanwhile, but the events handled
  // during a request could still deliver a press.
  if (sender == nullptr || changeRuns_) return;
  const int version = osVersionNumber();
  if (version >= 7) {
    // No scheme of this system version can start or stop the daemon: say so rather than
    // wait for something that cannot happen. The lock may have enabled the button.
    showAutoTovaloNotAvailable();
    sender->setEnabled(false);
    return;
  }
  // The button's title is the one this controller gave it, in the user's language.
  const QString title = sender->text();
  const bool stop = title == text("Stop");
  if (!stop && title != text("Start")) return;

  changeRuns_ = true;
  sender->setText(text(stop ? "Start" : "Stop"));
  sender->setEnabled(false);
  if (outlets.startStopProgressIndicator) outlets.startStopProgressIndicator->setRange(0, 0);
  if (outlets.startStopLabel)
    outlets.startStopLabel->setText(text(stop ? "Stopping Auto Tovalo" : "Starting Auto Tovalo"));

  TVLActionController& act = actions();
  if (stop) {
    if (version >= 5)
      act.unloadLeopardAction();
    else if (version == 4)
      act.unloadTigerAction();
    else
      act.stopAction();
  } else {
    if (version >= 5)
      act.loadLeopardAction();
    else if (version == 4)
      act.loadTigerAction();
    else
      act.startAction();
  }
  // An authorization granted during the request enables the button through the lock's
  // delegate; it stays disabled until the wait ends.
  sender->setEnabled(false);
  if (stop)
    waitForTVLStop();
  else
    waitForTVLStart();
}

void AppController::waitForTVLStart() {
  daemonWaited_ = 0;
  pollDaemon(true, kStartPollInterval);
}

void AppController::waitForTVLStop() {
  daemonWaited_ = 0;
  pollDaemon(false, kStopPollInterval);
}

void AppController::pollDaemon(bool start, double interval) {
  const bool running = services_.runningStateForApplication(kAutoTovaloDaemon);
  if (running == start) {
    // The daemon has appeared or gone: give it a moment to settle, then offer the opposite.
    daemonWaitTimer_ = services_.timers->scheduledTimerWithTimeInterval(
        interval,
        [this, start] {
          // Before the wait ends: ending it releases this timer and so this callback.
          if (start)
            postDesktopNotification("sAutoTovaloStartedNotification",
                                    localized("sAutoTovaloStartedNotificationText"), false,
                                    "autotovalo");
          else
            postDesktopNotification("sAutoTovaloStoppedNotification",
                                    localized("sAutoTovaloStoppedNotificationText"), false,
                                    "autotovalo");
          endDaemonWait(
              localized(start ? "Stop" : "Start"),
              localized(start ? "Click to stop Auto Tovalo" : "Click to start Auto Tovalo"));
        },
        false);
    return;
  }
  if (daemonWaited_ >= kDaemonWaitBound) {
    // The button offers the same action again.
    endDaemonWait(localized(start ? "Start" : "Stop"),
                  localized(start ? "Auto Tovalo did not start" : "Auto Tovalo did not stop"));
    // The user may have left the pane long ago: this must reach them.
    if (start)
      postDesktopNotification("sAutoTovaloDidNotStartNotification",
                              localized("sAutoTovaloDidNotStartNotificationText"), true,
                              "autotovalo");
    else
      postDesktopNotification("sAutoTovaloDidNotStopNotification",
                              localized("sAutoTovaloDidNotStopNotificationText"), true,
                              "autotovalo");
    return;
  }
  daemonWaited_ += interval;
  daemonWaitTimer_ = services_.timers->scheduledTimerWithTimeInterval(
      interval, [this, start, interval] { pollDaemon(start, interval); }, false);
}

void AppController::endDaemonWait(const std::string& title, const std::string& label) {
  changeRuns_ = false;
  if (outlets.startStopProgressIndicator) outlets.startStopProgressIndicator->setRange(0, 1);
  if (outlets.startStopButton) {
    outlets.startStopButton->setText(QString::fromStdString(title));
    // The lock may have closed during the wait (Save, Cancel, its re-check): the button
    // follows it, as it does when the lock opens and closes.
    outlets.startStopButton->setEnabled(startStopLockIsOpen());
  }
  if (outlets.startStopLabel) outlets.startStopLabel->setText(QString::fromStdString(label));
  // Last: this may be the timer whose callback is running.
  daemonWaitTimer_.reset();
}

// ---------------------------------------------------------------------------------------
// Preferences and alerts

namespace {

// The integer a stored value reads as: a number's (truncated), a text's leading decimal
// digits (after blanks and a sign; none is 0), a boolean's 1 or 0; anything else is 0.
int intValue(const cf::Object* value) {
  if (auto* number = cf::as<cf::Number>(value)) {
    int64_t i = 0;
    double d = 0;
    if (number->getSInt64(&i))
      return static_cast<int>(std::clamp<int64_t>(i, INT32_MIN, INT32_MAX));
    if (number->getReal(&d) && d == d)
      return static_cast<int>(std::clamp(d, double(INT32_MIN), double(INT32_MAX)));
    return 0;
  }
  if (auto* boolean = cf::as<cf::Boolean>(value)) return boolean->value() ? 1 : 0;
  auto* string = cf::as<cf::String>(value);
  if (!string) return 0;
  const std::string& text = string->str();
  size_t i = text.find_first_not_of(" \t\n\r");
  if (i == std::string::npos) return 0;
  bool negative = text[i] == '-';
  if (text[i] == '-' || text[i] == '+') ++i;
  int64_t result = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    result = std::min<int64_t>(result * 10 + (text[i] - '0'), int64_t(INT32_MAX) + 1);
  result = negative ? -result : std::min<int64_t>(result, INT32_MAX);
  return static_cast<int>(std::max<int64_t>(result, INT32_MIN));
}

// The text a stored session length shows as: a text as it is, a number in decimals.
std::optional<std::string> textValue(const cf::Object* value) {
  if (auto* string = cf::as<cf::String>(value)) return string->str();
  if (auto* number = cf::as<cf::Number>(value)) {
    int64_t i = 0;
    double d = 0;
    if (number->getSInt64(&i)) return std::to_string(i);
    if (number->getReal(&d)) return QString::number(d).toStdString();
  }
  return std::nullopt;
}

}  // namespace

std::string AppController::preferencesFilePath() {
  return tvl::system::homeFolder() + kPreferencesFile;
}

void AppController::adoptPreferencesWindow(std::unique_ptr<QWidget> window) {
  preferencesWindowOwner_ = std::move(window);
}

void AppController::showPreferencesWindow() {
  showPreferencesTab(0);
}

void AppController::showPreferencesAutoTovalo() {
  showPreferencesTab(2);
}

void AppController::showPreferencesTab(int index) {
  updateWindowContents();
  if (services_.application) services_.application->activateIgnoringOtherApps(true);
  QWidget* window = outlets.preferencesWindow.data();
  if (!window) return;
  window->adjustSize();
  if (QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen())
    window->move(screen->availableGeometry().center() - window->rect().center());
  if (outlets.preferencesTabView) outlets.preferencesTabView->setCurrentIndex(index);
  window->show();
  window->raise();
  window->activateWindow();
}

void AppController::updateWindowContents() {
  tvlPlist = {};
  // A missing file, or one that is not a property list with a dictionary at its root,
  // gives no dictionary: the defaults show and Save writes nothing.
  cf::Ref<cf::Object> read = cf::createFromXMLFile(preferencesFilePath());
  if (auto* dictionary = cf::as<cf::Dictionary>(read.get())) tvlPlist = dictionary->mutableCopy();

  const cf::Object* report = tvlPlist ? tvlPlist->valueForKey(kProblemReportKey) : nullptr;
  if (outlets.sendProblemReport)
    outlets.sendProblemReport->setChecked(report ? intValue(report) != 0 : true);
  const cf::Object* length = tvlPlist ? tvlPlist->valueForKey(kSessionLengthKey) : nullptr;
  std::string lengthText = textValue(length).value_or(kDefaultSessionLength);
  if (outlets.sessionLength)
    outlets.sessionLength->setCurrentText(QString::fromStdString(lengthText));
  if (outlets.startAtLogin) outlets.startAtLogin->setChecked(loginitem::startsAtLogin());
  if (outlets.preferencesWindow)
    outlets.preferencesWindow->setWindowTitle(QString::fromStdString(
        localized(menuIcon == "tvl.tif" ? "sTVLWindowTitle" : "sMBXWindowTitle")));

  // From 10.5 on the pane shows what the status menu found when it last opened.
  if (osVersionNumber() > 4 || changeRuns_) return;
  if (!autoTovaloInstallStatus()) {
    if (outlets.startStopLabel) outlets.startStopLabel->setText(text("Auto Tovalo not installed"));
    if (outlets.startStopButton) outlets.startStopButton->setEnabled(false);
    if (outlets.startStopAuthorizationView) outlets.startStopAuthorizationView->setEnabled(false);
  } else {
    if (outlets.startStopLabel)
      outlets.startStopLabel->setText(text("Click to start/stop Auto Tovalo"));
    if (outlets.startStopAuthorizationView) outlets.startStopAuthorizationView->setEnabled(true);
  }
}

void AppController::save() {
  if (tvlPlist) {
    bool on = outlets.sendProblemReport && outlets.sendProblemReport->isChecked();
    tvlPlist->setValue(kProblemReportKey, cf::String::create(on ? "1" : "0").get());
    std::string length = outlets.sessionLength ? outlets.sessionLength->currentText().toStdString()
                                               : std::string(kDefaultSessionLength);
    tvlPlist->setValue(kSessionLengthKey, cf::String::create(length).get());
    // A failed write is not reported; the file keeps its old contents whole.
    cf::writeXMLFileAtomically(tvlPlist.get(), preferencesFilePath());
  }
  // The login start is the user's autostart entry, not a preference of the file: it is
  // saved whether or not the file exists.
  if (outlets.startAtLogin && outlets.startAtLogin->isChecked() != loginitem::startsAtLogin()) {
    if (int err = loginitem::setStartsAtLogin(outlets.startAtLogin->isChecked()))
      tvl::NSLog("TVLQC: could not change the start at login: %s", std::strerror(err));
  }
  if (outlets.preferencesWindow) outlets.preferencesWindow->close();
  if (outlets.startStopAuthorizationView) outlets.startStopAuthorizationView->deauthorize();
  tvlPlist = {};
}

void AppController::cancel() {
  if (outlets.preferencesWindow) outlets.preferencesWindow->close();
  if (outlets.startStopAuthorizationView) outlets.startStopAuthorizationView->deauthorize();
}

int AppController::alertWithMessage(const std::string& message, const std::string& informativeText,
                                    const std::optional<std::string>& defaultButton,
                                    const std::optional<std::string>& alternateButton,
                                    const std::optional<std::string>& otherButton) {
  return services_.runAlert(message, informativeText, defaultButton, alternateButton, otherButton,
                            /*critical=*/false);
}

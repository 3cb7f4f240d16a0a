#include "controller/AppController.h"

#include <QLabel>
#include <QWidget>

#include <ctime>
#include <filesystem>
#include <map>
#include <string_view>

#include "common/ShellUtilities.h"
#include "platform/authview/AuthorizationView.h"
#include "platform/notify/DesktopNotifications.h"
#include "platform/notify/DistributedNotificationCenter.h"
#include "platform/script/Script.h"
#include "platform/system/Paths.h"
#include "platform/system/SharedInstance.h"
#include "platform/system/SystemVersion.h"
#include "platform/ui/Application.h"
#include "platform/workspace/Workspace.h"

namespace tvl {

namespace {

constexpr char kMenuTitle[] = "tvlmenu";
constexpr double kIconCycleInterval = 1.0;
constexpr double kAutoTovaloCheckInterval = 30.0;

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

}  // namespace

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

AppController& AppController::init(AppControllerServices services) {
  return tvl::SharedInstance<AppController>::init(std::move(services));
}

void AppController::releaseSharedInstance() {
  tvl::SharedInstance<AppController>::release();
}

AppController& AppController::sharedInstance() {
  AppController* shared = tvl::SharedInstance<AppController>::existing();
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
  autoTovaloCheckTimer_.reset();
  swapStatusIcons_.reset();
  statusItem_.reset();
  statusMenu_.reset();
}

// ---------------------------------------------------------------------------------------
// Start-up, edition, version

void AppController::awakeFromNib() {
  getEnclosingAppBundle();

  const bundle::Bundle& main = services_.bundle;
  state_.aboutVersionText =
      localized("Version") + " " + main.stringForInfoDictionaryKey("CFBundleVersion");
  state_.aboutDateText.clear();
  // The controller's own executable; a file system without birth times leaves the date out.
  if (auto created = common::creationDateForFile(main.pathForAuxiliaryExecutable("TVLQC"))) {
    std::time_t t = std::chrono::system_clock::to_time_t(*created);
    std::tm local{};
    char text[32];
    if (::localtime_r(&t, &local) && std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local))
      state_.aboutDateText = text;
  }
  state_.aboutCopyrightText = main.stringForInfoDictionaryKey("NSHumanReadableCopyright");
  showAboutTexts();

  state_.sharingIconState = 0;
  state_.sharingState = false;
  state_.autoTovaloSharingState = false;
  // The status icon is the first edition's until the status item is made.
  state_.menuIcon = controller::traits(Edition::MacTovalo).menuIcon;
  state_.menuIconAlt = controller::traits(Edition::MacTovalo).menuIconAlt;
}

void AppController::showAboutTexts() {
  if (outlets_.aboutVersion)
    outlets_.aboutVersion->setText(QString::fromStdString(state_.aboutVersionText));
  if (outlets_.aboutDate) outlets_.aboutDate->setText(QString::fromStdString(state_.aboutDateText));
  if (outlets_.aboutCopyright)
    outlets_.aboutCopyright->setText(QString::fromStdString(state_.aboutCopyrightText));
}

void AppController::applicationDidFinishLaunching() {
  setStatusBarMenu();
  // Outside a main application the controller has ended with its alert: nothing else runs.
  if (state_.edition == Edition::NoEnclosingApp) return;
  if (stateTVLrunning()) applicationLaunchMacTovalo();
  autoTovaloCheckTimer_ = services_.timers->scheduledTimerWithTimeInterval(
      kAutoTovaloCheckInterval, [this] { checkAutoTovalo(); }, true);
}

void AppController::quitApplication() {
  if (statusItem_) statusItem_->remove();
  if (services_.application) services_.application->terminate();
}

namespace {
std::string enclosingAppPathOf(std::string path) {
  for (int i = 0; i < 3; ++i) path = deletingLastPathComponent(path);
  return path;
}
}  // namespace

std::string AppController::enclosingAppPath() const {
  return enclosingAppPathOf(services_.bundle.bundlePath());
}

controller::Edition AppController::editionOfControllerBundle(const std::string& bundlePath) {
  return controller::editionForApplicationName(lastPathComponent(enclosingAppPathOf(bundlePath)));
}

std::string AppController::enclosingAppName() const {
  return lastPathComponent(enclosingAppPath());
}

void AppController::getEnclosingAppBundle() {
  state_.edition = editionOfControllerBundle(services_.bundle.bundlePath());
}

int AppController::osVersionNumber() const {
  // The minor digit as one hex digit, read back as a decimal number: 10 to 15 give 0.
  int nibble = (services_.gestaltSystemVersion() >> 4) & 0xF;
  char hex[2] = {"0123456789abcdef"[nibble], '\0'};
  return std::atoi(hex);
}

// ---------------------------------------------------------------------------------------
// Status icon

const controller::EditionTraits& AppController::editionTraits() const {
  return controller::traits(state_.edition);
}

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
  state_.menuIcon = editionTraits().menuIcon;
  state_.menuIconAlt = editionTraits().menuIconAlt;
}

bool AppController::iconCycleRuns() const {
  return swapStatusIcons_ && swapStatusIcons_->isValid();
}

bool AppController::autoTovaloCheckRuns() const {
  return autoTovaloCheckTimer_ && autoTovaloCheckTimer_->isValid();
}

void AppController::startIconCycle() {
  if (swapStatusIcons_) swapStatusIcons_->invalidate();
  swapStatusIcons_ = services_.timers->scheduledTimerWithTimeInterval(
      kIconCycleInterval, [this] { cycleStatusIconDuringSharing(); }, true);
}

void AppController::stopIconCycle() {
  if (swapStatusIcons_) swapStatusIcons_->invalidate();
  swapStatusIcons_.reset();
  if (statusItem_) statusItem_->setImage(imageNamed(state_.menuIcon));
  state_.sharingIconState = 0;
}

void AppController::cycleStatusIconDuringSharing() {
  if (statusItem_)
    statusItem_->setImage(
        imageNamed(state_.sharingIconState ? state_.menuIcon : state_.menuIconAlt));
  state_.sharingIconState = state_.sharingIconState ? 0 : 1;
}

// ---------------------------------------------------------------------------------------
// Notifications

void AppController::applicationLaunchMacTovalo() {
  if (ui::MenuItem* item = statusMenu_ ? statusMenu_->itemAtIndex(kLaunchItem) : nullptr) {
    item->setTitle(localized(editionTraits().bringToFrontTitle));
    item->setAction(action("detachThreadBringTVLToFront"));
  }
}

void AppController::applicationQuitMacTovalo() {
  if (ui::MenuItem* item = statusMenu_ ? statusMenu_->itemAtIndex(kLaunchItem) : nullptr) {
    item->setTitle(localized(editionTraits().launchTitle));
    item->setAction(action("openTVL"));
  }
}

void AppController::sharingStartedMacTovalo() {
  if (iconCycleRuns()) return;
  state_.sharingState = true;
  ui::MenuItem* item = statusMenu_ ? statusMenu_->itemAtIndex(kShareItem) : nullptr;
  if (controller::isMainApplication(state_.edition)) {
    if (item) item->setTitle(localized("sTVLstop"));
    if (statusItem_) statusItem_->setToolTip(localized(editionTraits().sharingToolTip));
  }
  if (item) item->setAction(action("detachThreadStopTVLsharing"));
  startIconCycle();
  postDesktopNotification("sSharingStartedNotification",
                          localized("sSharingStartedNotificationText"), false, "sharing");
}

void AppController::sharingStoppedMacTovalo() {
  if (!iconCycleRuns()) return;
  state_.sharingState = false;
  ui::MenuItem* item = statusMenu_ ? statusMenu_->itemAtIndex(kShareItem) : nullptr;
  if (controller::isMainApplication(state_.edition)) {
    if (item) item->setTitle(localized("sTVLshare"));
    if (statusItem_) statusItem_->setToolTip(localized(editionTraits().toolTip));
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
  const controller::EditionTraits& edition = editionTraits();
  if (!edition.notificationIcon) return;
  notify::DesktopNotification n;
  n.applicationName = edition.applicationName;
  n.iconName = edition.notificationIcon;
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
  if (!statusItem_) {
    statusItem_ = std::make_unique<ui::StatusItem>();
    statusItem_->setHighlightMode(true);
    statusItem_->setImage(imageNamed(state_.menuIcon));
    statusItem_->setEnabled(true);
    statusItem_->setToolTip(localized(editionTraits().toolTip));
  }
  buildMenu();
  assignMenuToStatusItem();
}

void AppController::buildMenu() {
  // The status item may still show the old menu: detach it before the menu goes.
  if (statusItem_) statusItem_->setMenu(nullptr);
  statusMenu_ = std::make_unique<ui::Menu>(kMenuTitle);
  ui::Menu& menu = *statusMenu_;
  if (controller::isMainApplication(state_.edition)) {
    menu.addItemWithTitle(localized(editionTraits().launchTitle), action("openTVL"));
    menu.addItemWithTitle(localized("sTVLshare"), action("detachThreadStartTVLSharing"));
    menu.addSeparatorItem();
    menu.addItemWithTitle(localized("sPreferencesMenuItem"), action("showPreferencesWindow:"));
    menu.addItemWithTitle(localized("sAutoTovaloMenuItem"), action("showPreferencesAutoTovalo:"));
    menu.addSeparatorItem();
    menu.addItemWithTitle(localized(editionTraits().quitTitle), action("quitApplication:"));
  } else {
    // Outside a main application only quitting works.
    menu.addItemWithTitle(localized(editionTraits().launchTitle), ui::Action{});
    menu.addItemWithTitle(localized("sTVLshare"), ui::Action{});
    menu.addSeparatorItem();
    menu.addItemWithTitle(localized("sPreferencesMenuItem"), ui::Action{});
    menu.addItemWithTitle(localized("sAutoTovaloMenuItem"), ui::Action{});
    menu.addSeparatorItem();
    menu.addItemWithTitle(localized(editionTraits().quitTitle), action("quitApplication:"));
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
  if (statusItem_) statusItem_->setMenu(statusMenu_.get());
}

void AppController::menuNeedsUpdate() {
  getAutoTovaloStatus();
}

}  // namespace tvl

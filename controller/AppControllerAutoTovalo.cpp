// The auto-connect service: what the menu and the preferences pane show of it, the
// 30-second look at its connection marker, and switching it through the helper tool with
// a bounded wait for the daemon.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "controller/AppController.h"
#include "platform/authview/AuthorizationView.h"
#include "privileged/TVLActionController.h"

namespace tvl {

namespace {

constexpr char kAutoTovaloDaemon[] = "tvld";
constexpr char kAutoTovaloConnectedMarker[] = "/private/tmp/autotovaloconnected";
constexpr char kStartupItem[] = "/Library/StartupItems/tvld/tvld";
constexpr char kTigerDaemonPlist[] = "/Library/LaunchDaemons/com.nrvk.atv.plist";
constexpr char kLeopardAgentPlist[] = "/Library/LaunchAgents/com.nrvk.vnc.plist";
// The waits for the daemon: how often they look, and the pause once it has appeared or gone.
constexpr double kStartPollInterval = 2.0;
constexpr double kStopPollInterval = 1.0;

}  // namespace

// ---------------------------------------------------------------------------------------
// Reading its state

bool AppController::autoTovaloInstallStatus() {
  int version = osVersionNumber();
  if (services_.fileExistsAtPath(kLeopardAgentPlist) && version > 4) return true;
  if (services_.fileExistsAtPath(kTigerDaemonPlist) && version == 4) return true;
  if (services_.fileExistsAtPath(kStartupItem) && version < 4) return true;
  return false;
}

void AppController::setEntry1ForSharingState(ui::MenuItem* item) {
  item->setAction(
      action(state_.sharingState ? "detachThreadStopTVLsharing" : "detachThreadStartTVLSharing"));
  item->setEnabled(true);
  item->setToolTip("");
}

void AppController::getAutoTovaloStatus() {
  ui::MenuItem* share = statusMenu_ ? statusMenu_->itemAtIndex(kShareItem) : nullptr;
  ui::MenuItem* autoTovalo = statusMenu_ ? statusMenu_->itemAtIndex(kAutoTovaloItem) : nullptr;
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
  if (outlets_.startStopButton) outlets_.startStopButton->setText(text(running ? "Stop" : "Start"));
  if (outlets_.startStopLabel)
    outlets_.startStopLabel->setText(
        text(running ? "Click to stop Auto Tovalo" : "Click to start Auto Tovalo"));
}

void AppController::showAutoTovaloNotAvailable() {
  if (outlets_.startStopButton) {
    outlets_.startStopButton->setText(text("Not Available"));
    outlets_.startStopButton->setEnabled(false);
  }
  if (outlets_.startStopLabel)
    outlets_.startStopLabel->setText(text("Auto Tovalo can't be switched on this system version."));
}

bool AppController::startStopLockIsOpen() const {
  // Without a lock (no preferences window) nothing else governs the button.
  const authview::AuthorizationView* lock = outlets_.startStopAuthorizationView.data();
  return !lock || lock->authorizationState() == authview::SFAuthorizationViewUnlockedState;
}

bool AppController::stateAutoTovaloConnected() {
  return services_.fileExistsAtPath(kAutoTovaloConnectedMarker);
}

void AppController::checkAutoTovalo() {
  bool connected = stateAutoTovaloConnected();
  const bool mainApplication = controller::isMainApplication(state_.edition);
  if (!state_.autoTovaloSharingState && connected) {
    state_.autoTovaloSharingState = true;
    if (statusItem_ && mainApplication)
      statusItem_->setToolTip(localized(editionTraits().sharingToolTip));
    startIconCycle();
  } else if (state_.autoTovaloSharingState && !connected) {
    state_.autoTovaloSharingState = false;
    if (statusItem_ && mainApplication) statusItem_->setToolTip(localized(editionTraits().toolTip));
    stopIconCycle();
  }
}

// ---------------------------------------------------------------------------------------
// Switching it

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
  if (outlets_.startStopProgressIndicator) outlets_.startStopProgressIndicator->setRange(0, 0);
  if (outlets_.startStopLabel)
    outlets_.startStopLabel->setText(text(stop ? "Stopping Auto Tovalo" : "Starting Auto Tovalo"));

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
  if (outlets_.startStopProgressIndicator) outlets_.startStopProgressIndicator->setRange(0, 1);
  if (outlets_.startStopButton) {
    outlets_.startStopButton->setText(QString::fromStdString(title));
    // The lock may have closed during the wait (Save, Cancel, its re-check): the button
    // follows it, as it does when the lock opens and closes.
    outlets_.startStopButton->setEnabled(startStopLockIsOpen());
  }
  if (outlets_.startStopLabel) outlets_.startStopLabel->setText(QString::fromStdString(label));
  // Last: this may be the timer whose callback is running.
  daemonWaitTimer_.reset();
}

}  // namespace tvl

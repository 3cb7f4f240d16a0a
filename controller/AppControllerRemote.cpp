// Remote control of the main application: opening it, and the script commands, each sent
// from a worker thread of its own so that the menu never waits for the main application.
#include <string_view>
#include <thread>

#include "controller/AppController.h"
#include "platform/script/Script.h"
#include "platform/workspace/Workspace.h"

namespace tvl {

namespace {

// Each edition's script: the editions' texts differ only in the application named.
std::string forEdition(controller::Edition edition, std::string_view body) {
  std::string name = controller::traits(edition).applicationName;
  if (name.empty()) return "";
  return "tell application \"" + name + "\"\r" + std::string(body) + "end tell\r";
}

}  // namespace

const char AppController::kSharingProbeScript[] =
    "tell application \"Mac Tovalo\"\rget visible of window \"sharingsheet\"\rend tell\r";

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

std::string AppController::bringToFrontScript(Edition edition) {
  return forEdition(edition, "activate\r");
}

std::string AppController::startSharingScript(Edition edition) {
  return forEdition(edition,
                    "activate\rshow window \"tvlremote\"\rhide window \"mocktail\"\r"
                    "tell button \"screensharingstart\" of tab view item \"share\" of tab view "
                    "\"tvlremotetabs\" of window \"tvlremote\"\rperform action\rend tell\r");
}

std::string AppController::stopSharingScript(Edition edition) {
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
  runScript(bringToFrontScript(state_.edition));
}

void AppController::startTVLsharing() {
  if (!stateTVLrunning()) return;
  openTVL();
  runScript(startSharingScript(state_.edition));
}

void AppController::stopTVLsharing() {
  if (!stateTVLrunning()) return;
  runScript(stopSharingScript(state_.edition));
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

}  // namespace tvl

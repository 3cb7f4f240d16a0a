// The controller's launch-URL handling and window docking.
#include "mainapp/AppController.h"
#include "mainapp/AppleEventManager.h"
#include "mainapp/Docking.h"
#include "mainapp/LaunchURL.h"

namespace mainapp {

AppController::AppController() {
  setupEventHandlers();
}

void AppController::setupEventHandlers() {
  AppleEventManager::sharedAppleEventManager()->setOpenLocationHandler(
      [this](const QString& url) { handleOpenLocationAppleEvent(url); });
}

void AppController::handleOpenLocationAppleEvent(const QString& url) {
  // Scripts run inside the application; before it exists there is nothing to fill in.
  if (script::ScriptHost* host = applicationScriptHost())
    handleOpenLocation(url, tabControl, windowSharing, *host);
}

void AppController::windowDidMove(QWidget* window) {
  if (window) dockWindow(window);
}

}  // namespace mainapp

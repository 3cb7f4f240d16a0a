// The controller's launch-URL handling and window docking.
#include "mainapp/AppController.h"

#include <QApplication>

#include "mainapp/AppleEventManager.h"
#include "mainapp/Docking.h"
#include "mainapp/LaunchURL.h"
#include "platform/script/ScriptInterpreter.h"

namespace tvl::mainapp {

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

void AppController::windowDidMove(QWidget* window, bool optionHeld) {
  if (!window) return;
  // The application's windows in its own order: the first that fits wins, so the order
  // matters. Without the application (tests of the controller alone), Qt's windows.
  script::ScriptHost* host = applicationScriptHost();
  dockWindow(window, host ? host->windows() : QApplication::topLevelWidgets(), optionHeld);
}

}  // namespace tvl::mainapp

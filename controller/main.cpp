// TVLQC: the tray controller of the main application it is installed in.
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>

#include "controller/AppController.h"
#include "platform/ui/Application.h"
#include "platform/workspace/ApplicationBus.h"

namespace {

// Like every application of the product, the controller owns its bundle identifier on the
// session bus. A controller that finds it taken hands over to the running one and ends:
// one tray icon per session, as an application opened twice is brought forward instead.
bool becomeTheSessionsController(workspace::ApplicationBusServer& server) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  // No bus, or no identity to own (no Info dictionary): nothing to share the session with.
  if (!bus.isConnected() || server.bundleIdentifier().isEmpty()) return true;
  if (server.registerOn(bus)) return true;
  QDBusMessage activate =
      QDBusMessage::createMethodCall(server.bundleIdentifier(), workspace::kApplicationPath,
                                     workspace::kApplicationInterface, workspace::kActivateMethod);
  activate.setAutoStartService(false);
  bus.call(activate, QDBus::Block, 2000);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication qtApp(argc, argv);
  // A tray application: closing the preferences window must not end it.
  QApplication::setQuitOnLastWindowClosed(false);

  const bundle::Bundle& bundle = bundle::Bundle::mainBundle();
  workspace::ApplicationHandlers handlers;
  handlers.activate = [] { ui::Application::sharedApplication().activateIgnoringOtherApps(true); };
  workspace::ApplicationBusServer server(
      QString::fromStdString(bundle.stringForInfoDictionaryKey("CFBundleIdentifier")),
      QString::fromStdString(bundle.stringForInfoDictionaryKey("CFBundleName")), handlers);
  if (!becomeTheSessionsController(server)) return 0;

  AppController& controller = AppController::init(AppControllerServices::real());
  controller.awakeFromNib();
  int status = ui::Application::sharedApplication().run();
  // Scripts still on their way finish (each within its timeout) before the controller goes,
  // and it goes before the Qt application its status item lives in.
  controller.waitForWorkerThreads();
  AppController::releaseSharedInstance();
  return status;
}

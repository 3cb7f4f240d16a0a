// TVLQC: the tray controller of the main application it is installed in.
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>

#include "common/CommandLine.h"
#include "controller/AppController.h"
#include "controller/PreferencesWindow.h"
#include "platform/bundle/QtTranslations.h"
#include "platform/ui/Application.h"
#include "platform/workspace/ApplicationBus.h"
#include "privileged/TVLActionController.h"
#include "privileged/TVLSecureToolCommunication.h"

using namespace tvl;

namespace {

const commandline::About kAbout{
    "TVLQC", "mac-tovalo-menu (or mac-brisca-menu)",
    "The status menu of Mac Tovalo: its icon in the desktop's tray launches Mac Tovalo,\n"
    "starts and stops sharing your screen, opens the preferences and switches the Auto\n"
    "Tovalo service on and off. It starts with your desktop session. Started again while\n"
    "it runs, it opens its menu in a window (for a desktop without a tray) and ends.\n"
    "It works only from inside an installed Mac Tovalo or Mac Brisca.\n"};

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
  // Answered here, not handed to a running controller, and without a display.
  if (auto status = commandline::answer(argc, argv, kAbout)) return *status;
  // The program's name, not the command's that started it (mac-tovalo-menu): Qt would take
  // that for the window class and the data folders.
  QCoreApplication::setApplicationName(QStringLiteral("TVLQC"));
  QApplication qtApp(argc, argv);
  // A tray application: closing the preferences window must not end it.
  QApplication::setQuitOnLastWindowClosed(false);

  const bundle::Bundle& bundle = bundle::Bundle::mainBundle();
  bundle::installQtTranslations(bundle);
  // A desktop without a tray still reaches the menu: in a window of its own, which starting
  // the controller again (Activate from the second one) also opens.
  ui::StatusItem::offerMenuWindowWithoutTray(bundle.localizedStringForKey("sNoTrayNotice", ""));
  workspace::ApplicationHandlers handlers;
  handlers.activate = [] {
    ui::Application::sharedApplication().activateIgnoringOtherApps(true);
    if (ui::StatusItem* item = AppController::sharedInstance().statusItem()) item->showMenuWindow();
  };
  workspace::ApplicationBusServer server(
      QString::fromStdString(bundle.stringForInfoDictionaryKey("CFBundleIdentifier")),
      QString::fromStdString(bundle.stringForInfoDictionaryKey("CFBundleName")), handlers);
  // A copy outside a main application is nobody's controller: it neither takes the session's
  // name nor hands over to the controller that has it, so that its alert tells the user
  // why it does nothing, whether or not another controller runs.
  bool inMainApplication =
      controller::isMainApplication(AppController::editionOfControllerBundle(bundle.bundlePath()));
  if (inMainApplication && !becomeTheSessionsController(server)) return 0;

  AppController& controller = AppController::init(AppControllerServices::real());
  // The privileged side reports through the controller's alert.
  TVLAlertFunction alert = [&controller](const std::string& message, const std::string& info,
                                         const std::optional<std::string>& b1,
                                         const std::optional<std::string>& b2,
                                         const std::optional<std::string>& b3) {
    return controller.alertWithMessage(message, info, b1, b2, b3);
  };
  TVLSecureToolCommunication::Services toolServices;
  toolServices.alert = alert;
  TVLSecureToolCommunication& communication = TVLSecureToolCommunication::init(toolServices);
  TVLActionController::Services actionServices;
  actionServices.alert = alert;
  actionServices.requestFailed = [&controller](const std::string& message) {
    controller.notifyRequestFailed(message);
  };
  TVLActionController::init(actionServices);

  // The interface: the status item comes with the event loop; the preferences window with
  // its outlets, and the lock's set-up, when the window is first shown.
  controller.setPreferencesWindowLoader(
      [&controller, &communication, path = bundle.pathForResource("Preferences", "ui")] {
        std::unique_ptr<QWidget> window = loadPreferencesWindow(path, controller, communication);
        communication.awakeFromNib();
        return window;
      });
  controller.awakeFromNib();
  int status = ui::Application::sharedApplication().run();
  // Scripts still on their way finish (each within its timeout) before the controller goes,
  // and it goes before the Qt application its status item lives in.
  controller.waitForWorkerThreads();
  TVLActionController::releaseSharedInstance();
  TVLSecureToolCommunication::releaseSharedInstance();
  AppController::releaseSharedInstance();
  return status;
}

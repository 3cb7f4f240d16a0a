// TVLQC: the tray controller of the main application it is installed in.
#include <QApplication>

#include "controller/AppController.h"
#include "platform/ui/Application.h"

int main(int argc, char** argv) {
  QApplication qtApp(argc, argv);
  // A tray application: closing the preferences window must not end it.
  QApplication::setQuitOnLastWindowClosed(false);
  AppController& controller = AppController::init(AppControllerServices::real());
  controller.awakeFromNib();
  int status = ui::Application::sharedApplication().run();
  // Scripts still on their way finish (each within its timeout) before the controller goes,
  // and it goes before the Qt application its status item lives in.
  controller.waitForWorkerThreads();
  AppController::releaseSharedInstance();
  return status;
}

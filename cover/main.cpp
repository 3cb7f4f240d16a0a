// TVLDesktop: the desktop cover of a remote session. Started and ended (killall) by the
// main application.
#include <QApplication>

#include "cover/CoverSystem.h"
#include "cover/TVLDesktopAppController.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);  // only the watch or a signal ends the cover
  cover::LiveSystem system;
  TVLDesktopAppController controller(system);
  controller.awakeFromNib();
  return app.exec();
}

// TVLDesktop: the desktop cover of a remote session. Started and ended (killall) by the
// main application.
#include <QApplication>

#include "common/CommandLine.h"
#include "cover/CoverSystem.h"
#include "cover/TVLDesktopAppController.h"
#include "platform/desktop/DesktopSession.h"

using namespace tvl;

int main(int argc, char** argv) {
  // Answered before the cover goes up.
  if (auto status = commandline::answer(
          argc, argv,
          {"TVLDesktop", "TVLDesktop",
           "The screen cover of Mac Tovalo (TVLDesktopwhite): while a support session runs,\n"
           "it lays plain grey over the desktop behind your windows, on every monitor. Mac\n"
           "Tovalo starts and ends it; it also ends the session's screen sharing and itself\n"
           "when it finds Mac Tovalo gone. It is not meant to be started by hand.\n"}))
    return *status;
  // On GNOME a Wayland window cannot ask to stay below the others; an X11 window under
  // Xwayland can, and mutter keeps it there.
  if (desktop::coverRoute(desktop::currentSession()) == desktop::CoverRoute::QtWindowsUnderXwayland)
    qputenv("QT_QPA_PLATFORM", "xcb");
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);  // only the watch or a signal ends the cover
  cover::LiveSystem system;
  TVLDesktopAppController controller(system);
  controller.awakeFromNib();
  return app.exec();
}

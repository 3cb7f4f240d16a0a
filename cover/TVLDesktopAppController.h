// The desktop cover: lays a light-grey window over every screen, just above the desktop
// picture, and every 10 seconds checks whether the remote session is over: when the main
// application is gone and the VNC server is not root's, it tells the rest of the product
// that sharing stopped, ends the tunnel and the VNC server, and quits.
#pragma once

#include <QObject>
#include <QProcess>
#include <QWidget>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cover/CoverSystem.h"

namespace tvl {

class TVLDesktopAppController : public QObject {
  Q_OBJECT
 public:
  static constexpr std::chrono::milliseconds kCheckInterval{10000};

  // Registers for the application's termination (willTerminate).
  explicit TVLDesktopAppController(cover::System& system, QObject* parent = nullptr);
  ~TVLDesktopAppController() override;

  // Covers the screens, then starts the watch; its first tick is one interval away.
  void awakeFromNib();
  // One window per screen, exactly over its geometry, in screen order; where the
  // compositor offers the layer shell, the layer-shell cover program instead.
  void coverDesktop();
  void uncoverDesktop();
  // The watch step.
  void checkForVNC();
  void doShellWithCommandNoReturn(const std::string& command);

  // The cover windows; the one of screen i at index i.
  const std::vector<std::unique_ptr<QWidget>>& windowArray() const { return windowArray_; }
  // The layer-shell cover program while it runs (Wayland with the layer shell), else null.
  const QProcess* layerCover() const { return layerCover_.get(); }

 public slots:
  void willTerminate();

 private:
  cover::System& system_;
  std::vector<std::unique_ptr<QWidget>> windowArray_;
  std::unique_ptr<QProcess> layerCover_;

  void startLayerCover();
};

// "kill <pid> <pid>...": ends every process of pidLines (one pid a line); lines that are
// not a process id are left out. Empty when no line is one.
std::string killCommandForPIDs(const std::string& pidLines);

}  // namespace tvl

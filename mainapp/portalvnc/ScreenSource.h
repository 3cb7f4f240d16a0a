// Where tvl-portal-vnc gets the screen and sends the supporters' input: the desktop
// portal (GNOME, KDE: PortalSource) or a wlroots compositor's own protocols (sway and the
// like: WlrootsSource).
#pragma once

#include <QString>

#include <functional>
#include <string_view>
#include <vector>

#include "mainapp/portalvnc/InputQueue.h"
#include "mainapp/portalvnc/Layout.h"
#include "platform/screencast/Frame.h"

namespace tvl::portalvnc {

class ScreenSource {
 public:
  struct Handlers {
    std::function<void()> approvalPending;  // the desktop asks the user
    // The monitors, at their places; their frames follow.
    std::function<void(const std::vector<Monitor>&)> started;
    // It never started: a refusal code of Report.h, and English words for a log.
    std::function<void(std::string_view code, const QString& words)> refused;
    std::function<void(const QString& words)> failed;   // it broke or ended after starting
    std::function<void()> viewOnly;                     // the desktop allowed no input
    std::function<void(const QString& words)> warning;  // something odd that does not end it
    std::function<void(int monitor, const screencast::Frame&)> frame;
  };
  virtual ~ScreenSource() = default;
  virtual void start(Handlers handlers) = 0;
  // One input event; a motion comes with the monitor under it and the position in that
  // monitor's units. answered runs once the desktop took it (possibly at once).
  virtual void send(const InputEvent& e, const Target& at, std::function<void()> answered) = 0;
  // Ends the sharing (the portal's session, the streams); safe to call twice.
  virtual void stop() = 0;
};

}  // namespace tvl::portalvnc

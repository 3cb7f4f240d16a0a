// The screen of a wlroots compositor (sway and the like) through its own protocols: every
// output copied whenever it changed, input through a virtual pointer and keyboard. No
// dialog: the user's own Share My Screen is the consent, as with x11vnc on X11.
#pragma once

#include "mainapp/portalvnc/ScreenSource.h"
#include "platform/wlroots/Desktop.h"

namespace tvl::portalvnc {

class WlrootsSource : public ScreenSource {
 public:
  void start(Handlers handlers) override;
  void send(const InputEvent& e, const Target& at, std::function<void()> answered) override;
  void stop() override {}

 private:
  wlroots::Desktop desktop_;
  Handlers handlers_;
};

}  // namespace tvl::portalvnc

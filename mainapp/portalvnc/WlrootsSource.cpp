#include "mainapp/portalvnc/WlrootsSource.h"

#include "mainapp/portalvnc/Report.h"

namespace tvl::portalvnc {

void WlrootsSource::start(Handlers handlers) {
  handlers_ = std::move(handlers);
  QString why;
  // No display, no screen copy, no output: the words say which, for the log.
  if (!desktop_.open(&why)) return handlers_.refused(report::kNoCapture, why);
  desktop_.onError([this](const QString& words) { handlers_.failed(words); });
  desktop_.onFrame(
      [this](int output, const screencast::Frame& frame) { handlers_.frame(output, frame); });
  std::vector<Monitor> monitors;
  for (const wlroots::Output& o : desktop_.outputs())
    monitors.push_back({.x = o.x, .y = o.y, .width = o.width, .height = o.height});
  handlers_.started(monitors);
  desktop_.startCapture();
}

void WlrootsSource::send(const InputEvent& e, const Target& at, std::function<void()> answered) {
  // Requests on one Wayland connection keep their order: no answer is waited for.
  using Kind = InputEvent::Kind;
  switch (e.kind) {
    case Kind::Motion:
      if (at.monitor >= 0 && size_t(at.monitor) < desktop_.outputs().size()) {
        const wlroots::Output& o = desktop_.outputs()[size_t(at.monitor)];
        desktop_.movePointer(o.x + at.x, o.y + at.y);
      }
      break;
    case Kind::Button:
      desktop_.button(e.code, e.down);
      break;
    case Kind::Key:
      desktop_.key(e.code, e.down);
      break;
    case Kind::Scroll:
      desktop_.scroll(e.code == 1, e.steps);
      break;
  }
  answered();
}

}  // namespace tvl::portalvnc

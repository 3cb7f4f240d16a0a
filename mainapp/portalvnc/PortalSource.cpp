#include "mainapp/portalvnc/PortalSource.h"

#include "mainapp/portalvnc/Report.h"
#include "platform/desktop/DesktopSession.h"

namespace tvl::portalvnc {

namespace {

std::string_view refusalCode(screencast::PortalSession::Refusal why) {
  using R = screencast::PortalSession::Refusal;
  switch (why) {
    case R::Declined:
      return report::kDeclined;
    case R::NotAllowed:
    case R::EndedEarly:
      return report::kNotAllowed;
    case R::NoPortal:
      return report::kNoPortal;
    case R::NoBus:
      return report::kNoBus;
    case R::PortalFailed:
    case R::NoSession:
      return report::kPortalFailed;
    case R::NoScreen:
      return report::kNoScreen;
  }
  return report::kPortalFailed;
}

}  // namespace

PortalSource::PortalSource(QString restoreToken, std::function<void(const QString&)> saveToken)
    : restoreToken_(std::move(restoreToken)), saveToken_(std::move(saveToken)) {}

PortalSource::~PortalSource() {
  stop();
}

void PortalSource::start(Handlers handlers) {
  handlers_ = std::move(handlers);
  QObject::connect(&portal_, &screencast::PortalSession::approvalPending, &portal_,
                   [this] { handlers_.approvalPending(); });
  QObject::connect(&portal_, &screencast::PortalSession::refused, &portal_,
                   [this](screencast::PortalSession::Refusal why, const QString& words) {
                     handlers_.refused(refusalCode(why), words);
                   });
  QObject::connect(&portal_, &screencast::PortalSession::closed, &portal_, [this] {
    handlers_.failed(QStringLiteral("the desktop ended the screen sharing"));
  });
  QObject::connect(&portal_, &screencast::PortalSession::started, &portal_, [this] { started(); });
  // KDE's portal gives several monitors without their places, but its one stream is the
  // whole workspace.
  portal_.start(restoreToken_, desktop::currentSession().compositor == desktop::Compositor::Kde
                                   ? screencast::PortalSession::Monitors::DesktopsChoice
                                   : screencast::PortalSession::Monitors::EachPicked);
}

void PortalSource::started() {
  saveToken_(portal_.restoreToken());
  if (!portal_.inputAllowed()) handlers_.viewOnly();
  // Mutter makes its virtual keyboard and pointer at their first event, and loses that
  // event: make both now with harmless events, long before a supporter types or
  // clicks. The key is Scroll Lock, which changes nothing a supporter types. Each waits
  // for the answer to the one before, as all input does (InputQueue).
  portal_.key(0xff14, true, [this] {  // Scroll_Lock
    portal_.key(0xff14, false, [this] { portal_.nudgePointer(0, 0); });
  });
  std::vector<Monitor> monitors;
  for (const screencast::Stream& s : portal_.streams())
    monitors.push_back({.x = s.x, .y = s.y, .width = s.width, .height = s.height});
  for (int i = 0; i < portal_.streams().size(); ++i) {
    QString why;
    const int fd = portal_.openPipeWireRemote(&why);
    auto& stream = streams_.emplace_back(std::make_unique<screencast::PipeWireStream>());
    stream->onError([this](const QString& words) { handlers_.failed(words); });
    stream->onRejectedFrame([this](const QString& words) {
      static bool said = false;
      if (!said) handlers_.warning(words);
      said = true;
    });
    stream->onFrame([this, i](const screencast::Frame& frame) { handlers_.frame(i, frame); });
    if (fd < 0 || !stream->open(fd, portal_.streams().at(i).node, &why))
      return handlers_.failed(why);
  }
  handlers_.started(monitors);
}

void PortalSource::send(const InputEvent& e, const Target& at, std::function<void()> answered) {
  using Kind = InputEvent::Kind;
  switch (e.kind) {
    case Kind::Motion:
      if (at.monitor < 0 || at.monitor >= portal_.streams().size()) return answered();
      portal_.movePointer(portal_.streams().at(at.monitor).node, at.x, at.y, std::move(answered));
      break;
    case Kind::Button:
      portal_.pointerButton(int(e.code), e.down, std::move(answered));
      break;
    case Kind::Key:
      portal_.key(e.code, e.down, std::move(answered));
      break;
    case Kind::Scroll:
      portal_.scroll(e.code == 1, e.steps, std::move(answered));
      break;
  }
}

void PortalSource::stop() {
  // The streams, then the portal's session.
  streams_.clear();
  portal_.close();
}

}  // namespace tvl::portalvnc

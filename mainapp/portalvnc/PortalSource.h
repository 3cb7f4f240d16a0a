// The screen through the desktop portal's remote desktop (GNOME, KDE): the user approves
// it in the desktop's dialog (KDE: no dialog for programs the user started), each
// monitor comes as a PipeWire stream, input goes back through the portal.
#pragma once

#include <memory>
#include <vector>

#include "mainapp/portalvnc/ScreenSource.h"
#include "platform/screencast/PipeWireStream.h"
#include "platform/screencast/PortalSession.h"

namespace tvl::portalvnc {

class PortalSource : public ScreenSource {
 public:
  // restoreToken comes from an earlier session; saveToken keeps the one this session got.
  PortalSource(QString restoreToken, std::function<void(const QString&)> saveToken);
  ~PortalSource() override;
  void start(Handlers handlers) override;
  void send(const InputEvent& e, const Target& at, std::function<void()> answered) override;
  void stop() override;

 private:
  void started();

  screencast::PortalSession portal_;
  std::vector<std::unique_ptr<screencast::PipeWireStream>> streams_;
  QString restoreToken_;
  std::function<void(const QString&)> saveToken_;
  Handlers handlers_;
};

}  // namespace tvl::portalvnc

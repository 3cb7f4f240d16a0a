// The route of GNOME and KDE Wayland desktops: tvl-portal-vnc, ours, which asks the
// desktop's portal for the screen (the user approves it in the desktop's own dialog) and
// serves it on the session's socket.
#pragma once

#include "mainapp/session/SharingServer.h"

namespace tvl::session {

class PortalVncServer final : public SharingServer {
  Q_OBJECT
 public:
  QString programName() const override { return QStringLiteral("tvl-portal-vnc"); }
  bool approvalBeforeTunnel() const override { return true; }
  bool speaksVncAuthentication() const override { return true; }
  bool start(const Setup& setup, EndCause* problem) override;

 protected:
  ServerEvent parseLine(QStringView line) override { return parsePortalVncLine(line); }
};

// tvl-portal-vnc: beside the main executable, else on the search path; empty when there
// is none.
QString portalServerPath();
// Where the desktop portal's restore token is kept (the folder is made, mode 0700).
QString portalRestoreTokenPath();

}  // namespace tvl::session

// The route of wlroots desktops (sway and the like): tvl-portal-vnc --wlroots, ours, which
// copies every output through the compositor's own screen copy and sends input through
// its virtual pointer and keyboard. Every monitor in one picture, VNC authentication, no
// dialog: as with x11vnc, the user's own Share My Screen is the consent.
#pragma once

#include "mainapp/session/SharingServer.h"

namespace tvl::session {

class WlrootsVncServer final : public SharingServer {
  Q_OBJECT
 public:
  QString programName() const override { return QStringLiteral("tvl-portal-vnc"); }
  bool speaksVncAuthentication() const override { return true; }
  // tvl-portal-vnc exchanges no clipboard (Clipboard::Never, the default).
  bool start(const Setup& setup, EndCause* problem) override;

 protected:
  ServerEvent parseLine(QStringView line) override { return parsePortalVncLine(line); }
};

}  // namespace tvl::session

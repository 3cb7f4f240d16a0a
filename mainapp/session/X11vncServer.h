// The X11 route: x11vnc on the session's X display.
#pragma once

#include "mainapp/session/SharingServer.h"

namespace tvl::session {

class X11vncServer final : public SharingServer {
  Q_OBJECT
 public:
  QString programName() const override { return QStringLiteral("x11vnc"); }
  bool speaksVncAuthentication() const override { return true; }
  bool start(const Setup& setup, EndCause* problem) override;

 protected:
  ServerEvent parseLine(QStringView line) override { return parseX11vncLine(line); }
};

}  // namespace tvl::session

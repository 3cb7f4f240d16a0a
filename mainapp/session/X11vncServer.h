// The X11 route: x11vnc on the session's X display.
#pragma once

#include "mainapp/session/SharingServer.h"

namespace tvl::session {

class X11vncServer final : public SharingServer {
  Q_OBJECT
 public:
  QString programName() const override { return QStringLiteral("x11vnc"); }
  bool speaksVncAuthentication() const override { return true; }
  Clipboard clipboard() const override { return Clipboard::Switchable; }
  void shareClipboard(bool on) override;
  bool start(const Setup& setup, EndCause* problem) override;

 private:
  QString display_, channel_;

 protected:
  ServerEvent parseLine(QStringView line) override { return parseX11vncLine(line); }
};

}  // namespace tvl::session

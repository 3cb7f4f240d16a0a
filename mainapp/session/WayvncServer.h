// The wlroots route (sway and the like): wayvnc 0.5 on the session's socket. It
// authenticates only with VeNCrypt X509Plain: TLS with a certificate of the server's,
// then a user name and password. The password is the session's secret, the user name is
// fixed ("supporter"), and the certificate is made for each session (self-signed, for the
// name "localhost", where a supporter's tunnel reaches it).
#pragma once

#include <QSet>

#include <memory>

#include "mainapp/session/SharingServer.h"

class QFileSystemWatcher;

namespace tvl::session {

class WayvncServer final : public SharingServer {
  Q_OBJECT
 public:
  WayvncServer();
  ~WayvncServer() override;
  QString programName() const override { return QStringLiteral("wayvnc"); }
  // wayvnc 0.5 exchanges the clipboard through the compositor's data control, with no way
  // to switch it off.
  Clipboard clipboard() const override { return Clipboard::Always; }
  bool start(const Setup& setup, EndCause* problem) override;

 protected:
  ServerEvent parseLine(QStringView line) override { return parseWayvncLine(line); }
  // wayvnc names a connection when it opens and closes, but not in the line that says it
  // passed (or failed) authentication: that one is the oldest still waiting.
  ServerEvent account(const ServerEvent& e) override;

 private:
  QStringList pending_;   // connections before authentication, oldest first
  QSet<QString> joined_;  // connections that passed it
  std::unique_ptr<QFileSystemWatcher> configWatch_;  // until wayvnc has read its file
};

}  // namespace tvl::session

// What a VNC server's output says, one line at a time: each server's parser is a pure
// function from one line of its output to one event, so that lines captured from the real
// programs can be fed to it in a test.
#pragma once

#include <QString>
#include <QStringView>

namespace tvl::session {

struct ServerEvent {
  enum class Kind {
    None,             // nothing the session needs
    Serving,          // the server listens on the session's socket
    ApprovalPending,  // the desktop's dialog asks the user
    ViewOnly,         // the desktop allowed no remote input
    Opened,           // a connection opened (connection: its id), not yet authenticated
    Joined,           // a client passed authentication (connection: its id, where given)
    Left,             // an authenticated client left (remaining, or connection)
    Refused,          // the desktop will not be shared (code: why)
    Error,            // a failure the server reports before it ends (text: for the log)
  };
  ServerEvent(Kind k = Kind::None, int remaining = -1, QString connection = {}, QString code = {})
      : kind(k), remaining(remaining), connection(std::move(connection)), code(std::move(code)) {}

  Kind kind;
  int remaining;       // Left: authenticated clients still there; -1: the server does not say
  QString connection;  // wayvnc names its connections
  QString code;        // Refused: the refusal code; Error: the line

  bool operator==(const ServerEvent&) const = default;
};

// x11vnc's standard error.
ServerEvent parseX11vncLine(QStringView line);
// wayvnc's standard output and error (both: it logs clients on one, errors on the other).
ServerEvent parseWayvncLine(QStringView line);
// tvl-portal-vnc's standard error (mainapp/portalvnc/Report.h).
ServerEvent parsePortalVncLine(QStringView line);

}  // namespace tvl::session

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
    Joined,           // a client passed authentication
    Left,             // an authenticated client left (remaining, or connection)
    Refused,          // the desktop will not be shared (code: why)
    Error,            // a failure the server reports before it ends (text: for the log)
  };
  ServerEvent(Kind k = Kind::None, int remaining = -1, QString code = {})
      : kind(k), remaining(remaining), code(std::move(code)) {}

  Kind kind;
  int remaining;  // Left: authenticated clients still there; -1: the server does not say
  QString code;   // Refused: the refusal code; Error: the line

  bool operator==(const ServerEvent&) const = default;
};

// x11vnc's standard error.
ServerEvent parseX11vncLine(QStringView line);
// tvl-portal-vnc's standard error (mainapp/portalvnc/Report.h), on either of its routes.
ServerEvent parsePortalVncLine(QStringView line);

}  // namespace tvl::session

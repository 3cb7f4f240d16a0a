// Why a session did not start or ended, as codes: the parts of a session say what went
// wrong with these, and the words the user reads are made from them in one place
// (describe), in the user's language.
#pragma once

#include <QString>

namespace tvl::session {

enum class Problem {
  None,
  // Ended on purpose.
  UserStopped,
  ApplicationQuit,
  TimeUp,  // the session's length ran out
  // The desktop cannot be shared.
  NoRoute,         // a Wayland compositor that offers no way to capture the screen
  NoDisplay,       // no X display
  DesktopRefused,  // the desktop's portal said no; detail: the refusal code
  // The session could not be set up.
  FolderNotMade,
  FilesNotWritten,
  ServerMissing,  // detail: the program's name
  ServerNotStarted,
  NoSessionKey,  // the relay settings have no key for sessions started here
  KeyUnreadable,
  SshMissing,
  TunnelNotStarted,
  // The relay.
  HostKeyChanged,
  KeyRefused,           // the relay refused this computer's session key
  SecretRefused,        // the relay refused a link's secret
  LinkRefused,          // the relay refused a link's key: expired, or already used
  LinkRelayUnknown,     // the link names a relay that is not set up here
  RegistrationRefused,  // the relay's registration said no; detail: its words
  EndedOnRelay,         // the relay ended the session (the supporter, or its time there)
  PortRefused,
  Unreachable,
  NoAnswer,         // the relay did not open the port in time
  Lost,             // the connection went away before the session was up
  ReconnectGaveUp,  // the connection was lost and could not be made again in time
  TunnelEnded,
  // The server.
  ServerStopped,
};

struct EndCause {
  Problem problem = Problem::None;
  QString detail;
};

// The user's words for it, e.g. "The relay can't be reached.".
QString describe(const EndCause& cause);

}  // namespace tvl::session

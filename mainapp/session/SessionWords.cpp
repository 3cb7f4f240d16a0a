// The words a user reads about a session's end, made from its codes: the one place where
// a code turns into text (in the user's language, by Localizable.strings).
#include "mainapp/Localized.h"
#include "mainapp/portalvnc/Report.h"
#include "mainapp/session/SessionProblem.h"

namespace tvl::session {

namespace {

using mainapp::localized;

QString desktopRefusal(const QString& code) {
  namespace r = portalvnc::report;
  const auto is = [&](std::string_view c) { return code == QLatin1String(c.data(), c.size()); };
  if (is(r::kDeclined)) return localized("you declined to share your screen");
  if (is(r::kNotAllowed)) return localized("the desktop did not allow sharing the screen");
  if (is(r::kNoPortal)) return localized("this desktop offers no screen-sharing portal");
  if (is(r::kNoBus)) return localized("there is no session bus to reach the desktop's portal");
  if (is(r::kNoScreen)) return localized("the desktop's portal shared no screen");
  if (is(r::kNoCapture))
    return localized("its Wayland compositor offers no way to capture the screen");
  return localized("the desktop's portal failed");
}

}  // namespace

QString describe(const EndCause& cause) {
  switch (cause.problem) {
    case Problem::None:
      return {};
    case Problem::UserStopped:
      return localized("You stopped sharing.");
    case Problem::ApplicationQuit:
      return localized("The application quit.");
    case Problem::TimeUp:
      return localized("The session's time is up.");
    case Problem::NoRoute:
      return localized(
          "This desktop can't be shared: its Wayland compositor offers no way to capture the "
          "screen.");
    case Problem::NoDisplay:
      return localized("This desktop can't be shared: there is no X display.");
    case Problem::DesktopRefused:
      return localized("This desktop can't be shared: %1").arg(desktopRefusal(cause.detail));
    case Problem::FolderNotMade:
      return localized("A private folder for the session could not be made.");
    case Problem::FilesNotWritten:
      return localized("The session's files could not be written.");
    case Problem::ServerMissing:
      return cause.detail == "tvl-portal-vnc"
                 ? localized("The screen-sharing server (tvl-portal-vnc) is missing.")
                 : localized("The screen-sharing server (%1) is not installed.").arg(cause.detail);
    case Problem::ServerNotStarted:
      return localized("The screen-sharing server could not be started.");
    case Problem::NoSessionKey:
      return localized(
          "Your support organisation's settings have no key for sessions started here.");
    case Problem::KeyUnreadable:
      return localized("The session key of your support organisation can't be read.");
    case Problem::SshMissing:
      return localized("The OpenSSH client (ssh) is not installed.");
    case Problem::TunnelNotStarted:
      return localized("The tunnel to the relay could not be started.");
    case Problem::HostKeyChanged:
      return localized(
          "The relay presented a host key other than the one your support organisation set "
          "up, so the connection was refused.");
    case Problem::KeyRefused:
      return localized("The relay did not accept this computer's session key.");
    case Problem::SecretRefused:
      return localized(
          "The relay refused the session's secret. Ask your supporter for a new link.");
    case Problem::LinkRefused:
      return localized(
          "The relay refused this link: it has expired or was already used. Ask your supporter "
          "for a new link.");
    case Problem::LinkRelayUnknown:
      return localized(
          "This link is for a relay that is not set up on this computer. Ask your supporter for "
          "a new link.");
    case Problem::RegistrationRefused:
      return cause.detail.isEmpty() ? localized("The relay refused to start a session.")
                                    : cause.detail;
    case Problem::EndedOnRelay:
      return localized(
          "The session was ended on the relay: by your supporter, or because its time there "
          "was up.");
    case Problem::PortRefused:
      return localized("The relay refused to open the session's port.");
    case Problem::Unreachable:
      return localized("The relay can't be reached.");
    case Problem::NoAnswer:
      return localized("The relay did not answer in time.");
    case Problem::Lost:
      return localized("The connection to the relay was lost.");
    case Problem::ReconnectGaveUp:
      return localized(
          "The connection to the relay was lost and could not be made again within two "
          "minutes.");
    case Problem::TunnelEnded:
      return localized("The tunnel to the relay ended.");
    case Problem::ServerStopped:
      return localized("The screen-sharing server stopped.");
  }
  return {};
}

}  // namespace tvl::session

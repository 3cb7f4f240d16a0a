// What tvl-portal-vnc reports on its standard error, one line each, and what the support
// session reads there: both ends include this header, so a word changes in one place.
//
//   tvl-portal-vnc: approval-pending        the desktop's dialog waits for the user
//   tvl-portal-vnc: serving                 the screen is shared; the socket listens
//   tvl-portal-vnc: view-only               the user allowed no remote input
//   tvl-portal-vnc: client-joined           a client passed authentication
//   tvl-portal-vnc: client-left N           an authenticated client left; N remain
//   tvl-portal-vnc: refused CODE WORDS      the desktop will not share (exit status 3)
//   tvl-portal-vnc: error WORDS             any other failure (status 1, or 2 for usage)
//   tvl-portal-vnc: warning WORDS           something odd that does not end it
//
// CODE is one of the refusal codes below; WORDS are English, for a log only: the session
// makes the user's words from the code.
#pragma once

#include <string_view>

namespace tvl::portalvnc::report {

inline constexpr std::string_view kPrefix = "tvl-portal-vnc: ";

inline constexpr std::string_view kApprovalPending = "approval-pending";
inline constexpr std::string_view kServing = "serving";
inline constexpr std::string_view kViewOnly = "view-only";
inline constexpr std::string_view kClientJoined = "client-joined";
inline constexpr std::string_view kClientLeft = "client-left";
inline constexpr std::string_view kRefused = "refused";
inline constexpr std::string_view kError = "error";
inline constexpr std::string_view kWarning = "warning";

// Refusal codes.
inline constexpr std::string_view kDeclined = "declined";           // the user said no
inline constexpr std::string_view kNotAllowed = "not-allowed";      // the desktop said no
inline constexpr std::string_view kNoPortal = "no-portal";          // no screen-sharing portal
inline constexpr std::string_view kNoBus = "no-bus";                // no session bus
inline constexpr std::string_view kPortalFailed = "portal-failed";  // the portal failed
inline constexpr std::string_view kNoScreen = "no-screen";          // nothing was shared
inline constexpr std::string_view kNoCapture = "no-capture";  // a compositor without screen copy

inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitRefused = 3;

}  // namespace tvl::portalvnc::report

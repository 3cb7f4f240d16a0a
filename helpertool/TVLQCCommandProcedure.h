// The helper tool's command procedure: the privileged half of the auto-connect service's
// switches. It runs inside the set-user-ID tool with the real user's effective uid and
// raises it to root only around the step that needs it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>

#include "platform/auth/Authorization.h"
#include "platform/cf/PropertyList.h"
#include "privileged/ToolRequest.h"

namespace tvl {

// The tool's gate, asked before the request is read: the administrator right without
// interaction. A refusal (-60005, -60006) is the whole answer; the request is never
// parsed.
int TVLQCAuthorizationGate(auth::AuthorizationRef auth);

// Tasks: 2 and 7 load, 3 and 8 unload the launchd property list "filename" of folder 3;
// 4 and 5 set TVLD to YES or NO in the host configuration from the user's edited copy
// and start or stop the startup item. Runs only after TVLQCAuthorizationGate granted the
// right. Everything that cannot be done is answered {"returnString": "TVLQC Error: ..."}
// with a non-zero result, and changes nothing.
int TVLQCCommandProc(auth::AuthorizationRef auth, const cf::Dictionary* request,
                     cf::Dictionary** response);

// Ends the process group that pid (of the given start time) leads: SIGTERM, up to
// termTimeout for pid to end, then SIGKILL and up to killTimeout. Whether it ended; a
// process that neither signal ends (in uninterruptible sleep) is given up on.
bool TVLQCStopProcessGroup(pid_t pid, uint64_t startTime, std::chrono::milliseconds termTimeout,
                           std::chrono::milliseconds killTimeout, int (*sendSignal)(pid_t, int));

}  // namespace tvl

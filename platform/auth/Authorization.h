// Administrator authorization on polkit.
//
// An authorization names one process (pid, start time, real uid): the process that
// asked for the right. Asking for a right asks polkit whether that process holds the
// matching action. The 32-byte external form carries the process's identity to the
// helper tool, which turns it back and asks again without interaction; polkit's own
// "keep" authorization makes that second answer follow the first.
//
// No GUI library: the set-user-ID helper tool links this.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>

namespace tvl::auth {

// Status codes of the authorization service.
constexpr int errAuthorizationSuccess = 0;
constexpr int errAuthorizationInvalidSet = -60001;
constexpr int errAuthorizationInvalidRef = -60002;
constexpr int errAuthorizationDenied = -60005;
constexpr int errAuthorizationCanceled = -60006;
constexpr int errAuthorizationInteractionNotAllowed = -60007;
constexpr int errAuthorizationInternal = -60008;
constexpr int errAuthorizationExternalizeNotAllowed = -60009;
constexpr int errAuthorizationToolExecuteFailure = -60031;

// Flags of AuthorizationCreate and AuthorizationCopyRights.
using AuthorizationFlags = uint32_t;
constexpr AuthorizationFlags kAuthorizationFlagDefaults = 0;
constexpr AuthorizationFlags kAuthorizationFlagInteractionAllowed = 1u << 0;
constexpr AuthorizationFlags kAuthorizationFlagExtendRights = 1u << 1;
constexpr AuthorizationFlags kAuthorizationFlagPreAuthorize = 1u << 4;

// The administrator right and the polkit action that stands for it.
constexpr const char* kAuthorizationRightExecute = "system.privilege.admin";
constexpr const char* kAdminActionID = "com.nrvk.tvl.system.privilege.admin";

constexpr size_t kAuthorizationExternalFormLength = 32;
struct AuthorizationExternalForm {
  unsigned char bytes[kAuthorizationExternalFormLength];
};

// The identity an authorization stands for.
struct AuthorizationSubject {
  pid_t pid = 0;
  uint64_t startTime = 0;  // clock ticks since boot, as /proc/<pid>/stat field 22
  uid_t uid = 0;
};

struct Authorization;
using AuthorizationRef = Authorization*;

// An authorization for the calling process (its pid, start time and real uid). With
// kAuthorizationFlagExtendRights and a right, the right is asked for at once (with
// interaction when allowed), as AuthorizationCopyRights would.
int AuthorizationCreate(const char* right, AuthorizationFlags flags,
                        AuthorizationRef* authorization);
// Releases the reference; granted rights stay with polkit.
int AuthorizationFree(AuthorizationRef authorization);

// Asks polkit whether the authorization's process holds right. Interaction (the
// authentication dialog of the session's agent) happens only with both
// kAuthorizationFlagExtendRights and kAuthorizationFlagInteractionAllowed.
// 0 granted, errAuthorizationDenied, errAuthorizationCanceled (the user dismissed the
// dialog), errAuthorizationInteractionNotAllowed (interaction was allowed but no
// authentication agent runs in the session to ask), errAuthorizationInternal (polkit
// unreachable), errAuthorizationInvalidSet (null or unknown right).
int AuthorizationCopyRights(AuthorizationRef authorization, const char* right,
                            AuthorizationFlags flags);

// The external form: magic "TVLA", version, pid, uid, start time, zero padding; all in
// the host's byte order (it never leaves the machine).
int AuthorizationMakeExternalForm(AuthorizationRef authorization,
                                  AuthorizationExternalForm* extForm);
// Turns an external form back into an authorization. Only a form that names the calling
// process's parent is accepted, with the parent's current start time and with the
// caller's real uid; the uid kept for polkit is the caller's own getuid().
// Anything else is errAuthorizationInvalidRef, so that nobody can present another
// user's or another process's authorization.
int AuthorizationCreateFromExternalForm(const AuthorizationExternalForm* extForm,
                                        AuthorizationRef* authorization);

AuthorizationSubject AuthorizationGetSubject(AuthorizationRef authorization);

// Frees on scope exit.
struct AuthorizationDeleter {
  void operator()(Authorization* a) const noexcept { AuthorizationFree(a); }
};
using UniqueAuthorization = std::unique_ptr<Authorization, AuthorizationDeleter>;

// A program run as root: stream is connected to both its standard input and its
// standard output. close() closes the stream and waits for the program, returning its
// wait status in *status (optional); it must be called once.
struct PrivilegedProcess {
  FILE* stream = nullptr;
  pid_t pid = -1;
  bool throughPkexec = false;
  int close(int* status);
};

// Runs pathToTool with arguments (a null-terminated vector, without argv[0]) as root:
// directly when the caller's effective uid is already 0, otherwise through pkexec, which
// asks polkit for its own action on behalf of the caller. The program's standard error
// stays the caller's. 0, or an errno value when the process cannot be started.
int AuthorizationExecuteWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                       AuthorizationFlags options, char* const* arguments,
                                       PrivilegedProcess* process);

// The start time of a process, from /proc/<pid>/stat; false when it cannot be read.
bool processStartTime(pid_t pid, uint64_t* startTime);

}  // namespace tvl::auth

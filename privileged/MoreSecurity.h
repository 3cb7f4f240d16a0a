// The helper-tool scheme: locating, installing and repairing the set-user-ID working
// copy of the helper tool, the request protocol between the controller and the tool,
// and the tool's runtime.
//
// Every function returns a status: 0, a positive errno value, a negative platform code
// (-4960 an object could not be made, -50, -108, -37, -43, the authorization codes) or
// one of the codes below. Objects handed out through an out-parameter must hold null on
// entry and hold an object on return exactly when the status is 0; the caller releases
// them. A "URL" here is a string holding an absolute file path.
//
// No GUI library: the set-user-ID tool links this.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>

#include "platform/auth/Authorization.h"
#include "platform/cf/PropertyList.h"

namespace tvl {

using OSType = uint32_t;

// ---- Location, installation and repair ----

// The folder for a new working copy is on a volume that ignores ownership or
// set-user-ID bits.
constexpr int kHelperToolFolderUnsuitableErr = 5370;
// The tool's results, as exit statuses 1 to 4; 5364 is also the fix-up script's failure.
constexpr int kMoreSecFirstHelperToolErr = 5360;
constexpr int kHelperToolNotRootErr = 5361;       // not started set-user-ID root
constexpr int kHelperToolDeniedErr = 5362;        // the right was refused
constexpr int kHelperToolCanceledErr = 5363;      // the authorization was dismissed
constexpr int kHelperToolRepairFailedErr = 5364;  // anything else, or no answer at all
// A descriptor list in a response that is not a list of descriptor numbers.
constexpr int kMoreSecBadDescriptorListErr = 5401;

constexpr int paramErr = -50;
constexpr int memFullErr = -108;
constexpr int bdNamErr = -37;
constexpr int dupFNErr = -48;

// The group a volume that ignores ownership reports for every file.
constexpr gid_t kPermissionsUnknownGroupID = 99;

// Search order of the domains for an existing working copy, ended by 0.
extern const int16_t kFolderDomains[5];

// The fix-up script that makes its one argument root-owned (user and group 0) and
// set-user-ID, mode 4555; prints "ok" as its last line on success.
extern const char kBlessScript[];

// While true, RunScriptAsRoot logs its arguments, script and output to standard error.
extern bool gMoreSecLogInteractions;

// inBundle is the bundle's folder path; the template is the executable
// templateToolName in its Contents/MacOS (none: -4960). Otherwise as
// MoreSecCopyHelperToolURLAndCheck.
int MoreSecCopyHelperToolURLAndCheckBundled(const cf::String* inBundle,
                                            const cf::String* templateToolName, OSType folder,
                                            const cf::String* subFolderName,
                                            const cf::String* toolName, cf::String** tool);

// Finds a valid (blessed, same size and time as templateTool) working copy in the
// domains' folders of type folder (then in the local temporary folder), or replaces the
// user's copy by a fresh, not yet blessed copy of the template. 5370 when the user's
// folder cannot hold set-user-ID files.
int MoreSecCopyHelperToolURLAndCheck(const cf::String* templateTool, OSType folder,
                                     const cf::String* subFolderName, const cf::String* toolName,
                                     cf::String** tool);

// Whether the folder's volume ignores ownership: a probe file whose group cannot be
// changed from 99.
int MoreSecIsFolderIgnoringOwnership(const char* folder, bool* ignoringOwnership);
// Whether the folder's volume is mounted nosuid.
int MoreSecIsFolderIgnoringSetUID(const char* folder, bool* ignoring);

// Runs script with /bin/sh -s as root; the C-string arguments after script, ended by
// null, become its positional parameters. 0 when the script's last output line is
// exactly "ok\n"; 5364 otherwise (-60006 or -60005 when pkexec reports the dialog
// dismissed or the right refused); -37 when an argument holds the byte 0x7F (nothing
// runs); 12 without memory.
int RunScriptAsRoot(auth::AuthorizationRef auth, const char* script, ...);

// ---- Request protocol ----

extern const char kMoreSecErrorNumberKey[];      // signed 32-bit number
extern const char kMoreSecFileDescriptorsKey[];  // array of descriptor numbers
// The largest frame either end reads (its 4-byte length included or not, the bound holds).
constexpr uint32_t kMoreSecMaxFrameLength = 1024 * 1024;

// Blesses the tool with kBlessScript when it is not root-owned 04555, then serves the
// request through it. The caller must ignore SIGPIPE.
int MoreSecExecuteRequestInHelperTool(const cf::String* helperTool, auth::AuthorizationRef auth,
                                      const cf::Dictionary* request, cf::Dictionary** response);

// One frame: a 4-byte length in host byte order, then the XML property list.
int WriteDictionaryToDescriptor(const cf::Dictionary* dict, int fdOut);
// Reads one frame: length 1 to 1,048,576 (0: -50; more or negative: -108); the XML must
// parse (-4960) to a dictionary (-50).
int CopyDictionaryFromDescriptor(int fdIn, cf::Dictionary** dictResult);
// Closes every descriptor in the list; null does nothing.
void MoreSecCloseDescriptorArray(const cf::Array* descArray);
// The response's error number; -4960 when it is missing or not a number.
int MoreSecGetErrorFromResponse(const cf::Dictionary* response);

int MoreSecErrorToHelperToolResult(int err);
int MoreSecHelperToolResultToError(int result);

// ---- The tool's runtime ----

// The tool's command procedure: runs with the real user's effective uid; stores an
// optional new response (which the runtime owns); returns the command's error.
using MoreSecCommandProc = int (*)(auth::AuthorizationRef auth, const cf::Dictionary* request,
                                   cf::Dictionary** response);

// Serves one request on fdIn/fdOut: refuses (5361) unless started set-user-ID root with
// no argument, reads the 32-byte authorization and the request, runs commandProc and
// writes the response with its error number and descriptors. Takes over auth.
int MoreSecHelperToolMain(int fdIn, int fdOut, auth::AuthorizationRef auth,
                          MoreSecCommandProc commandProc, int argc, char* argv[]);

// Asked with the caller's authorization before the request is read: 0 to serve it, or
// the error to answer instead. A refused request is read past but never parsed, and
// the command procedure is not called: a caller who may not use the tool cannot reach
// the property-list reader running in a set-user-ID process.
using MoreSecAuthorizationGate = int (*)(auth::AuthorizationRef auth);
// MoreSecHelperToolMain with gate (null: none) asked first.
int MoreSecHelperToolMainWithGate(int fdIn, int fdOut, auth::AuthorizationRef auth,
                                  MoreSecAuthorizationGate gate, MoreSecCommandProc commandProc,
                                  int argc, char* argv[]);

// Bits of what MoreSecDestroyInheritedEnvironment keeps.
constexpr unsigned kMoreSecKeepArg0Mask = 0x001;
constexpr unsigned kMoreSecKeepEnvironmentMask = 0x002;
constexpr unsigned kMoreSecKeepStandardFilesMask = 0x004;
constexpr unsigned kMoreSecKeepOtherFilesMask = 0x008;
constexpr unsigned kMoreSecKeepSignalsMask = 0x010;
constexpr unsigned kMoreSecKeepUmaskMask = 0x020;
constexpr unsigned kMoreSecKeepNiceMask = 0x040;
constexpr unsigned kMoreSecKeepResourceLimitsMask = 0x080;
constexpr unsigned kMoreSecKeepCurrentDirMask = 0x100;
constexpr unsigned kMoreSecKeepTimersMask = 0x200;

struct MoreSecResourceLimit {
  int resource;
  rlim_t soft;
  rlim_t hard;
};
// The limits the reset installs, by resource name.
extern const MoreSecResourceLimit kResourceLimits[9];

// Resets the inherited state (argv[0], environment, descriptors, signals, umask,
// priority, resource limits, current directory, timers) that the mask does not keep;
// stops at the first failing step.
int MoreSecDestroyInheritedEnvironment(unsigned whatToDubya, char* argv[]);
// Closes every open descriptor in [first, end).
int CloseOpenFileDescriptorsInRange(int first, int end);

int MoreSecTemporarilySetNonPrivilegedEUID();
int MoreSecSetPrivilegedEUID();
int MoreSecPermanentlySetNonPrivilegedEUID();
// The authorization a privileged launcher would hand the tool: there is none on Linux
// (the controller starts the tool itself), so always null.
auth::AuthorizationRef MoreSecHelperToolCopyAuthRef();

}  // namespace tvl

// TVLQCSecureToolTemplate: the helper tool. Its root-owned set-user-ID working copy is
// started by the controller with the connection on standard input and output, serves
// one request and exits with the status of the exchange.
#include "helpertool/TVLQCCommandProcedure.h"
#include "privileged/MoreSecurity.h"
#include "privileged/MoreUNIX.h"

using namespace tvl;

#if defined(__SANITIZE_ADDRESS__)
// The leak checker stops the process's threads by tracing them, which a set-user-ID
// process does not allow; it would turn every exit into a failure.
extern "C" int __lsan_is_turned_off() {
  return 1;
}
#endif

int main(int argc, char* argv[]) {
  // Anything but the one argument the controller passes is refused before any work.
  if (argc < 1 || argc > 2 || argv[0] == nullptr)
    return MoreSecErrorToHelperToolResult(kHelperToolNotRootErr);
  // The connection is standard input and output: keep descriptors 0 to 2.
  int err = MoreSecDestroyInheritedEnvironment(kMoreSecKeepStandardFilesMask, argv);
  // The reset put every signal back to default: ignore SIGPIPE again afterwards.
  if (err == 0) err = MoreUNIXIgnoreSIGPIPE();
  if (err == 0)
    err = MoreSecHelperToolMainWithGate(0, 1, MoreSecHelperToolCopyAuthRef(),
                                        TVLQCAuthorizationGate, TVLQCCommandProc, argc, argv);
  return MoreSecErrorToHelperToolResult(err);
}

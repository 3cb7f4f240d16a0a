// TVLQCSecureToolTemplate: the helper tool. Its root-owned set-user-ID working copy is
// started by the controller with the connection on standard input and output, serves
// one request and exits with the status of the exchange.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "common/CommandLine.h"
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

namespace {

const commandline::About kAbout{
    "TVLQCSecureToolTemplate", "TVLQCSecureToolTemplate",
    "The helper tool of the Mac Tovalo status menu (TVLQC). The status menu copies it to\n"
    "~/.local/share/NRVK/.TVLQCSecureTool, has that copy made root-owned and set-user-ID\n"
    "through pkexec, and starts the copy for each change of the Auto Tovalo service, with\n"
    "a connection on standard input and output. The tool checks an administrator's\n"
    "authorization with polkit, serves that one request and exits. It takes no\n"
    "arguments and is not meant to be started by hand.\n"};

// The controller starts the tool with a socket pair on standard input and output; a person
// at a terminal does not. Only a person is told why the tool did nothing: the controller's
// side of the exchange stays exactly as it was.
void explainToAPerson(const char* why) {
  struct stat in {};
  if (::fstat(STDIN_FILENO, &in) == 0 && S_ISSOCK(in.st_mode)) return;
  const char* lines[] = {"TVLQCSecureToolTemplate: ", why,
                         "\nIt serves the Mac Tovalo status menu (TVLQC), which starts its "
                         "root-owned set-user-ID copy; see --help.\n"};
  for (const char* line : lines)
    if (::write(STDERR_FILENO, line, std::strlen(line)) < 0) return;
}

}  // namespace

int main(int argc, char* argv[]) {
  // Before anything else, and touching nothing: a constant text on standard output.
  if (auto status = commandline::answer(argc, argv, kAbout)) return *status;
  // Anything but the one argument the controller passes is refused before any work.
  if (argc < 1 || argc > 2 || argv[0] == nullptr) {
    explainToAPerson("it takes no arguments.");
    return MoreSecErrorToHelperToolResult(kHelperToolNotRootErr);
  }
  // The connection is standard input and output: keep descriptors 0 to 2.
  int err = MoreSecDestroyInheritedEnvironment(kMoreSecKeepStandardFilesMask, argv);
  // The reset put every signal back to default: ignore SIGPIPE again afterwards.
  if (err == 0) err = MoreUNIXIgnoreSIGPIPE();
  if (err == 0)
    err = MoreSecHelperToolMainWithGate(0, 1, MoreSecHelperToolCopyAuthRef(),
                                        TVLQCAuthorizationGate, TVLQCCommandProc, argc, argv);
  if (err == kHelperToolNotRootErr)
    explainToAPerson(argc == 2 ? "it takes no arguments."
                               : "it works only as a root-owned set-user-ID copy.");
  else if (err != 0)
    explainToAPerson("it read no request from TVLQC on its standard input.");
  return MoreSecErrorToHelperToolResult(err);
}

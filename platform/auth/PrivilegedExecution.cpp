// Running a tool with root's privileges for the controller: through pkexec, or directly
// when the caller is root already. Apart from the rights check, since the set-user-ID tool
// checks rights but never starts anything this way.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/auth/Authorization.h"

namespace tvl::auth {

int PrivilegedProcess::close(int* status) {
  int err = 0;
  if (stream != nullptr && std::fclose(stream) != 0) err = errno;
  stream = nullptr;
  if (pid > 0) {
    int waitStatus = 0;
    pid_t done;
    do {
      done = ::waitpid(pid, &waitStatus, 0);
    } while (done < 0 && errno == EINTR);
    if (done < 0 && err == 0) err = errno;
    if (status) *status = waitStatus;
    pid = -1;
  }
  return err;
}

int AuthorizationExecuteWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                       AuthorizationFlags options, char* const* arguments,
                                       PrivilegedProcess* process) {
  if (authorization == nullptr || pathToTool == nullptr || process == nullptr ||
      options != kAuthorizationFlagDefaults)
    return EINVAL;
  bool direct = ::geteuid() == 0;
  std::vector<const char*> argv;
  if (!direct) {
    argv.push_back("pkexec");
  }
  argv.push_back(pathToTool);
  for (char* const* a = arguments; a && *a; ++a) argv.push_back(*a);
  argv.push_back(nullptr);
  const char* program = direct ? pathToTool : "/usr/bin/pkexec";

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return errno;
  pid_t pid = ::fork();
  if (pid < 0) {
    int err = errno;
    ::close(pair[0]);
    ::close(pair[1]);
    return err;
  }
  if (pid == 0) {
    // The child: only async-signal-safe calls until exec. With standard input or
    // output closed in the caller the pair sits on 0 or 1: the copy above 2 makes both
    // dup2 calls real, so that neither keeps close-on-exec.
    int side = ::fcntl(pair[1], F_DUPFD_CLOEXEC, 3);
    if (side < 0 || ::dup2(side, 0) < 0 || ::dup2(side, 1) < 0) ::_exit(127);
    ::execv(program, const_cast<char* const*>(argv.data()));
    ::_exit(127);
  }
  ::close(pair[1]);
  FILE* stream = ::fdopen(pair[0], "r+");
  if (stream == nullptr) {
    int err = errno;
    ::close(pair[0]);
    PrivilegedProcess reap{nullptr, pid, !direct};
    reap.close(nullptr);
    return err;
  }
  *process = {stream, pid, !direct};
  return 0;
}

}  // namespace tvl::auth

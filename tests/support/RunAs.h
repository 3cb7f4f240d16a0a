// Running a piece of a test in a child process as another user, for the tests that cross
// the privilege boundary (the test itself runs as root).
#pragma once

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tvltest {

struct User {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};

inline std::optional<User> lookUpUser(const char* name) {
  const passwd* pw = ::getpwnam(name);
  if (!pw) return std::nullopt;
  return User{pw->pw_uid, pw->pw_gid, pw->pw_dir};
}

// Drops the calling process to the user for good (real, effective and saved ids).
inline bool becomeUser(const char* name) {
  auto user = lookUpUser(name);
  return user && ::initgroups(name, user->gid) == 0 && ::setgid(user->gid) == 0 &&
         ::setuid(user->uid) == 0;
}

// Runs body in a forked child as user (or as root when user is null) and returns the int
// it produced; nullopt when the child could not drop privileges or died without
// answering. Only the child's result crosses back, through a pipe.
inline std::optional<int64_t> runAs(const char* user, const std::function<int64_t()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  pid_t pid = ::fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    ::close(fds[0]);
    if (user && !becomeUser(user)) ::_exit(126);
    int64_t result = body();
    bool written = ::write(fds[1], &result, sizeof result) == sizeof result;
    ::_exit(written ? 0 : 125);
  }
  ::close(fds[1]);
  int64_t result = 0;
  ssize_t n = ::read(fds[0], &result, sizeof result);
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (n != sizeof result || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return result;
}

// As runAs, with a text as the child's answer (read to the end of the pipe).
inline std::optional<std::string> runAsText(const char* user,
                                            const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  pid_t pid = ::fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    ::close(fds[0]);
    if (user && !becomeUser(user)) ::_exit(126);
    std::string text = body();
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
      if (n <= 0) ::_exit(125);
      done += size_t(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buffer, size_t(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return text;
}

}  // namespace tvltest

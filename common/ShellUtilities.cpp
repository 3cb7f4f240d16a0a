#include "common/ShellUtilities.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

extern char** environ;

namespace tvl::common {

namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

// Drops the last character: one byte, or a whole UTF-8 sequence when the text ends in one.
void dropLastCharacter(std::string& text) {
  size_t cut = text.size() - 1;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
}

}  // namespace

std::string doShellWithCommand(const std::string& command) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return "";
  Fd readEnd{pipeFds[0]}, writeEnd{pipeFds[1]};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, STDOUT_FILENO);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = -1;
  int spawned =
      ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  writeEnd.reset();  // the child holds the only write end now: EOF comes when it is done
  if (spawned != 0) return "";

  std::string output;
  std::array<char, 4096> buffer;
  for (;;) {
    ssize_t n = ::read(readEnd.fd, buffer.data(), buffer.size());
    if (n > 0)
      output.append(buffer.data(), static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR)
      break;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || output.empty()) return "";
  dropLastCharacter(output);
  return output;
}

std::string escapeForDoubleQuotes(const std::string& text) {
  std::string quoted;
  for (char c : text) {
    if (c == '$' || c == '`' || c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted;
}

bool runningStateForApplication(const std::string& name) {
  // procps' equivalent of a listing of every process's command name, without a header.
  std::string listing =
      doShellWithCommand("ps -e -o comm= | grep \"" + escapeForDoubleQuotes(name) + "\"");
  return listing.find(name) != std::string::npos;
}

std::string returnPIDForProcess(const std::string& text) {
  // Full command lines with the process id first; the sed keeps the leading digits.
  return doShellWithCommand("/bin/ps -eww -o pid=,args= | grep \"" + escapeForDoubleQuotes(text) +
                            "\" | grep -v grep | sed -n 's/^[ ]*\\([0-9]*\\)[ ]*.*$/\\1/p'");
}

std::optional<std::chrono::system_clock::time_point> creationDateForFile(const std::string& path) {
  struct statx sx;
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &sx) != 0) return std::nullopt;
  if (!(sx.stx_mask & STATX_BTIME)) return std::nullopt;  // the file system keeps none
  using namespace std::chrono;
  return system_clock::time_point(duration_cast<system_clock::duration>(
      seconds(sx.stx_btime.tv_sec) + nanoseconds(sx.stx_btime.tv_nsec)));
}

std::optional<std::string> formatSeconds(uint64_t seconds) {
  // The thresholds are compared in single precision, as the clock text always was.
  float asFloat = static_cast<float>(seconds);
  char text[64];
  if (asFloat < 60)
    std::snprintf(text, sizeof text, "0:%02d", static_cast<int>(seconds));
  else if (asFloat < 3600)
    std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(seconds / 60),
                  static_cast<int>(seconds % 60));
  else if (asFloat < 86400)
    std::snprintf(text, sizeof text, "%d:%02d:%02d", static_cast<int>(seconds / 3600),
                  static_cast<int>((seconds / 60) % 60), static_cast<int>(seconds % 60));
  else
    return std::nullopt;
  return std::string(text);
}

}  // namespace tvl::common

// A real child process for tests, started from argv and ended (SIGKILL + reap) when the
// object goes away. `named` starts a copy of a program under another file name, so the
// kernel's command name is the one the test chose.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/Polling.h"

extern char** environ;

namespace testsupport {

class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (::posix_spawn(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) pid_ = -1;
  }
  // Copies program into dir under the file name name and runs it with args.
  static ChildProcess named(const std::filesystem::path& dir, const std::string& name,
                            const std::string& program, std::vector<std::string> args) {
    auto path = dir / name;
    std::filesystem::copy_file(program, path, std::filesystem::copy_options::overwrite_existing);
    args.insert(args.begin(), path.string());
    return ChildProcess(std::move(args));
  }
  ChildProcess(ChildProcess&& o) noexcept : pid_(o.pid_), status_(o.status_) { o.pid_ = -1; }
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess() { stop(); }

  pid_t pid() const { return pid_; }
  // The wait status once the process has ended by itself (it is reaped then), or none if
  // it still runs after the limit.
  std::optional<int> waitForExit(std::chrono::milliseconds limit) {
    if (status_) return status_;
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status_ = status;
      }
      if (pid_ <= 0 || std::chrono::steady_clock::now() >= end) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Waits until the process has exec'd (its /proc entry shows the new program), so that a
// lookup right after start sees its final name.
inline bool waitUntilExecuted(pid_t pid, const std::string& expectedComm) {
  for (int i = 0; i < 500; ++i) {
    std::string comm;
    if (FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r")) {
      char buf[64] = {};
      if (std::fgets(buf, sizeof buf, f)) comm = buf;
      std::fclose(f);
    }
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (comm == expectedComm.substr(0, 15)) return true;
    ::usleep(2000);
  }
  return false;
}

}  // namespace testsupport

// What one lookup by name costs: ours beside the least a /proc scan can do (list the
// table, read each comm), and, as whole processes, our lookup tool beside pidof.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "cover/ProcessLookup.h"

using namespace tvl;

extern char** environ;

namespace {

// The name the desktop cover looks for on every tick; normally no process has it.
constexpr const char* kName = "OSXvncserver";

void BM_GetAllPIDsForProcessName(benchmark::State& state) {
  pid_t pids[16];
  unsigned int count = 0;
  for (auto _ : state) {
    int result = GetAllPIDsForProcessName(kName, pids, 16, &count, nullptr);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_GetAllPIDsForProcessName)->Unit(benchmark::kMicrosecond);

// The floor: one pass over /proc reading every comm file, nothing else.
void BM_RawProcScan(benchmark::State& state) {
  for (auto _ : state) {
    int matches = 0;
    DIR* proc = ::opendir("/proc");
    while (const dirent* entry = ::readdir(proc)) {
      if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
      char path[300], comm[64];
      std::snprintf(path, sizeof path, "%s/comm", entry->d_name);
      int fd = ::openat(::dirfd(proc), path, O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      ssize_t n = ::read(fd, comm, sizeof comm - 1);
      ::close(fd);
      if (n > 0 && comm[n - 1] == '\n') --n;
      comm[n > 0 ? n : 0] = '\0';
      if (std::strncmp(comm, kName, 16) == 0) ++matches;
    }
    ::closedir(proc);
    benchmark::DoNotOptimize(matches);
  }
}
BENCHMARK(BM_RawProcScan)->Unit(benchmark::kMicrosecond);

// Starts program with args, output to /dev/null, and waits for it.
void runQuietly(const char* program, const char* arg) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {program, arg, nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, program, &actions, nullptr, const_cast<char**>(argv), environ) == 0)
    ::waitpid(pid, nullptr, 0);
  posix_spawn_file_actions_destroy(&actions);
}

void BM_WholeProcess_LookupTool(benchmark::State& state) {
  for (auto _ : state) runQuietly(TVL_LOOKUP_TOOL, kName);
}
BENCHMARK(BM_WholeProcess_LookupTool)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WholeProcess_Pidof(benchmark::State& state) {
  for (auto _ : state) runQuietly("/usr/bin/pidof", kName);
}
BENCHMARK(BM_WholeProcess_Pidof)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// The round trip of one request through the set-user-ID helper tool, with the
// administrator right already granted by polkit, beside polkit's own check of that right
// (`pkcheck --process`) and a bare `pkexec true`; and the tool's clearing of a huge
// inherited environment.
//
// Runs in the private system of the privileged tests (tests/support/with-private-system),
// which it starts itself when run as root: there it prepares a blessed working copy, then
// drops to the test user tvltest.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "privileged/MoreCFQ.h"
#include "privileged/MoreSecurity.h"
#include "privileged/MoreUNIX.h"

using namespace tvl;

namespace {

// Processor time of the ended children so far, in milliseconds: under a loaded machine the
// wall time of a start is mostly waiting for a core, this is what the start itself costs.
double childrenCpuMs() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Reports the children's processor time per iteration beside the wall time.
class ChildrenCpu {
 public:
  explicit ChildrenCpu(benchmark::State& state) : state_(state), start_(childrenCpuMs()) {}
  ~ChildrenCpu() {
    if (state_.iterations() > 0)
      state_.counters["child_cpu_ms"] = (childrenCpuMs() - start_) / double(state_.iterations());
  }

 private:
  benchmark::State& state_;
  double start_;
};

const char* kTool = "/tmp/tvl-bench/.TVLQCSecureTool";

// Field 22 of /proc/self/stat, counted after the command name's last ')'.
std::string startTimeOfSelf() {
  std::ifstream in("/proc/self/stat");
  std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
  }
  return field;
}

// One request (unloading a property list that is not loaded: a complete, successful
// command), with the calling process's environment as it is.
void helperToolRequests(benchmark::State& state) {
  auth::AuthorizationRef a = nullptr;
  auth::AuthorizationCreate(nullptr, 0, &a);
  auth::UniqueAuthorization owned(a);
  if (auth::AuthorizationCopyRights(a, auth::kAuthorizationRightExecute,
                                    auth::kAuthorizationFlagExtendRights) != 0) {
    state.SkipWithError("the administrator right is not granted");
    return;
  }
  cf::Ref<cf::String> tool = cf::String::create(kTool);
  cf::Ref<cf::Dictionary> request = cf::Dictionary::create();
  request->setValue("task", cf::Number::createSInt32(8).get());
  request->setValue("filename", cf::String::create("com.nrvk.bench.plist").get());
  request->setValue("folder", cf::Number::createSInt32(3).get());
  ChildrenCpu cpu(state);
  for (auto _ : state) {
    cf::Dictionary* response = nullptr;
    int err = MoreSecExecuteRequestInHelperTool(tool.get(), a, request.get(), &response);
    if (err != 0 || MoreSecGetErrorFromResponse(response) != 0) {
      CFQRelease(response);
      state.SkipWithError("the request failed");
      return;
    }
    CFQRelease(response);
  }
}

void BM_HelperToolRequest(benchmark::State& state) {
  helperToolRequests(state);
}
BENCHMARK(BM_HelperToolRequest)->Unit(benchmark::kMillisecond)->UseRealTime();

// A list of n variables, and environ pointing to it while the object lives.
class HugeEnvironment {
 public:
  explicit HugeEnvironment(int n) : saved_(environ) {
    for (int i = 0; i < n; ++i) entries_.push_back("V" + std::to_string(i) + "=x");
    for (auto& e : entries_) list_.push_back(e.data());
    list_.push_back(nullptr);
    environ = list_.data();
  }
  ~HugeEnvironment() { environ = saved_; }
  void install() { environ = list_.data(); }

 private:
  char** saved_;
  std::vector<std::string> entries_;
  std::vector<char*> list_;
};

// The same request from a process with 120,000 environment variables, which the tool
// inherits and clears first.
void BM_HelperToolRequestWith120000Variables(benchmark::State& state) {
  // The kernel takes arguments and environment up to a quarter of the stack limit.
  struct rlimit stack;
  ::getrlimit(RLIMIT_STACK, &stack);
  struct rlimit wide = {std::min<rlim_t>(stack.rlim_max, 64 << 20), stack.rlim_max};
  ::setrlimit(RLIMIT_STACK, &wide);
  {
    HugeEnvironment environment(120000);
    helperToolRequests(state);
  }
  ::setrlimit(RLIMIT_STACK, &stack);
}
BENCHMARK(BM_HelperToolRequestWith120000Variables)->Unit(benchmark::kMillisecond)->UseRealTime();

// The environment reset's clearing of 120,000 variables, on its own.
void BM_ClearEnvironmentOf120000Variables(benchmark::State& state) {
  HugeEnvironment environment(120000);
  for (auto _ : state) {
    environment.install();
    MoreSecDestroyInheritedEnvironment(~0u & ~kMoreSecKeepEnvironmentMask, nullptr);
  }
}
BENCHMARK(BM_ClearEnvironmentOf120000Variables)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Runs a program with its standard streams on /dev/null; its exit status (127: not started).
int runQuietlyWithStatus(const char* const argv[]) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execv(argv[0], const_cast<char* const*>(argv));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool runQuietly(const char* const argv[]) {
  return runQuietlyWithStatus(argv) == 0;
}

// Where a request's time goes, beside the round trip above: starting a program at all,
// starting the set-user-ID tool up to its first read (it finds no authorization on an
// empty input and ends), and starting pkcheck up to its answer to --version.
void BM_ExecTrue(benchmark::State& state) {
  const char* const argv[] = {"/bin/true", nullptr};
  ChildrenCpu cpu(state);
  for (auto _ : state)
    if (!runQuietly(argv)) return state.SkipWithError("/bin/true failed");
}
BENCHMARK(BM_ExecTrue)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HelperToolStartOnly(benchmark::State& state) {
  const char* const argv[] = {kTool, nullptr};
  ChildrenCpu cpu(state);
  for (auto _ : state)
    if (int status = runQuietlyWithStatus(argv); status == 0 || status >= 127)
      return state.SkipWithError("the tool did not start, or took an empty request");
}
BENCHMARK(BM_HelperToolStartOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PkcheckVersion(benchmark::State& state) {
  const char* const argv[] = {"/usr/bin/pkcheck", "--version", nullptr};
  ChildrenCpu cpu(state);
  for (auto _ : state)
    if (!runQuietly(argv)) return state.SkipWithError("pkcheck --version failed");
}
BENCHMARK(BM_PkcheckVersion)->Unit(benchmark::kMillisecond)->UseRealTime();

// polkit's own check of the same right for this process, without the tool: pkcheck asks
// polkitd about the calling process as the tool asks about its parent. The tool's own
// cost is the round trip less this.
void BM_PkcheckProcess(benchmark::State& state) {
  std::string subject = std::to_string(::getpid()) + "," + startTimeOfSelf();
  const char* const argv[] = {"/usr/bin/pkcheck", "--action-id",   auth::kAdminActionID,
                              "--process",        subject.c_str(), nullptr};
  ChildrenCpu cpu(state);
  for (auto _ : state) {
    if (!runQuietly(argv)) {
      state.SkipWithError("pkcheck did not grant the right");
      return;
    }
  }
}
BENCHMARK(BM_PkcheckProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PkexecTrue(benchmark::State& state) {
  const char* const argv[] = {"/usr/bin/pkexec", "/bin/true", nullptr};
  for (auto _ : state) {
    if (!runQuietly(argv)) {
      state.SkipWithError("pkexec true failed");
      return;
    }
  }
}
BENCHMARK(BM_PkexecTrue)->Unit(benchmark::kMillisecond)->UseRealTime();

// Whether this process runs in the private system of the privileged tests, whose fresh
// /tmp and /Library are mounts of its own namespace (on the machine /Library is a plain
// folder): only there may a set-user-ID root copy of the tool be made in /tmp.
bool inPrivateSystem() {
  std::ifstream mounts("/proc/self/mountinfo");
  bool tmp = false, library = false;
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint;
    fields >> id >> parent >> device >> root >> mountPoint;
    tmp = tmp || mountPoint == "/tmp";
    library = library || mountPoint == "/Library";
  }
  return tmp && library;
}

// As root: a blessed copy of the tool; then become tvltest for good.
bool prepare() {
  if (::geteuid() != 0) return std::filesystem::exists(kTool);
  if (!inPrivateSystem()) return false;
  std::filesystem::create_directories("/tmp/tvl-bench");
  ::chmod("/tmp/tvl-bench", 0755);
  std::filesystem::remove(kTool);
  if (MoreUNIXCopyFile(TVL_TOOL_TEMPLATE, kTool) != 0) return false;
  if (::chown(kTool, 0, 0) != 0 || ::chmod(kTool, 04555) != 0) return false;
  const passwd* pw = ::getpwnam("tvltest");
  return pw && ::initgroups("tvltest", pw->pw_gid) == 0 && ::setgid(pw->pw_gid) == 0 &&
         ::setuid(pw->pw_uid) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Started as root on the machine itself (scripts/bench does): the copy it makes would be
  // a set-user-ID root program left in the machine's /tmp. Run inside the private system.
  if (::geteuid() == 0 && !inPrivateSystem()) {
    std::vector<char*> args{const_cast<char*>(TVL_PRIVATE_SYSTEM)};
    args.insert(args.end(), argv, argv + argc);
    args.push_back(nullptr);
    ::execv(TVL_PRIVATE_SYSTEM, args.data());
    std::perror(TVL_PRIVATE_SYSTEM);
    return 1;
  }
  MoreUNIXIgnoreSIGPIPE();
  gMoreSecLogInteractions = false;
  if (!prepare()) {
    std::fprintf(stderr, "run as root inside tests/support/with-private-system\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// The round trip of one request through the set-user-ID helper tool, with the
// administrator right already granted by polkit, beside a bare `pkexec true`.
//
// Needs the private system of the privileged tests:
//   tests/support/with-private-system build/normal/bench/helpertool/helpertool_bench
// It prepares a blessed working copy as root, then drops to the test user tvltest.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "privileged/MoreCFQ.h"
#include "privileged/MoreSecurity.h"
#include "privileged/MoreUNIX.h"

namespace {

const char* kTool = "/tmp/tvl-bench/.TVLQCSecureTool";

void BM_HelperToolRequest(benchmark::State& state) {
  auth::AuthorizationRef a = nullptr;
  auth::AuthorizationCreate(nullptr, 0, &a);
  auth::UniqueAuthorization owned(a);
  if (auth::AuthorizationCopyRights(a, auth::kAuthorizationRightExecute,
                                    auth::kAuthorizationFlagExtendRights) != 0) {
    state.SkipWithError("the administrator right is not granted");
    return;
  }
  cf::Ref<cf::String> tool = cf::String::create(kTool);
  // Unloading a property list that is not loaded: a complete, successful command.
  cf::Ref<cf::Dictionary> request = cf::Dictionary::create();
  request->setValue("task", cf::Number::createSInt32(8).get());
  request->setValue("filename", cf::String::create("com.nrvk.bench.plist").get());
  request->setValue("folder", cf::Number::createSInt32(3).get());
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
BENCHMARK(BM_HelperToolRequest)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PkexecTrue(benchmark::State& state) {
  for (auto _ : state) {
    pid_t pid = ::fork();
    if (pid == 0) {
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::execl("/usr/bin/pkexec", "pkexec", "/bin/true", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("pkexec true failed");
      return;
    }
  }
}
BENCHMARK(BM_PkexecTrue)->Unit(benchmark::kMillisecond)->UseRealTime();

// As root: a blessed copy of the tool; then become tvltest for good.
bool prepare() {
  if (::geteuid() != 0) return std::filesystem::exists(kTool);
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

// Ending a loaded daemon's process group, with real processes. A process that even
// SIGKILL cannot end (uninterruptible sleep) cannot be made on purpose in a test: a
// signal sender that delivers nothing stands in for it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "helpertool/TVLQCCommandProcedure.h"
#include "platform/auth/Authorization.h"

using namespace tvl;

namespace {

using std::chrono::milliseconds;

// A child in a process group of its own that waits to be ended.
struct Sleeper {
  pid_t pid = ::fork();
  uint64_t startTime = 0;
  Sleeper() {
    if (pid == 0) {
      ::setpgid(0, 0);
      ::pause();
      ::_exit(0);
    }
    ::setpgid(pid, pid);
    auth::processStartTime(pid, &startTime);
  }
  ~Sleeper() {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
};

int deliverNothing(pid_t, int) {
  return 0;
}

}  // namespace

TEST(StopProcessGroup, GivesUpOnAProcessThatOutlivesSIGKILLAndEndsAnOrdinaryOne) {
  Sleeper stuck;
  // Unbounded, this call would never come back.
  EXPECT_FALSE(TVLQCStopProcessGroup(stuck.pid, stuck.startTime, milliseconds(50), milliseconds(50),
                                     deliverNothing));

  Sleeper ordinary;
  EXPECT_TRUE(TVLQCStopProcessGroup(ordinary.pid, ordinary.startTime, milliseconds(5000),
                                    milliseconds(5000), ::kill));
}

// The lookup against real processes whose names the tests choose (copies of sleep).
#include "cover/ProcessLookup.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support/ChildProcess.h"
#include "support/Files.h"

using namespace tvl;

using testsupport::ChildProcess;
using testsupport::TempDir;

namespace {

struct Lookup {
  int result;
  std::vector<pid_t> pids;  // the first count entries
  unsigned int count;
};

Lookup lookup(const char* name, unsigned int capacity = 16) {
  std::vector<pid_t> pids(capacity, -7);
  unsigned int count = 99;
  int result = GetAllPIDsForProcessName(name, pids.data(), capacity, &count, nullptr);
  pids.resize(std::min(count, capacity));
  return {result, pids, count};
}

// Runs a copy of sleep named name from dir; two calls with one name run one copy twice.
// Waits until pid's first argument is argv0: the kernel sets the name before the
// arguments during exec, and the lookup may read both.
void waitForFirstArgument(pid_t pid, const std::string& argv0) {
  for (int i = 0; i < 1000; ++i) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::string first;
    std::getline(in, first, '\0');
    if (first == argv0) return;
    ::usleep(2000);
  }
  ADD_FAILURE() << "process " << pid << " never ran " << argv0;
}

ChildProcess sleeper(const TempDir& dir, const std::string& name) {
  auto path = dir.path() / name;
  if (!std::filesystem::exists(path)) std::filesystem::copy_file("/bin/sleep", path);
  ChildProcess p({path.string(), "60"});
  EXPECT_TRUE(testsupport::waitUntilExecuted(p.pid(), name)) << name;
  waitForFirstArgument(p.pid(), path.string());
  return p;
}

std::string readComm(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string comm;
  std::getline(in, comm);
  return comm;
}

// A child of this test that gives itself a new kernel name, as programs that rename
// themselves do, then waits to be killed.
class RenamedChild {
 public:
  explicit RenamedChild(const char* name) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_NAME, name);
      for (;;) ::pause();
    }
    std::string expected = std::string(name).substr(0, 15);
    for (int i = 0; i < 500 && readComm(pid_) != expected; ++i) ::usleep(2000);
  }
  ~RenamedChild() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

std::string captureOutputOf(const char* name) {
  testing::internal::CaptureStdout();
  getAllPIDsForProcessName(name);
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(GetAllPIDsForProcessName, ShortNamesMatchOnlyTheWholeName) {
  TempDir dir;
  ChildProcess p = sleeper(dir, "tvlOSXvncsrv");
  EXPECT_EQ(lookup("tvlOSXvncsrv").pids, std::vector<pid_t>{p.pid()});
  EXPECT_EQ(lookup("tvlOSXvnc").result, kProcessLookupNotFound);
  EXPECT_EQ(lookup("tvlOSXvncsrvX").result, kProcessLookupNotFound);
  EXPECT_EQ(GetPIDForProcessName("tvlOSXvncsrv"), p.pid());
  p.stop();
  EXPECT_EQ(lookup("tvlOSXvncsrv").result, kProcessLookupNotFound);
  EXPECT_EQ(GetPIDForProcessName("tvlOSXvncsrv"), -1);
}

TEST(GetAllPIDsForProcessName, SixteenCharacterNameNeedsItsSixteenthCharacter) {
  // The kernel keeps "tvlLookup16char"; the 16th character tells these two apart.
  TempDir dir;
  ChildProcess sixteen = sleeper(dir, "tvlLookup16chars");
  ChildProcess fifteen = sleeper(dir, "tvlLookup16char");
  EXPECT_EQ(lookup("tvlLookup16chars").pids, std::vector<pid_t>{sixteen.pid()});
  EXPECT_EQ(lookup("tvlLookup16char").pids, std::vector<pid_t>{fifteen.pid()});
  // Only 16 characters of the wanted name count.
  EXPECT_EQ(lookup("tvlLookup16charsAndMore").pids, std::vector<pid_t>{sixteen.pid()});
  EXPECT_EQ(lookup("tvlLookup16charX").result, kProcessLookupNotFound);
}

TEST(GetAllPIDsForProcessName, LongerNamesCompareOnSixteenCharacters) {
  TempDir dir;
  ChildProcess p = sleeper(dir, "tvlLookupLongerName-abc");
  EXPECT_EQ(lookup("tvlLookupLongerName-abc").pids, std::vector<pid_t>{p.pid()});
  EXPECT_EQ(lookup("tvlLookupLongerN").pids, std::vector<pid_t>{p.pid()});
  EXPECT_EQ(lookup("tvlLookupLongerName-xyz").pids, std::vector<pid_t>{p.pid()});
  EXPECT_EQ(lookup("tvlLookupLonger").result, kProcessLookupNotFound);
  EXPECT_EQ(lookup("tvlLookupLongerX").result, kProcessLookupNotFound);
}

TEST(GetAllPIDsForProcessName, SixteenthCharacterComesFromTheFirstArgumentThroughALink) {
  // Started through a link: the executable link names the target, which does not agree
  // with the kernel's name, so the first argument's file name gives the 16th character.
  TempDir dir;
  std::filesystem::copy_file("/bin/sleep", dir.path() / "realsleeper");
  auto link = dir.path() / "tvlLookupViaLinkName";
  std::filesystem::create_symlink(dir.path() / "realsleeper", link);
  ChildProcess p({link.string(), "60"});
  ASSERT_TRUE(testsupport::waitUntilExecuted(p.pid(), "tvlLookupViaLinkName"));
  waitForFirstArgument(p.pid(), link.string());
  EXPECT_EQ(lookup("tvlLookupViaLink").pids, std::vector<pid_t>{p.pid()});
  EXPECT_EQ(lookup("tvlLookupViaLin").result, kProcessLookupNotFound);
  EXPECT_EQ(lookup("realsleeper").result, kProcessLookupNotFound);
}

TEST(GetAllPIDsForProcessName, ProgramThatRenamedItselfGoesByItsNewName) {
  // Neither the executable nor the first argument begins with the chosen name, so the
  // name is the kernel's 15 characters.
  RenamedChild child("tvlRenamedItself");
  EXPECT_EQ(lookup("tvlRenamedItsel").pids, std::vector<pid_t>{child.pid()});
  EXPECT_EQ(lookup("tvlRenamedItself").result, kProcessLookupNotFound);
}

TEST(GetAllPIDsForProcessName, EmptyNameIsValidAndMatchesOnlyAnEmptyName) {
  RenamedChild child("");
  Lookup found = lookup("");
  EXPECT_EQ(found.result, kProcessLookupFound);
  EXPECT_NE(std::find(found.pids.begin(), found.pids.end(), child.pid()), found.pids.end());
  for (pid_t pid : found.pids) EXPECT_EQ(readComm(pid), "") << pid;
}

TEST(GetAllPIDsForProcessName, TwoMatchesAndRoomForOne) {
  TempDir dir;
  ChildProcess a = sleeper(dir, "tvlLookupTwin");
  ChildProcess b = sleeper(dir, "tvlLookupTwin");
  pid_t first = std::min(a.pid(), b.pid()), second = std::max(a.pid(), b.pid());

  Lookup one = lookup("tvlLookupTwin", 1);
  EXPECT_EQ(one.result, kProcessLookupTooMany);
  EXPECT_EQ(one.count, 1u);
  EXPECT_EQ(one.pids, std::vector<pid_t>{first});
  EXPECT_EQ(GetPIDForProcessName("tvlLookupTwin"), -1);

  // With room, both in table order, and the unused entries cleared.
  std::vector<pid_t> pids(4, -7);
  unsigned int count = 0;
  int error = -7;
  EXPECT_EQ(GetAllPIDsForProcessName("tvlLookupTwin", pids.data(), 4, &count, &error),
            kProcessLookupFound);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(pids, (std::vector<pid_t>{first, second, 0, 0}));
  EXPECT_EQ(error, 0);
}

TEST(GetAllPIDsForProcessName, InvalidArgumentsTouchNothing) {
  pid_t pids[3] = {-7, -7, -7};
  unsigned int count = 42;
  int error = 42;
  EXPECT_EQ(GetAllPIDsForProcessName(nullptr, pids, 3, &count, &error), kProcessLookupBadArguments);
  EXPECT_EQ(GetAllPIDsForProcessName("bash", nullptr, 3, &count, &error),
            kProcessLookupBadArguments);
  EXPECT_EQ(GetAllPIDsForProcessName("bash", pids, 3, nullptr, &error), kProcessLookupBadArguments);
  EXPECT_EQ(GetAllPIDsForProcessName("bash", pids, 0, &count, &error), kProcessLookupBadArguments);
  EXPECT_EQ(pids[0], -7);
  EXPECT_EQ(pids[2], -7);
  EXPECT_EQ(count, 42u);
  EXPECT_EQ(error, 42);
  EXPECT_EQ(GetPIDForProcessName(nullptr), -1);
}

TEST(GetAllPIDsForProcessName, PidZeroNeverMatches) {
  // The idle task (pid 0, "swapper/0") is no process of the table.
  EXPECT_EQ(lookup("swapper/0").result, kProcessLookupNotFound);
  EXPECT_EQ(getUIDForPID(0), kNoProcessUID);
}

TEST(GetAllPIDsForProcessNameOutput, PrintsEachOutcomeExactly) {
  TempDir dir;
  ChildProcess a = sleeper(dir, "tvlLookupPrint");
  ChildProcess b = sleeper(dir, "tvlLookupPrint");
  pid_t first = std::min(a.pid(), b.pid()), second = std::max(a.pid(), b.pid());
  EXPECT_EQ(captureOutputOf("tvlLookupPrint"), "tvlLookupPrint PID(s):    \t" +
                                                   std::to_string(first) + ", " +
                                                   std::to_string(second) + "\n");
  EXPECT_EQ(captureOutputOf("tvlLookupNobody"), "Process Not Found:\t\"tvlLookupNobody\"\n");
  EXPECT_EQ(captureOutputOf(nullptr), "Other Error Getting PID.  Error Code: -2\n\n");
}

TEST(GetUIDForPID, ReadsTheEffectiveUserOfALiveProcess) {
  EXPECT_EQ(getUIDForPID(::getpid()), ::geteuid());
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to start a process as another user";
  // Real user root, effective user nobody (65534): the effective one counts.
  ChildProcess p({"/usr/bin/setpriv", "--ruid=0", "--euid=65534", "/bin/sleep", "60"});
  ASSERT_TRUE(testsupport::waitUntilExecuted(p.pid(), "sleep"));
  EXPECT_EQ(getUIDForPID(p.pid()), 65534u);
}

TEST(GetUIDForPID, NoProcessIsNeverRoot) {
  pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);
  EXPECT_EQ(getUIDForPID(gone), kNoProcessUID);
  EXPECT_EQ(getUIDForPID(-1), kNoProcessUID);
  EXPECT_NE(kNoProcessUID, 0u);
}

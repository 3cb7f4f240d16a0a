#include "common/ShellUtilities.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/ChildProcess.h"
#include "support/Files.h"

using namespace tvl;

using namespace common;
using testsupport::ChildProcess;
using testsupport::TempDir;

TEST(DoShellWithCommand, DropsTheLastCharacterOfSuccessfulOutputOnly) {
  EXPECT_EQ(doShellWithCommand("echo abc"), "abc");
  EXPECT_EQ(doShellWithCommand("printf abc"), "ab");  // not only a line feed goes
  EXPECT_EQ(doShellWithCommand("printf 'a\\nb\\n'"), "a\nb");
  EXPECT_EQ(doShellWithCommand("echo partial; exit 3"), "");
  EXPECT_EQ(doShellWithCommand("true"), "");
  EXPECT_EQ(doShellWithCommand("echo x | grep y"), "");  // the last command's status counts
}

TEST(DoShellWithCommand, KeepsNonAsciiOutputAndCutsAWholeLastCharacter) {
  EXPECT_EQ(doShellWithCommand("printf 'caf\\303\\251\\n'"), "caf\xC3\xA9");
  EXPECT_EQ(doShellWithCommand("printf 'caf\\303\\251'"), "caf");
}

TEST(DoShellWithCommand, OutputLargerThanThePipeArrivesWhole) {
  EXPECT_EQ(doShellWithCommand("head -c 200000 /dev/zero | tr '\\0' a; echo").size(), 200000u);
}

TEST(RunningStateForApplication, MatchesCommandNamesBySubstring) {
  TempDir dir;
  ChildProcess sleeper = ChildProcess::named(dir.path(), "tvlsleeper42", "/bin/sleep", {"30"});
  ASSERT_TRUE(testsupport::waitUntilExecuted(sleeper.pid(), "tvlsleeper42"));
  EXPECT_TRUE(runningStateForApplication("tvlsleeper42"));
  EXPECT_TRUE(runningStateForApplication("sleeper4"));
  EXPECT_FALSE(runningStateForApplication("tvl-no-such-process"));
  sleeper.stop();
  EXPECT_FALSE(runningStateForApplication("tvlsleeper42"));
}

TEST(RunningStateForApplication, ANameCannotInjectShellCommands) {
  TempDir dir;
  auto marker = dir.path() / "injected";
  std::string name = "x\"; touch " + marker.string() + "; echo \"$(touch " + marker.string() + ")`";
  EXPECT_FALSE(runningStateForApplication(name));
  EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(ReturnPIDForProcess, ListsEveryMatchingCommandLineInOrder) {
  EXPECT_EQ(returnPIDForProcess("tvl-token-nobody-has-9431"), "");
  TempDir dir;  // the token is in the program's path, so in its command line
  ChildProcess a = ChildProcess::named(dir.path(), "tvl-token-7731-a", "/bin/sleep", {"30"});
  ChildProcess b = ChildProcess::named(dir.path(), "tvl-token-7731-b", "/bin/sleep", {"30"});
  // Wait until both shells run their command line.
  for (int i = 0; i < 500 && returnPIDForProcess("tvl-token-7731").find('\n') == std::string::npos;
       ++i)
    ::usleep(2000);
  std::string expected = std::to_string(std::min(a.pid(), b.pid())) + "\n" +
                         std::to_string(std::max(a.pid(), b.pid()));
  EXPECT_EQ(returnPIDForProcess("tvl-token-7731"), expected);
}

TEST(FormatSeconds, EveryBoundary) {
  EXPECT_EQ(formatSeconds(0), "0:00");
  EXPECT_EQ(formatSeconds(59), "0:59");
  EXPECT_EQ(formatSeconds(60), "1:00");
  EXPECT_EQ(formatSeconds(3599), "59:59");
  EXPECT_EQ(formatSeconds(3600), "1:00:00");
  EXPECT_EQ(formatSeconds(3661), "1:01:01");
  EXPECT_EQ(formatSeconds(86399), "23:59:59");
  EXPECT_EQ(formatSeconds(86400), std::nullopt);
  EXPECT_EQ(formatSeconds(UINT64_MAX), std::nullopt);
}

TEST(CreationDateForFile, BirthTimeOrNone) {
  EXPECT_EQ(creationDateForFile("/nonexistent/tvl/file"), std::nullopt);
  TempDir dir;
  auto before = std::chrono::system_clock::now() - std::chrono::seconds(1);
  std::ofstream(dir.path() / "f") << "x";
  auto after = std::chrono::system_clock::now() + std::chrono::seconds(1);
  auto created = creationDateForFile((dir.path() / "f").string());
  if (created) {  // file systems without birth times give none, which is right for them
    EXPECT_GE(*created, before);
    EXPECT_LE(*created, after);
  }
  // Changing the file later does not move its birth time.
  ::sleep(1);
  std::ofstream(dir.path() / "f", std::ios::app) << "y";
  EXPECT_EQ(creationDateForFile((dir.path() / "f").string()), created);
}

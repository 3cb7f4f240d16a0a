// NSLog writes one line per message to standard error (and the system log).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/system/Log.h"

using namespace tvl;

namespace {

std::string logged(void (*call)()) {
  testing::internal::CaptureStderr();
  call();
  return testing::internal::GetCapturedStderr();
}

TEST(NSLog, OneLineWithProgramAndProcess) {
  const std::string line = logged([] { tvl::NSLog("%d items found\n", 2); });
  EXPECT_THAT(line, testing::MatchesRegex(
                        "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}\\.[0-9]{3} system_unit\\[[0-9]+\\] "
                        "2 items found\n"));
  EXPECT_THAT(line, testing::HasSubstr("[" + std::to_string(getpid()) + "] "));
}

TEST(NSLog, AddsTheLineEndOnlyWhenMissing) {
  EXPECT_THAT(logged([] { tvl::NSLog("Error modifying item: %d", -25300); }),
              testing::EndsWith("] Error modifying item: -25300\n"));
  EXPECT_THAT(logged([] { tvl::NSLog("%s", ""); }), testing::EndsWith("] \n"));
}

TEST(NSLog, LongMessagesAreWhole) {
  static const std::string big(10000, 'x');
  EXPECT_THAT(logged([] { tvl::NSLog("<%s>", big.c_str()); }),
              testing::EndsWith("<" + big + ">\n"));
}

TEST(NSLog, LeavesErrnoAlone) {
  errno = EACCES;
  logged([] { tvl::NSLog("message"); });
  EXPECT_EQ(errno, EACCES);
}

}  // namespace

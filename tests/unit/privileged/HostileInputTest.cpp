// What a hostile caller can hand the helper tool before anything else happens: a request
// frame shaped to exhaust the reader, and an environment as large as the kernel allows.
// Each case runs in a child under the tool's own limits (the environment reset's), and
// the child must answer, not die.
#include <gtest/gtest.h>

#include <alloca.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "privileged/MoreCFQ.h"
#include "privileged/MoreSecurity.h"
#include "privileged/MoreUNIX.h"

using namespace tvl;

using cf::Ref;

namespace {

constexpr size_t kFrameMax = 1 << 20;

// Runs body in a child; its exit status, or 200 + the signal that ended it.
int inChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  out.reserve(s.size() * size_t(n));
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

std::string plist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body +
         "</plist>\n";
}

// A request dictionary around value, nested n deep by the given open and close tags.
std::string nested(const std::string& open, const std::string& close, int n) {
  return plist("<dict><key>task</key><integer>99</integer><key>v</key>" + repeat(open, n) +
               "<true/>" + repeat(close, n) + "</dict>");
}

std::string manyKeys(int n) {
  std::string body = "<dict>";
  for (int i = 0; i < n; ++i) body += "<key>k" + std::to_string(i) + "</key><true/>";
  return plist(body + "</dict>");
}

// In a child under the tool's limits (data, stack, descriptors: the environment reset's),
// reads the frame that make builds and hands the result to check. The frame waits in a
// memory file, so that only what the reader itself builds counts against the data limit.
int readFrameInChild(const std::function<std::string()>& make,
                     const std::function<bool(int, const cf::Dictionary*)>& check) {
  return inChild([&] {
    int fd = ::memfd_create("frame", MFD_CLOEXEC);
    {
      std::string xml = make();
      uint32_t length = uint32_t(xml.size());
      if (fd < 0 || xml.size() > kFrameMax || ::write(fd, &length, 4) != 4 ||
          ::write(fd, xml.data(), xml.size()) != ssize_t(xml.size()) ||
          ::lseek(fd, 0, SEEK_SET) != 0)
        return 1;
    }
    if (MoreUNIXIgnoreSIGPIPE() != 0 ||
        MoreSecDestroyInheritedEnvironment(~0u & ~kMoreSecKeepResourceLimitsMask, nullptr) != 0)
      return 2;
    cf::Dictionary* dict = nullptr;
    int err = CopyDictionaryFromDescriptor(fd, &dict);
    Ref<cf::Dictionary> owned = Ref<cf::Dictionary>::adopt(dict);
    return check(err, dict) ? 0 : 3;
  });
}

// Runs body with about bytes more of the stack in use: what a caller's large environment
// does to the tool, whose stack starts below it.
[[gnu::noinline]] int belowOnTheStack(size_t bytes, const std::function<int()>& body) {
  volatile char* area = static_cast<volatile char*>(::alloca(bytes));
  for (size_t offset = 0; offset < bytes; offset += 4096) area[offset] = 1;
  return body() + area[0] - 1;
}

}  // namespace

TEST(HostileFrames, DeepOrHugeFramesAreRefusedUnderTheToolsLimitsWhateverTheSpelling) {
  // Nesting spelled past a literal-tag guard, and the shapes that exhaust memory (the
  // other spellings: cf_unit, and the blessed tool in helpertool_input_privileged).
  const std::vector<std::pair<const char*, std::function<std::string()>>> refused = {
      {"arrays with a space", [] { return nested("<array >", "</array>", 16000); }},
      {"dictionaries with a space", [] { return nested("<dict ><key>k</key>", "</dict>", 16000); }},
      {"one level beyond the limit", [] { return nested("<array >", "</array>", 62); }},
      {"self-closing arrays",
       [] {
         return plist("<dict><key>v</key><array>" + repeat("<array/>", 100000) + "</array></dict>");
       }},
      {"array items",
       [] {
         return plist("<dict><key>v</key><array>" + repeat("<true/>", 100000) + "</array></dict>");
       }},
      {"keys", [] { return manyKeys(30000); }},
  };
  for (const auto& [what, make] : refused) {
    int result = readFrameInChild(make, [](int err, const cf::Dictionary* dict) {
      return err == coreFoundationUnknownErr && !dict;
    });
    EXPECT_EQ(result, 0) << what;
  }

  // What stays inside the bounds is read, however spelled, in the same tight memory.
  const std::vector<std::pair<std::function<std::string()>, size_t>> accepted = {
      {[] { return nested("<array  a=\"x\"\t>", "</array\n>", 1); }, 2},
      {[] { return nested("<array >", "</array>", 61); }, 2},  // one level below the limit
      {[] { return manyKeys(4990); }, 4990},                   // ten elements below the limit
  };
  for (const auto& [make, count] : accepted) {
    int result = readFrameInChild(make, [count = count](int err, const cf::Dictionary* dict) {
      return err == 0 && dict && dict->count() == count;
    });
    EXPECT_EQ(result, 0) << count;
  }
}

TEST(HostileEnvironment, AHundredAndTwentyThousandVariablesAreAllCleared) {
  int result = inChild([] {
    // Built in place: setenv itself searches the list, so making the list with it is slow.
    std::vector<std::string> entries;
    for (int i = 0; i < 120000; ++i) entries.push_back("V" + std::to_string(i) + "=x");
    entries.push_back("V7=second");  // a name twice
    entries.push_back("NOEQUALS");   // no value at all
    entries.push_back("=nameless");  // no name
    std::vector<char*> list;
    for (auto& e : entries) list.push_back(e.data());
    list.push_back(nullptr);
    environ = list.data();
    // A quadratic clear takes tens of seconds here; a linear one, milliseconds. The CPU
    // limit only turns a regression into a failure instead of a slow pass.
    struct rlimit cpu = {10, 10};
    if (::setrlimit(RLIMIT_CPU, &cpu) != 0) return 1;
    if (MoreSecDestroyInheritedEnvironment(~0u & ~kMoreSecKeepEnvironmentMask, nullptr) != 0)
      return 2;
    if (environ != nullptr && environ[0] != nullptr) return 3;
    if (::getenv("V7") || ::getenv("V119999") || ::getenv("NOEQUALS")) return 4;
    // The list is usable afterwards, with nothing of the old one in it.
    if (::setenv("PATH", "/usr/bin:/bin", 1) != 0 || !environ || !environ[0] || environ[1])
      return 5;
    return 0;
  });
  EXPECT_EQ(result, 0);
}

TEST(HostileEnvironment, TheToolsStackLimitLeavesItsFramesRoomBelowAHugeEnvironment) {
  // 3 MiB already in use at the stack's top, like a 3 MiB environment; after the reset the
  // tool must still have its 512 KiB for its own frames (less a margin for these).
  int result = inChild([] {
    return belowOnTheStack(3 << 20, [] {
      if (MoreSecDestroyInheritedEnvironment(~0u & ~kMoreSecKeepResourceLimitsMask, nullptr) != 0)
        return 1;
      return belowOnTheStack(400 << 10, [] { return 0; });
    });
  });
  EXPECT_EQ(result, 0);
}

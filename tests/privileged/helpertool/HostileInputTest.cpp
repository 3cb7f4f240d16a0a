// The blessed set-user-ID tool against what any local user can send it before the
// authorization matters: frames shaped to exhaust the property-list reader, and a huge
// environment. Runs inside tests/support/with-private-system, as the test user that
// polkit grants the right, so the tool gets as far into the request as it ever does.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/cf/PropertyListXML.h"
#include "privileged/MoreCFQ.h"
#include "privileged/MoreSecurity.h"
#include "privileged/MoreUNIX.h"
#include "support/RunAs.h"

using namespace tvl;

namespace {

const std::string kTool = "/tmp/tvl-input/.TVLQCSecureTool";

std::string repeat(const std::string& s, int n) {
  std::string out;
  out.reserve(s.size() * size_t(n));
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

std::string frame(const std::string& body) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>task</key><integer>99</integer>" +
      body + "</dict></plist>\n";
  uint32_t length = uint32_t(xml.size());
  return std::string(reinterpret_cast<const char*>(&length), 4) + xml;
}

// As tvltest: starts the tool on a socket pair (with extra environment variables when
// asked), sends its own authorization and frameBytes, and reports how the tool ended
// and what it answered: "exit <status>" or "signal <n>", then the response's error
// number, or "none".
std::string exchange(const std::function<std::string()>& makeFrame, int extraVariables = 0) {
  return tvltest::runAsText(
             "tvltest",
             [&]() -> std::string {
               MoreUNIXIgnoreSIGPIPE();
               std::string bytes = makeFrame();
               auth::AuthorizationRef a = nullptr;
               auth::AuthorizationCreate(nullptr, 0, &a);
               auth::UniqueAuthorization owned(a);
               auth::AuthorizationExternalForm form;
               auth::AuthorizationMakeExternalForm(a, &form);
               std::vector<std::string> entries;
               for (int i = 0; i < extraVariables; ++i)
                 entries.push_back("V" + std::to_string(i) + "=x");
               std::vector<char*> envp;
               for (auto& e : entries) envp.push_back(e.data());
               envp.push_back(nullptr);
               // Room on the new stack for that environment (a quarter of the limit).
               struct rlimit stack = {64 << 20, RLIM_INFINITY};
               ::getrlimit(RLIMIT_STACK, &stack);
               stack.rlim_cur = std::min<rlim_t>(stack.rlim_max, 64 << 20);
               ::setrlimit(RLIMIT_STACK, &stack);
               int s[2];
               if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s) != 0) return "socket";
               pid_t pid = ::fork();
               if (pid == 0) {
                 ::dup2(s[1], 0);
                 ::dup2(s[1], 1);
                 ::execle(kTool.c_str(), kTool.c_str(), static_cast<char*>(nullptr), envp.data());
                 ::_exit(99);
               }
               ::close(s[1]);
               // The tool may stop reading early; what it answers is what counts.
               MoreUNIXWrite(s[0], form.bytes, sizeof form.bytes, nullptr);
               MoreUNIXWrite(s[0], bytes.data(), bytes.size(), nullptr);
               ::shutdown(s[0], SHUT_WR);
               cf::Dictionary* response = nullptr;
               int err = CopyDictionaryFromDescriptor(s[0], &response);
               cf::Ref<cf::Dictionary> owned2 = cf::Ref<cf::Dictionary>::adopt(response);
               ::close(s[0]);
               int status = 0;
               ::waitpid(pid, &status, 0);
               std::string how = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                                   : "signal " + std::to_string(WTERMSIG(status));
               return how + " " +
                      (err == 0 ? std::to_string(MoreSecGetErrorFromResponse(response)) : "none");
             })
      .value_or("child failed");
}

}  // namespace

class HostileInput : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::geteuid(), 0u) << "run through tests/support/with-private-system";
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    std::filesystem::remove_all("/tmp/tvl-input");
    std::filesystem::create_directories("/tmp/tvl-input");
    ::chmod("/tmp/tvl-input", 0755);
    ASSERT_EQ(MoreUNIXCopyFile(TVL_TOOL_TEMPLATE, kTool.c_str()), 0);
    ASSERT_EQ(::chown(kTool.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(kTool.c_str(), 04555), 0);
  }
};

TEST_F(HostileInput, TheToolRefusesExhaustingFramesAndServesAHugeEnvironment) {
  // Each of these killed the tool by a signal (stack overflow in the reader's free, or
  // allocations failing under the tool's data limit) before the authorization was used.
  const std::vector<std::pair<const char*, std::function<std::string()>>> hostile = {
      {"16,000 arrays spelled with a space",
       [] {
         return frame("<key>v</key>" + repeat("<array >", 16000) + repeat("</array>", 16000));
       }},
      {"16,000 dictionaries with attributes",
       [] {
         return frame("<key>v</key>" + repeat("<dict a=\"1\"><key>k</key>", 16000) + "<true/>" +
                      repeat("</dict>", 16000));
       }},
      {"100,000 self-closing arrays",
       [] { return frame("<key>v</key><array>" + repeat("<array/>", 100000) + "</array>"); }},
      {"30,000 keys",
       [] {
         std::string keys;
         for (int i = 0; i < 30000; ++i) keys += "<key>k" + std::to_string(i) + "</key><true/>";
         return frame(keys);
       }},
  };
  for (const auto& [what, make] : hostile) EXPECT_EQ(exchange(make), "exit 4 none") << what;

  // The same tool still serves a request: task 99 is unknown, answered with -50. And the
  // reset clears a 120,000-variable environment before it gets there.
  auto unknownTask = [] { return frame(""); };
  EXPECT_EQ(exchange(unknownTask), "exit 0 -50");
  EXPECT_EQ(exchange(unknownTask, 120000), "exit 0 -50");
}

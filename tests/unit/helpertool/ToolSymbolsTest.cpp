// The set-user-ID tool carries only what root runs: the frames, its runtime and the rights
// check. The controller's side (locating, installing and blessing the copy, sending a
// request, starting programs through pkexec) must never be linked into it: code that is
// there can be reached by whoever controls the tool's input and environment.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

std::string definedSymbols(const std::string& program) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> nm(
      ::popen(("nm -C --defined-only '" + program + "' 2>&1").c_str(), "r"), ::pclose);
  if (!nm) return out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, nm.get())) > 0;) out.append(buffer, n);
  return out;
}

TEST(ToolSymbols, TheToolLinksOnlyWhatRootRuns) {
  const std::string symbols = definedSymbols(TVL_TOOL_TEMPLATE);
  // What the tool runs is there, so the listing is the tool's.
  for (const char* used : {"MoreSecHelperToolMainWithGate(", "CopyDictionaryFromDescriptor(",
                           "MoreSecDestroyInheritedEnvironment(", "auth::AuthorizationCopyRights("})
    EXPECT_NE(symbols.find(used), std::string::npos) << used << " missing from the tool";
  for (const char* clientSide :
       {"RunScriptAsRoot(", "MoreSecCopyHelperToolURLAndCheck",
        "MoreSecExecuteRequestInHelperTool(", "MoreSecIsFolderIgnoring",
        "auth::AuthorizationExecuteWithPrivileges(", "kBlessScript", "kFolderDomains"})
    EXPECT_EQ(symbols.find(clientSide), std::string::npos)
        << clientSide << " is linked into the tool";
}

}  // namespace

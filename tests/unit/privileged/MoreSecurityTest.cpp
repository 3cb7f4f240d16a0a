// The helper-tool scheme's protocol and runtime within one process (or a forked child):
// frames, status mappings, the runtime's response rules, the environment reset and the
// root script runner (when the test runs as root, as in CI).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/cf/PropertyListXML.h"
#include "privileged/MoreCFQ.h"
#include "privileged/MoreSecurity.h"
#include "privileged/MoreUNIX.h"

using namespace tvl;

using cf::Ref;

namespace {

struct SocketPair {
  int fd[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~SocketPair() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void closeEnd(int i) {
    ::close(fd[i]);
    fd[i] = -1;
  }
};

void writeRaw(int fd, const void* bytes, size_t n) {
  ASSERT_EQ(MoreUNIXWrite(fd, bytes, n, nullptr), 0);
}

void writeLength(int fd, int32_t length) {
  writeRaw(fd, &length, sizeof length);
}

// Bytes still waiting in a socket, without consuming them.
size_t pending(int fd) {
  char buffer[64];
  ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_PEEK | MSG_DONTWAIT);
  return n < 0 ? 0 : size_t(n);
}

Ref<cf::Dictionary> dictionaryWith(const char* key, int32_t value) {
  Ref<cf::Dictionary> d = cf::Dictionary::create();
  d->setValue(key, cf::Number::createSInt32(value).get());
  return d;
}

class MoreSecurity : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0); }
};

}  // namespace

TEST_F(MoreSecurity, FramesRoundTripAndBadLengthsAreRefusedBeforeReading) {
  SocketPair s;
  Ref<cf::Dictionary> sent = dictionaryWith("task", 7);
  sent->setValue("filename", cf::String::create("com.nrvk.sweeper.plist").get());
  ASSERT_EQ(WriteDictionaryToDescriptor(sent.get(), s.fd[0]), 0);
  cf::Dictionary* received = nullptr;
  ASSERT_EQ(CopyDictionaryFromDescriptor(s.fd[1], &received), 0);
  Ref<cf::Dictionary> owned = Ref<cf::Dictionary>::adopt(received);
  EXPECT_TRUE(cf::equal(owned.get(), sent.get()));

  writeLength(s.fd[0], 0);
  writeRaw(s.fd[0], "xyz", 3);
  cf::Dictionary* none = nullptr;
  EXPECT_EQ(CopyDictionaryFromDescriptor(s.fd[1], &none), paramErr);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(pending(s.fd[1]), 3u);  // nothing beyond the length was read
  char skip[3];
  ::read(s.fd[1], skip, 3);

  writeLength(s.fd[0], 1048577);
  writeRaw(s.fd[0], "xyz", 3);
  EXPECT_EQ(CopyDictionaryFromDescriptor(s.fd[1], &none), memFullErr);
  EXPECT_EQ(pending(s.fd[1]), 3u);
  ::read(s.fd[1], skip, 3);

  writeLength(s.fd[0], -5);
  EXPECT_EQ(CopyDictionaryFromDescriptor(s.fd[1], &none), memFullErr);
  EXPECT_EQ(none, nullptr);
}

TEST_F(MoreSecurity, FrameContentMustBeADictionaryAndComplete) {
  SocketPair s;
  std::string array =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><array/></plist>";
  writeLength(s.fd[0], int32_t(array.size()));
  writeRaw(s.fd[0], array.data(), array.size());
  cf::Dictionary* none = nullptr;
  EXPECT_EQ(CopyDictionaryFromDescriptor(s.fd[1], &none), paramErr);

  std::string garbage = "<plist><dict><key>a</key></plist>";
  writeLength(s.fd[0], int32_t(garbage.size()));
  writeRaw(s.fd[0], garbage.data(), garbage.size());
  EXPECT_EQ(CopyDictionaryFromDescriptor(s.fd[1], &none), coreFoundationUnknownErr);

  // The writer goes away in the middle of a frame, then before the next one.
  writeLength(s.fd[0], 100);
  writeRaw(s.fd[0], "<plist", 6);
  s.closeEnd(0);
  EXPECT_EQ(CopyDictionaryFromDescriptor(s.fd[1], &none), EPIPE);
  EXPECT_EQ(CopyDictionaryFromDescriptor(s.fd[1], &none), EPIPE);
  EXPECT_EQ(none, nullptr);
}

TEST(MoreSecurityMapping, ToolResultsAndErrorsMapBothWays) {
  EXPECT_EQ(MoreSecErrorToHelperToolResult(0), 0);
  EXPECT_EQ(MoreSecErrorToHelperToolResult(-60005), 2);
  EXPECT_EQ(MoreSecErrorToHelperToolResult(-60006), 3);
  for (int err = 5361; err <= 5364; ++err)
    EXPECT_EQ(MoreSecErrorToHelperToolResult(err), err - 5360);
  for (int err : {-50, -108, 5360, 5365, 32, -60002})
    EXPECT_EQ(MoreSecErrorToHelperToolResult(err), 4);
  EXPECT_EQ(MoreSecHelperToolResultToError(0), 0);
  for (int r = 1; r <= 4; ++r) EXPECT_EQ(MoreSecHelperToolResultToError(r), 5360 + r);
  for (int r : {5, 127, -1}) EXPECT_EQ(MoreSecHelperToolResultToError(r), 5364);
}

TEST(MoreSecurityMapping, ErrorFromResponseNeedsANumber) {
  EXPECT_EQ(MoreSecGetErrorFromResponse(dictionaryWith(kMoreSecErrorNumberKey, 7).get()), 7);
  EXPECT_EQ(MoreSecGetErrorFromResponse(cf::Dictionary::create().get()), -4960);
  Ref<cf::Dictionary> text = cf::Dictionary::create();
  text->setValue(kMoreSecErrorNumberKey, cf::String::create("7").get());
  EXPECT_EQ(MoreSecGetErrorFromResponse(text.get()), -4960);
}

TEST(MoreSecurityMapping, DescriptorArrayIsClosedInFull) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  Ref<cf::Array> list = cf::Array::create();
  for (int fd : p) list->append(cf::Number::createSInt32(fd).get());
  MoreSecCloseDescriptorArray(list.get());
  for (int fd : p) EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  MoreSecCloseDescriptorArray(nullptr);
}

// ---- The runtime, served by a child of the test (the test runs as root in CI) ----

namespace {

int gProcCalls = 0;
int gProcResult = 0;
Ref<cf::Dictionary> gProcResponse;

int testProc(auth::AuthorizationRef, const cf::Dictionary* request, cf::Dictionary** response) {
  if (request->valueForKey("task")) ++gProcCalls;
  if (gProcResponse) *response = Ref<cf::Dictionary>(gProcResponse).detach();
  return gProcResult;
}

struct Served {
  int result = -1;
  int procCalls = -1;
  int stillOpen = -1;  // how many of the watched descriptors the runtime left open
};

// A child runs the runtime on one end of a socket pair, as the tool would with this
// process as its parent; this process sends its external form and a request and
// receives the response frame (and descriptors, when asked).
Served serve(int argc, Ref<cf::Dictionary>* response, std::vector<int>* fds = nullptr,
             bool zeroFrame = false, const std::vector<int>& watched = {}) {
  SocketPair s;
  int report[2];
  EXPECT_EQ(::pipe(report), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(report[0]);
    ::close(s.fd[0]);
    char name[] = "/tool";
    char extra[] = "extra";
    char* argv[] = {name, extra, nullptr};
    Served served;
    served.result = MoreSecHelperToolMain(s.fd[1], s.fd[1], nullptr, testProc, argc, argv);
    served.procCalls = gProcCalls;
    served.stillOpen = 0;
    for (int fd : watched)
      if (::fcntl(fd, F_GETFD) != -1) ++served.stillOpen;
    (void)!::write(report[1], &served, sizeof served);
    ::_exit(0);
  }
  ::close(report[1]);
  s.closeEnd(1);
  auth::AuthorizationRef a = nullptr;
  EXPECT_EQ(auth::AuthorizationCreate(nullptr, 0, &a), 0);
  auth::AuthorizationExternalForm form;
  EXPECT_EQ(auth::AuthorizationMakeExternalForm(a, &form), 0);
  auth::AuthorizationFree(a);
  // A runtime that refuses to serve may be gone before this is written: the outcome is
  // judged by its result, not by these writes.
  MoreUNIXWrite(s.fd[0], form.bytes, sizeof form.bytes, nullptr);
  int32_t zero = 0;
  if (zeroFrame)
    MoreUNIXWrite(s.fd[0], &zero, sizeof zero, nullptr);
  else
    WriteDictionaryToDescriptor(dictionaryWith("task", 2).get(), s.fd[0]);
  ::shutdown(s.fd[0], SHUT_WR);
  cf::Dictionary* raw = nullptr;
  if (CopyDictionaryFromDescriptor(s.fd[0], &raw) == 0) {
    *response = Ref<cf::Dictionary>::adopt(raw);
    const cf::Array* list = cf::arrayForKey(raw, kMoreSecFileDescriptorsKey);
    for (size_t i = 0; fds && list && i < list->count(); ++i) {
      int fd = -1;
      EXPECT_EQ(MoreUNIXReadDescriptor(s.fd[0], &fd), 0);
      fds->push_back(fd);
    }
  }
  Served served;
  EXPECT_EQ(::read(report[0], &served, sizeof served), ssize_t(sizeof served));
  ::close(report[0]);
  ::waitpid(pid, nullptr, 0);
  return served;
}

}  // namespace

class Runtime : public MoreSecurity {
 protected:
  void SetUp() override {
    MoreSecurity::SetUp();
    if (::geteuid() != 0) GTEST_SKIP() << "the runtime serves only with effective uid 0";
    gProcResult = 0;
    gProcResponse = nullptr;
  }
};

TEST_F(Runtime, ResponseAlwaysCarriesTheCommandsErrorNumber) {
  Ref<cf::Dictionary> response;
  EXPECT_EQ(serve(1, &response).result, 0);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->count(), 1u);
  EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), 0);

  // The procedure's own error number wins over its result.
  gProcResponse = dictionaryWith(kMoreSecErrorNumberKey, 7);
  gProcResult = -1;
  response = nullptr;
  EXPECT_EQ(serve(1, &response).result, 0);
  EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), 7);

  // A cancelled authorization is the command's outcome, not the exchange's.
  gProcResponse = dictionaryWith("returnString", 1);
  gProcResult = -60006;
  response = nullptr;
  EXPECT_EQ(serve(1, &response).result, 0);
  EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), -60006);
  EXPECT_TRUE(response->valueForKey("returnString"));
}

TEST_F(Runtime, DescriptorsFollowTheResponseInOrderAndAreClosedAfterwards) {
  int a[2], b[2];
  ASSERT_EQ(::pipe(a), 0);
  ASSERT_EQ(::pipe(b), 0);
  Ref<cf::Array> list = cf::Array::create();
  list->append(cf::Number::createSInt32(b[1]).get());
  list->append(cf::Number::createSInt32(a[1]).get());
  gProcResponse = cf::Dictionary::create();
  gProcResponse->setValue(kMoreSecFileDescriptorsKey, list.get());
  Ref<cf::Dictionary> response;
  std::vector<int> received;
  Served served = serve(1, &response, &received, false, {a[1], b[1]});
  EXPECT_EQ(served.result, 0);
  EXPECT_EQ(served.stillOpen, 0);  // the runtime gave them up
  ::close(a[1]);
  ::close(b[1]);
  ASSERT_EQ(received.size(), 2u);
  // The first received descriptor is b's write end: what goes in comes out of b.
  ASSERT_EQ(::write(received[0], "B", 1), 1);
  ASSERT_EQ(::write(received[1], "A", 1), 1);
  char c = 0;
  EXPECT_EQ(::read(b[0], &c, 1), 1);
  EXPECT_EQ(c, 'B');
  EXPECT_EQ(::read(a[0], &c, 1), 1);
  EXPECT_EQ(c, 'A');
  for (int fd : {a[0], b[0], received[0], received[1]}) ::close(fd);
}

TEST_F(Runtime, BadFrameOrExtraArgumentServesNothing) {
  Ref<cf::Dictionary> response;
  Served served = serve(1, &response, nullptr, true);
  EXPECT_EQ(served.result, paramErr);
  EXPECT_EQ(served.procCalls, 0);
  EXPECT_FALSE(response);
  served = serve(2, &response);
  EXPECT_EQ(served.result, kHelperToolNotRootErr);
  EXPECT_EQ(served.procCalls, 0);
  EXPECT_FALSE(response);
}

TEST_F(Runtime, AuthorizationOfAnotherProcessIsRefusedBeforeTheRequest) {
  // A form of this process reaches the runtime in a grandchild: not its parent.
  Ref<cf::Dictionary> response;
  pid_t pid = ::fork();
  if (pid == 0) {
    Served served = serve(1, &response);
    ::_exit(served.result == 0 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);  // its own parent: served
  SocketPair s;
  pid = ::fork();
  if (pid == 0) {
    pid_t inner = ::fork();
    if (inner == 0) {
      char name[] = "/tool";
      char* argv[] = {name, nullptr};
      int result = MoreSecHelperToolMain(s.fd[1], s.fd[1], nullptr, testProc, 1, argv);
      ::_exit(result == auth::errAuthorizationInvalidRef && gProcCalls == 0 ? 0 : 1);
    }
    int innerStatus = 0;
    ::waitpid(inner, &innerStatus, 0);
    ::_exit(WIFEXITED(innerStatus) ? WEXITSTATUS(innerStatus) : 2);
  }
  auth::AuthorizationRef a = nullptr;
  ASSERT_EQ(auth::AuthorizationCreate(nullptr, 0, &a), 0);
  auth::AuthorizationExternalForm form;
  auth::AuthorizationMakeExternalForm(a, &form);
  auth::AuthorizationFree(a);
  writeRaw(s.fd[0], form.bytes, sizeof form.bytes);
  EXPECT_EQ(WriteDictionaryToDescriptor(dictionaryWith("task", 2).get(), s.fd[0]), 0);
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// ---- The environment reset, in a child that reports through its exit status ----

namespace {
int childExit(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}
}  // namespace

TEST(Environment, FullResetLeavesNothingInherited) {
  int result = childExit([] {
    ::setenv("TVL_INHERITED", "1", 1);
    ::signal(SIGUSR1, SIG_IGN);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    ::sigprocmask(SIG_BLOCK, &block, nullptr);
    ::umask(0);
    (void)!::chdir("/tmp");
    struct itimerval timer = {{0, 0}, {100, 0}};
    ::setitimer(ITIMER_REAL, &timer, nullptr);
    int extra = ::open("/dev/null", O_RDONLY);
    (void)extra;
    char arg0[] = "relative-name";
    char* argv[] = {arg0, nullptr};
    if (MoreSecDestroyInheritedEnvironment(0, argv) != 0) return 1;
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n > 0 ? n : 0] = 0;
    if (std::strcmp(argv[0], exe) != 0) return 2;
    if (environ && environ[0]) return 3;
    for (int fd = 0; fd < 1024; ++fd)
      if (::fcntl(fd, F_GETFD) != -1) return 4;
    struct sigaction action;
    ::sigaction(SIGUSR1, nullptr, &action);
    if (action.sa_handler != SIG_DFL) return 5;
    sigset_t mask;
    ::sigprocmask(SIG_SETMASK, nullptr, &mask);
    if (sigismember(&mask, SIGUSR2)) return 6;
    if (::umask(077) != 077) return 7;
    char cwd[16];
    if (!::getcwd(cwd, sizeof cwd) || std::strcmp(cwd, "/") != 0) return 8;
    ::getitimer(ITIMER_REAL, &timer);
    if (timer.it_value.tv_sec != 0 || timer.it_value.tv_usec != 0) return 9;
    struct rlimit limit;
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur != 256) return 10;
    ::getrlimit(RLIMIT_STACK, &limit);
    if (limit.rlim_cur != 524288) return 11;
    if (::geteuid() == 0 && limit.rlim_max != 67108864) return 12;
    ::getrlimit(RLIMIT_CORE, &limit);
    if (limit.rlim_cur != 0) return 13;
    ::getrlimit(RLIMIT_NPROC, &limit);
    if (limit.rlim_cur != 100) return 14;
    return 0;
  });
  EXPECT_EQ(result, 0);
}

TEST(Environment, KeepingStandardFilesClosesOnlyTheOthers) {
  int result = childExit([] {
    int extra = ::open("/dev/null", O_RDONLY);
    if (extra < 3) return 1;
    if (MoreSecDestroyInheritedEnvironment(~0u & ~kMoreSecKeepOtherFilesMask, nullptr) != 0)
      return 2;
    for (int fd = 0; fd < 3; ++fd)
      if (::fcntl(fd, F_GETFD) == -1) return 3;
    if (::fcntl(extra, F_GETFD) != -1) return 4;
    if (CloseOpenFileDescriptorsInRange(3, 1024) != 0) return 5;
    return ::getenv("PATH") ? 0 : 6;  // the environment was kept
  });
  EXPECT_EQ(result, 0);
}

TEST(Environment, PermanentDropLeavesNoWayBackToRootFromEitherState) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to stand in for a set-user-ID tool";
  // As in the tool: the user's real and effective uid, root's saved uid.
  int result = childExit([] {
    if (::setresuid(65534, 65534, 0) != 0) return 1;
    if (MoreSecPermanentlySetNonPrivilegedEUID() != 0) return 2;
    uid_t real, effective, saved;
    ::getresuid(&real, &effective, &saved);
    if (real != 65534 || effective != 65534 || saved != 65534) return 3;
    return ::seteuid(0) == 0 ? 4 : 0;
  });
  EXPECT_EQ(result, 0);
}

// ---- Folder tests and the root script runner ----

TEST(Folders, VolumeProbesAnswerAndLeaveNothingBehind) {
  bool ignoring = true;
  EXPECT_EQ(MoreSecIsFolderIgnoringSetUID("/nonexistent-tvl", &ignoring), ENOENT);

  char tmpl[] = "/tmp/tvl-probe.XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  ignoring = true;
  EXPECT_EQ(MoreSecIsFolderIgnoringOwnership(tmpl, &ignoring), 0);
  EXPECT_FALSE(ignoring);  // a group other than 99 counts as honouring ownership
  EXPECT_TRUE(std::filesystem::is_empty(tmpl));
  EXPECT_EQ(MoreSecIsFolderIgnoringOwnership("/nonexistent-tvl", &ignoring), ENOENT);
  std::filesystem::remove_all(tmpl);
}

class RootScript : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "direct root execution needs root";
    gMoreSecLogInteractions = false;
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    ASSERT_EQ(auth::AuthorizationCreate(nullptr, 0, &auth_), 0);
  }
  void TearDown() override {
    gMoreSecLogInteractions = true;
    auth::AuthorizationFree(auth_);
  }
  auth::AuthorizationRef auth_ = nullptr;
};

TEST_F(RootScript, OnlyAFinalOkLineIsSuccess) {
  EXPECT_EQ(RunScriptAsRoot(auth_, "echo ok\n", nullptr), 0);
  EXPECT_EQ(RunScriptAsRoot(auth_, "echo ok; echo more\n", nullptr), kHelperToolRepairFailedErr);
  EXPECT_EQ(RunScriptAsRoot(auth_, "printf ok\n", nullptr), kHelperToolRepairFailedErr);
  EXPECT_EQ(RunScriptAsRoot(auth_, "true\n", nullptr), kHelperToolRepairFailedErr);
  // A script that never exits by itself still ends: its input ends after the text.
  EXPECT_EQ(RunScriptAsRoot(auth_, "echo ok", nullptr), 0);
  EXPECT_EQ(
      RunScriptAsRoot(auth_, "[ \"$1\" = a ] && [ \"$2\" = 'b c' ] && [ $# = 2 ] && echo ok\n", "a",
                      "b c", nullptr),
      0);
}

TEST_F(RootScript, ArgumentWithDeleteByteRunsNothing) {
  char tmpl[] = "/tmp/tvl-script.XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  std::string marker = std::string(tmpl) + "/ran";
  std::string script = "touch " + marker + "\necho ok\n";
  EXPECT_EQ(RunScriptAsRoot(auth_, script.c_str(), "a\x7F", nullptr), bdNamErr);
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(RunScriptAsRoot(auth_, script.c_str(), "a", nullptr), 0);
  EXPECT_TRUE(std::filesystem::exists(marker));
  std::filesystem::remove_all(tmpl);
}

TEST_F(RootScript, BlessScriptMakesRootOwnedSetUserIDAndChecksItsArguments) {
  char tmpl[] = "/tmp/tvl-bless.XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  std::string tool = std::string(tmpl) + "/tool";
  int fd = ::open(tool.c_str(), O_CREAT | O_WRONLY, 0755);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
  ::close(fd);
  EXPECT_EQ(RunScriptAsRoot(auth_, kBlessScript, tool.c_str(), nullptr), 0);
  struct stat st;
  ASSERT_EQ(::stat(tool.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);
  EXPECT_EQ(st.st_mode, 0104555u);
  EXPECT_EQ(RunScriptAsRoot(auth_, kBlessScript, tool.c_str(), "two", nullptr),
            kHelperToolRepairFailedErr);
  EXPECT_EQ(RunScriptAsRoot(auth_, kBlessScript, (tool + "-missing").c_str(), nullptr),
            kHelperToolRepairFailedErr);
  std::filesystem::remove_all(tmpl);
}

TEST_F(RootScript, BlessScriptActsOnlyOnTheFileItself) {
  // What a user could plant at the copy's path after the controller looked at it: a link
  // to another file, or a second name of it. Neither file may become set-user-ID.
  char tmpl[] = "/tmp/tvl-bless.XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  std::string target = std::string(tmpl) + "/target";
  int fd = ::open(target.c_str(), O_CREAT | O_WRONLY, 0755);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::string link = std::string(tmpl) + "/link";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  std::string second = std::string(tmpl) + "/second";
  ASSERT_EQ(::link(target.c_str(), second.c_str()), 0);
  for (const std::string& path : {link, second}) {
    EXPECT_EQ(RunScriptAsRoot(auth_, kBlessScript, path.c_str(), nullptr),
              kHelperToolRepairFailedErr)
        << path;
    struct stat st;
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, 0100755u) << path;
  }
  std::filesystem::remove_all(tmpl);
}

// The helper tool across the real privilege boundary, inside a private mount namespace
// with polkitd on a private system bus (tests/support/with-private-system): the test
// users run the controller's side against a root-owned set-user-ID working copy.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "platform/cf/PropertyListXML.h"
#include "platform/system/Paths.h"
#include "privileged/MoreCFQ.h"
#include "privileged/MoreSecurity.h"
#include "privileged/MoreUNIX.h"
#include "support/Files.h"
#include "support/RunAs.h"

using namespace tvl;

using testsupport::readFile;

namespace fs = std::filesystem;
using cf::Ref;
using tvltest::runAs;
using tvltest::runAsText;

namespace {

const std::string kTop = "/tmp/tvl-e2e";
const std::string kBundle = kTop + "/TVLQC.app";
const std::string kTemplate = kBundle + "/Contents/MacOS/TVLQCSecureToolTemplate";
const std::string kPlist = "/Library/LaunchDaemons/com.nrvk.sweeper.plist";
const std::string kDaemon = "/Library/TestBin/tvld";
const std::string kStartupMarker = "/Library/tvld-ran";

std::string dataHome(const char* user) {
  return kTop + "/" + user + "/data";
}
std::string userCopy(const char* user) {
  return dataHome(user) + "/NRVK/.TVLQCSecureTool";
}

void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  ::chmod(path.c_str(), mode);
}

Ref<cf::Dictionary> makeRequest(std::initializer_list<std::pair<const char*, Ref<cf::Object>>> kv) {
  Ref<cf::Dictionary> d = cf::Dictionary::create();
  for (const auto& [k, v] : kv) d->setValue(k, v.get());
  return d;
}
Ref<cf::Object> num(int32_t v) {
  return cf::Number::createSInt32(v);
}
Ref<cf::Object> str(const char* v) {
  return cf::String::create(v);
}

// What a controller-side child reports back.
struct Result {
  int locate = 0;
  int err = 0;
  std::string tool;
  Ref<cf::Dictionary> response;
  int errorNumber() const { return response ? MoreSecGetErrorFromResponse(response.get()) : 1; }
  std::string returnString() const {
    const cf::String* s = cf::stringForKey(response.get(), "returnString");
    return s ? s->str() : "";
  }
};

void becomeController(const char* user) {
  std::string data = user ? dataHome(user) : kTop + "/root/data";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  ::setenv("HOME", fs::path(data).parent_path().c_str(), 1);
  MoreUNIXIgnoreSIGPIPE();
}

// As user: locate (or take toolPath) and serve request through the tool. hostile runs in
// the controller's process first: what a caller may set up for the tool to inherit.
Result request(const char* user, const Ref<cf::Dictionary>& req, const std::string& toolPath = "",
               OSType folder = tvl::system::kApplicationSupportFolderType,
               const std::function<void()>& hostile = {}) {
  auto text = runAsText(user, [&]() -> std::string {
    becomeController(user);
    if (hostile) hostile();
    Ref<cf::Dictionary> report = cf::Dictionary::create();
    cf::String* tool = nullptr;
    int err = 0;
    if (toolPath.empty()) {
      err = MoreSecCopyHelperToolURLAndCheckBundled(
          cf::String::create(kBundle).get(), cf::String::create("TVLQCSecureToolTemplate").get(),
          folder, cf::String::create("NRVK").get(), cf::String::create(".TVLQCSecureTool").get(),
          &tool);
    } else {
      tool = cf::String::create(toolPath).detach();
    }
    Ref<cf::String> owned = Ref<cf::String>::adopt(tool);
    report->setValue("locate", num(err).get());
    if (err == 0) {
      report->setValue("tool", tool);
      auth::AuthorizationRef a = nullptr;
      auth::AuthorizationCreate(nullptr, 0, &a);
      auth::UniqueAuthorization ownedAuth(a);
      cf::Dictionary* response = nullptr;
      err = MoreSecExecuteRequestInHelperTool(tool, a, req.get(), &response);
      report->setValue("err", num(err).get());
      if (response) {
        MoreSecCloseDescriptorArray(cf::arrayForKey(response, kMoreSecFileDescriptorsKey));
        report->setValue("response", response);
        CFQRelease(response);
      }
    }
    std::string xml;
    cf::createXMLData(report.get(), &xml);
    return xml;
  });
  Result r;
  if (!text) {
    r.locate = -1;
    return r;
  }
  Ref<cf::Object> parsed = cf::createFromXML(*text);
  const cf::Dictionary* d = cf::as<cf::Dictionary>(parsed.get());
  int32_t v = 0;
  if (cf::sint32ForKey(d, "locate", &v)) r.locate = v;
  if (cf::sint32ForKey(d, "err", &v)) r.err = v;
  if (const cf::String* t = cf::stringForKey(d, "tool")) r.tool = t->str();
  if (const cf::Dictionary* resp = cf::dictionaryForKey(d, "response"))
    r.response = Ref<cf::Dictionary>::retain(const_cast<cf::Dictionary*>(resp));
  return r;
}

// As user: only locate; the path found, or "error <n>".
std::string locate(const char* user, OSType folder = tvl::system::kApplicationSupportFolderType) {
  auto text = runAsText(user, [&]() -> std::string {
    becomeController(user);
    cf::String* tool = nullptr;
    int err = MoreSecCopyHelperToolURLAndCheckBundled(
        cf::String::create(kBundle).get(), cf::String::create("TVLQCSecureToolTemplate").get(),
        folder, cf::String::create("NRVK").get(), cf::String::create(".TVLQCSecureTool").get(),
        &tool);
    Ref<cf::String> owned = Ref<cf::String>::adopt(tool);
    return err == 0 ? tool->str() : "error " + std::to_string(err);
  });
  return text.value_or("child failed");
}

int blessAsRoot(const std::string& path) {
  auth::AuthorizationRef a = nullptr;
  auth::AuthorizationCreate(nullptr, 0, &a);
  auth::UniqueAuthorization owned(a);
  return RunScriptAsRoot(a, kBlessScript, path.c_str(), static_cast<char*>(nullptr));
}

struct stat statOf(const std::string& path) {
  struct stat st = {};
  ::lstat(path.c_str(), &st);
  return st;
}

bool isBlessed(const std::string& path) {
  struct stat st = statOf(path);
  return st.st_uid == 0 && st.st_gid == 0 && st.st_mode == 0104555;
}

// Starts the tool directly as user with the given external form and arguments, sends a
// request and reports "<exit status> <bytes the tool wrote>".
std::string rawExchange(const char* user, const std::string& tool,
                        const auth::AuthorizationExternalForm* borrowed, bool extraArgument,
                        const std::string& rawXML = "") {
  return runAsText(user,
                   [&]() -> std::string {
                     MoreUNIXIgnoreSIGPIPE();
                     auth::AuthorizationExternalForm form;
                     if (borrowed) {
                       form = *borrowed;
                     } else {
                       auth::AuthorizationRef a = nullptr;
                       auth::AuthorizationCreate(nullptr, 0, &a);
                       auth::AuthorizationMakeExternalForm(a, &form);
                       auth::AuthorizationFree(a);
                     }
                     int s[2];
                     ::socketpair(AF_UNIX, SOCK_STREAM, 0, s);
                     pid_t pid = ::fork();
                     if (pid == 0) {
                       ::dup2(s[1], 0);
                       ::dup2(s[1], 1);
                       ::close(s[0]);
                       ::close(s[1]);
                       if (extraArgument)
                         ::execl(tool.c_str(), tool.c_str(), "extra", static_cast<char*>(nullptr));
                       else
                         ::execl(tool.c_str(), tool.c_str(), static_cast<char*>(nullptr));
                       ::_exit(99);
                     }
                     ::close(s[1]);
                     MoreUNIXWrite(s[0], form.bytes, sizeof form.bytes, nullptr);
                     if (rawXML.empty()) {
                       Ref<cf::Dictionary> req = makeRequest({{"task", num(99)}});
                       WriteDictionaryToDescriptor(req.get(), s[0]);
                     } else {
                       uint32_t length = uint32_t(rawXML.size());
                       MoreUNIXWrite(s[0], &length, sizeof length, nullptr);
                       MoreUNIXWrite(s[0], rawXML.data(), rawXML.size(), nullptr);
                     }
                     ::shutdown(s[0], SHUT_WR);
                     size_t total = 0;
                     char buffer[4096];
                     for (ssize_t n; (n = ::read(s[0], buffer, sizeof buffer)) > 0;)
                       total += size_t(n);
                     ::close(s[0]);
                     int status = 0;
                     ::waitpid(pid, &status, 0);
                     return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " " +
                            std::to_string(total);
                   })
      .value_or("child failed");
}

// The external form of a live process of user, which keeps running until the result
// is destroyed (so that its pid and start time stay valid).
struct FormHolder {
  pid_t pid = -1;
  auth::AuthorizationExternalForm form{};
  explicit FormHolder(const char* user) {
    int p[2];
    if (::pipe(p) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::close(p[0]);
      tvltest::becomeUser(user);
      auth::AuthorizationRef a = nullptr;
      auth::AuthorizationCreate(nullptr, 0, &a);
      auth::AuthorizationMakeExternalForm(a, &form);
      (void)!::write(p[1], form.bytes, sizeof form.bytes);
      ::pause();
      ::_exit(0);
    }
    ::close(p[1]);
    (void)!::read(p[0], form.bytes, sizeof form.bytes);
    ::close(p[0]);
  }
  ~FormHolder() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

// The root processes named tvld of this test's private system that still run (zombies do
// not count). Other tests running beside this one start daemons of that name in their own
// private systems: only those in this mount namespace are this test's.
std::vector<pid_t> runningDaemons() {
  std::vector<pid_t> found;
  std::error_code ec;
  const fs::path ownNamespace = fs::read_symlink("/proc/self/ns/mnt", ec);
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (fs::read_symlink(entry.path() / "ns/mnt", ec) != ownNamespace) continue;
    std::string status = readFile(entry.path() / "status");
    if (status.find("Name:\ttvld\n") != std::string::npos &&
        status.find("Uid:\t0\t") != std::string::npos &&
        status.find("State:\tZ") == std::string::npos)
      found.push_back(std::stoi(name));
  }
  return found;
}

pid_t recordedDaemon() {
  std::istringstream state(readFile("/run/tvlqc/com.nrvk.sweeper.plist.pid"));
  pid_t pid = 0;
  state >> pid;
  return pid;
}

Ref<cf::Dictionary> launchdRequest(int task) {
  return makeRequest(
      {{"task", num(task)}, {"filename", str("com.nrvk.sweeper.plist")}, {"folder", num(3)}});
}

class HelperTool : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::geteuid(), 0u) << "run through tests/support/with-private-system";
    gMoreSecLogInteractions = false;
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    fs::remove_all(kTop);
    for (const char* dir : {"/Library/LaunchDaemons", "/Library/TestBin", "/Library/StartupItems",
                            "/run/tvlqc", "/var/tmp/NRVK", "/usr/local/share/NRVK"})
      fs::remove_all(dir);
    fs::remove(kStartupMarker);
    fs::remove("/etc/hostconfig");
    fs::remove("/tmp/hostconfig");
    fs::create_directories(kBundle + "/Contents/MacOS");
    ASSERT_EQ(MoreUNIXCopyFile(TVL_TOOL_TEMPLATE, kTemplate.c_str()), 0);
    ::chmod(kTemplate.c_str(), 0755);
    for (const char* user : {"tvltest", "tvldenied"}) {
      auto u = tvltest::lookUpUser(user);
      ASSERT_TRUE(u);
      fs::create_directories(dataHome(user));
      ::chown((kTop + "/" + user).c_str(), u->uid, u->gid);
      ::chown(dataHome(user).c_str(), u->uid, u->gid);
    }
  }
  void TearDown() override { gMoreSecLogInteractions = true; }

  // A daemon plist whose program is a copy of sleep named "tvld".
  void installDaemonPlist(mode_t plistMode = 0644) {
    fs::create_directories("/Library/LaunchDaemons");
    fs::create_directories("/Library/TestBin");
    fs::copy_file("/bin/sleep", kDaemon);
    writeFile(kPlist,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>Label</key><string>com.nrvk.sweeper</string>"
              "<key>ProgramArguments</key><array><string>" +
                  kDaemon + "</string><string>300</string></array></dict></plist>\n",
              plistMode);
  }
};

}  // namespace

TEST_F(HelperTool, RealPathCopiesBlessesThroughPkexecAndServesAsRoot) {
  Result r = request("tvltest", makeRequest({{"task", num(99)}}));
  ASSERT_EQ(r.locate, 0);
  EXPECT_EQ(r.tool, userCopy("tvltest"));
  ASSERT_EQ(r.err, 0);
  // Only a tool running with effective uid 0 gets as far as the command procedure.
  EXPECT_EQ(r.errorNumber(), paramErr);
  EXPECT_EQ(r.returnString().rfind("TVLQC Error:", 0), 0u) << r.returnString();
  EXPECT_TRUE(isBlessed(r.tool));
  ino_t inode = statOf(r.tool).st_ino;

  // The blessed copy is valid on the next search and used as it is.
  EXPECT_EQ(locate("tvltest"), r.tool);
  EXPECT_EQ(statOf(r.tool).st_ino, inode);
  EXPECT_TRUE(isBlessed(r.tool));
}

TEST_F(HelperTool, LoadStartsTheDaemonAsRootAndUnloadStopsIt) {
  installDaemonPlist();
  EXPECT_EQ(locate("tvltest"), userCopy("tvltest"));
  ASSERT_EQ(blessAsRoot(userCopy("tvltest")), 0);

  auto load = makeRequest(
      {{"task", num(7)}, {"filename", str("com.nrvk.sweeper.plist")}, {"folder", num(3)}});
  Result r = request("tvltest", load);
  ASSERT_EQ(r.err, 0);
  EXPECT_EQ(r.errorNumber(), 0) << r.returnString();
  EXPECT_EQ(r.returnString(), "");
  std::istringstream state(readFile("/run/tvlqc/com.nrvk.sweeper.plist.pid"));
  pid_t pid = 0;
  ASSERT_TRUE(state >> pid);
  std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
  EXPECT_NE(status.find("Name:\ttvld\n"), std::string::npos);
  EXPECT_NE(status.find("Uid:\t0\t0\t0\t0\n"), std::string::npos);
  EXPECT_EQ(::getsid(pid), pid);  // a session of its own

  // Loading again keeps the running daemon.
  EXPECT_EQ(request("tvltest", load).errorNumber(), 0);
  EXPECT_NE(readFile("/run/tvlqc/com.nrvk.sweeper.plist.pid").find(std::to_string(pid)),
            std::string::npos);

  auto unload = makeRequest(
      {{"task", num(8)}, {"filename", str("com.nrvk.sweeper.plist")}, {"folder", num(3)}});
  r = request("tvltest", unload);
  EXPECT_EQ(r.errorNumber(), 0) << r.returnString();
  // The daemon was the tool's child: it ended and, reparented, was reaped or is a zombie.
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
  EXPECT_FALSE(fs::exists("/run/tvlqc/com.nrvk.sweeper.plist.pid"));
  EXPECT_EQ(request("tvltest", unload).errorNumber(), 0);  // not loaded: nothing to stop
}

TEST_F(HelperTool, BadRequestsAreRefusedAndChangeNothing) {
  installDaemonPlist();
  ASSERT_EQ(locate("tvltest"), userCopy("tvltest"));
  ASSERT_EQ(blessAsRoot(userCopy("tvltest")), 0);
  const Ref<cf::Dictionary> bad[] = {
      makeRequest({}),
      makeRequest({{"task", str("7")}}),
      makeRequest({{"task", num(6)}}),
      makeRequest({{"task", num(7)}, {"folder", num(3)}}),
      makeRequest({{"task", num(7)}, {"filename", str("com.nrvk.sweeper.plist")}}),
      makeRequest({{"task", num(7)}, {"filename", num(1)}, {"folder", num(3)}}),
      makeRequest({{"task", num(7)},
                   {"filename", str("../LaunchDaemons/com.nrvk.sweeper.plist")},
                   {"folder", num(3)}}),
      makeRequest({{"task", num(2)}, {"filename", str("sub/x.plist")}, {"folder", num(3)}}),
      makeRequest({{"task", num(2)}, {"filename", str("..")}, {"folder", num(3)}}),
      makeRequest(
          {{"task", num(7)}, {"filename", str("com.nrvk.sweeper.plist")}, {"folder", num(2)}}),
      makeRequest(
          {{"task", num(3)}, {"filename", str("com.nrvk.sweeper.plist")}, {"folder", str("3")}}),
  };
  for (const auto& req : bad) {
    Result r = request("tvltest", req);
    std::string xml;
    cf::createXMLData(req.get(), &xml);
    EXPECT_EQ(r.err, 0) << xml;
    EXPECT_NE(r.errorNumber(), 0) << xml;
    EXPECT_EQ(r.returnString().rfind("TVLQC Error:", 0), 0u) << xml;
  }
  EXPECT_FALSE(fs::exists("/run/tvlqc"));

  // A property list that others could have written is not acted on as root.
  ::chmod(kPlist.c_str(), 0666);
  Result r = request("tvltest", makeRequest({{"task", num(7)},
                                             {"filename", str("com.nrvk.sweeper.plist")},
                                             {"folder", num(3)}}));
  EXPECT_EQ(r.returnString().rfind("TVLQC Error:", 0), 0u);
  EXPECT_FALSE(fs::exists("/run/tvlqc/com.nrvk.sweeper.plist.pid"));
}

TEST_F(HelperTool, HostConfigSettingIsWrittenAndTheStartupItemRun) {
  ASSERT_EQ(locate("tvltest"), userCopy("tvltest"));
  ASSERT_EQ(blessAsRoot(userCopy("tvltest")), 0);
  const std::string original = "# TVLD: the auto-connect daemon\nAFPSERVER=-NO-\nTVLD=-NO-\nZ=1";
  writeFile("/etc/hostconfig", original);
  writeFile("/Library/StartupItems/tvld/tvld",
            "#!/bin/sh\necho \"$1 $(id -u)\" >> " + kStartupMarker + "\n", 0755);
  auto tvltestUser = tvltest::lookUpUser("tvltest");
  auto writeCopy = [&](const std::string& text) {
    fs::remove("/tmp/hostconfig");
    writeFile("/tmp/hostconfig", text);
    ::chown("/tmp/hostconfig", tvltestUser->uid, tvltestUser->gid);
  };

  writeCopy("# TVLD: the auto-connect daemon\nAFPSERVER=-NO-\nTVLD=-YES-\nZ=1");
  Result r = request("tvltest", makeRequest({{"task", num(4)}}));
  EXPECT_EQ(r.errorNumber(), 0) << r.returnString();
  EXPECT_EQ(readFile("/etc/hostconfig"),
            "# TVLD: the auto-connect daemon\nAFPSERVER=-NO-\nTVLD=-YES-\nZ=1");
  EXPECT_EQ(readFile(kStartupMarker), "start 0\n");

  writeCopy("TVLD=-NO-\n");
  r = request("tvltest", makeRequest({{"task", num(5)}}));
  EXPECT_EQ(r.errorNumber(), 0) << r.returnString();
  EXPECT_EQ(readFile("/etc/hostconfig"), original);
  EXPECT_EQ(readFile(kStartupMarker), "start 0\nstop 0\n");

  // Refused, with nothing changed: the wrong setting, a copy that is root's, a copy
  // reached through a link.
  writeCopy("TVLD=-NO-\n");
  r = request("tvltest", makeRequest({{"task", num(4)}}));
  EXPECT_EQ(r.returnString().rfind("TVLQC Error:", 0), 0u);
  writeFile("/tmp/hostconfig", "TVLD=-YES-\n");
  ::chown("/tmp/hostconfig", 0, 0);
  r = request("tvltest", makeRequest({{"task", num(4)}}));
  EXPECT_EQ(r.returnString().rfind("TVLQC Error:", 0), 0u);
  fs::remove("/tmp/hostconfig");
  std::string target = kTop + "/tvltest/hostconfig";
  writeFile(target, "TVLD=-YES-\n");
  ::chown(target.c_str(), tvltestUser->uid, tvltestUser->gid);
  fs::create_symlink(target, "/tmp/hostconfig");
  r = request("tvltest", makeRequest({{"task", num(4)}}));
  EXPECT_EQ(r.returnString().rfind("TVLQC Error:", 0), 0u);
  EXPECT_EQ(readFile("/etc/hostconfig"), original);
  EXPECT_EQ(readFile(kStartupMarker), "start 0\nstop 0\n");
}

TEST_F(HelperTool, PolkitDecidesAndABorrowedAuthorizationIsRefused) {
  // tvldenied has a working blessed tool, but polkit refuses the right: the command's
  // outcome travels in a complete response.
  ASSERT_EQ(locate("tvldenied"), userCopy("tvldenied"));
  ASSERT_EQ(blessAsRoot(userCopy("tvldenied")), 0);
  Result r = request("tvldenied", makeRequest({{"task", num(99)}}));
  EXPECT_EQ(r.err, 0);
  EXPECT_EQ(r.errorNumber(), -60005);
  EXPECT_EQ(r.returnString(), "");

  // tvldenied starts the blessed tool with the external form of a tvltest process: the
  // tool refuses it before reading the request (exit status 4, nothing written).
  FormHolder holder("tvltest");
  EXPECT_EQ(rawExchange("tvldenied", userCopy("tvldenied"), &holder.form, false), "4 0");
  // Its own form is served.
  EXPECT_NE(rawExchange("tvldenied", userCopy("tvldenied"), nullptr, false).rfind("0 ", 0),
            std::string::npos);

  // polkit is asked before the request is parsed: a refused caller's request, even one
  // the reader would refuse, is answered with the refusal (exit status 0 and a response)
  // and never reaches the reader; an authorized caller's is parsed and refused (exit
  // status 4, nothing written).
  const std::string unreadable = "<plist><array ><array ><dict>";
  std::string refused = rawExchange("tvldenied", userCopy("tvldenied"), nullptr, false, unreadable);
  EXPECT_EQ(refused.rfind("0 ", 0), 0u) << refused;
  EXPECT_NE(refused, "0 0");
  ASSERT_EQ(locate("tvltest"), userCopy("tvltest"));
  ASSERT_EQ(blessAsRoot(userCopy("tvltest")), 0);
  EXPECT_EQ(rawExchange("tvltest", userCopy("tvltest"), nullptr, false, unreadable), "4 0");
}

TEST_F(HelperTool, UnblessedCopyOrExtraArgumentServesNothing) {
  ASSERT_EQ(locate("tvltest"), userCopy("tvltest"));
  EXPECT_EQ(rawExchange("tvltest", userCopy("tvltest"), nullptr, false), "1 0");
  ASSERT_EQ(blessAsRoot(userCopy("tvltest")), 0);
  EXPECT_EQ(rawExchange("tvltest", userCopy("tvltest"), nullptr, true), "1 0");
}

TEST_F(HelperTool, BrokenCopiesAreRepairedOrReplaced) {
  std::string copy = userCopy("tvltest");
  ASSERT_EQ(locate("tvltest"), copy);
  ASSERT_EQ(blessAsRoot(copy), 0);
  // An owner write bit: blessed again (through pkexec) before the request.
  ::chmod(copy.c_str(), 04755);
  Result r = request("tvltest", makeRequest({{"task", num(99)}}));
  EXPECT_EQ(r.err, 0);
  EXPECT_TRUE(isBlessed(copy));

  // A template from another build (new modification time) makes the copy stale.
  struct timeval times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimes(kTemplate.c_str(), times), 0);
  EXPECT_EQ(locate("tvltest"), copy);
  EXPECT_FALSE(isBlessed(copy));
  EXPECT_EQ(statOf(copy).st_uid, tvltest::lookUpUser("tvltest")->uid);
  EXPECT_EQ(statOf(copy).st_mtim.tv_sec, 1000000000);

  // An empty folder in the copy's place is replaced; a non-empty one is not.
  fs::remove(copy);
  fs::create_directory(copy);
  ::chown(copy.c_str(), tvltest::lookUpUser("tvltest")->uid, 0);
  EXPECT_EQ(locate("tvltest"), copy);
  EXPECT_TRUE(S_ISREG(statOf(copy).st_mode));
  fs::remove(copy);
  fs::create_directories(copy + "/inside");
  EXPECT_EQ(locate("tvltest"), "error " + std::to_string(ENOTEMPTY));

  // No template in the bundle: -4960 and nothing else happens.
  fs::remove_all(copy);
  fs::remove(kTemplate);
  EXPECT_EQ(locate("tvltest"), "error -4960");
  EXPECT_FALSE(fs::exists(copy));
}

TEST_F(HelperTool, DeleteByteInThePathRunsNoScript) {
  std::string odd = kTop + "/tvltest/da\x7Fta";
  fs::create_directories(odd);
  auto u = tvltest::lookUpUser("tvltest");
  ::chown(odd.c_str(), u->uid, u->gid);
  auto text = runAsText("tvltest", [&]() -> std::string {
    ::setenv("XDG_DATA_HOME", odd.c_str(), 1);
    MoreUNIXIgnoreSIGPIPE();
    cf::String* tool = nullptr;
    int err = MoreSecCopyHelperToolURLAndCheck(
        cf::String::create(kTemplate).get(), tvl::system::kApplicationSupportFolderType,
        cf::String::create("NRVK").get(), cf::String::create(".TVLQCSecureTool").get(), &tool);
    if (err != 0) return "locate " + std::to_string(err);
    Ref<cf::String> owned = Ref<cf::String>::adopt(tool);
    auth::AuthorizationRef a = nullptr;
    auth::AuthorizationCreate(nullptr, 0, &a);
    auth::UniqueAuthorization ownedAuth(a);
    cf::Dictionary* response = nullptr;
    err = MoreSecExecuteRequestInHelperTool(tool, a, makeRequest({{"task", num(99)}}).get(),
                                            &response);
    return std::to_string(err) + (response ? " response" : "");
  });
  EXPECT_EQ(text, "-37");
  EXPECT_FALSE(isBlessed(odd + "/NRVK/.TVLQCSecureTool"));
  EXPECT_TRUE(fs::exists(odd + "/NRVK/.TVLQCSecureTool"));
}

TEST_F(HelperTool, CopiesInOtherDomainsAndTheTemporaryFolder) {
  // A valid copy in the local domain is used; nothing is made in the user's folder.
  std::string local = "/usr/local/share/NRVK/.TVLQCSecureTool";
  fs::create_directories("/usr/local/share/NRVK");
  ASSERT_EQ(MoreUNIXCopyFile(kTemplate.c_str(), local.c_str()), 0);
  ASSERT_EQ(blessAsRoot(local), 0);
  EXPECT_EQ(locate("tvltest"), local);
  EXPECT_FALSE(fs::exists(dataHome("tvltest") + "/NRVK"));
  fs::remove_all("/usr/local/share/NRVK");

  // A valid copy in the local temporary folder is used even for application support.
  std::string temp = "/var/tmp/NRVK/.TVLQCSecureTool";
  fs::create_directories("/var/tmp/NRVK");
  ASSERT_EQ(MoreUNIXCopyFile(kTemplate.c_str(), temp.c_str()), 0);
  ASSERT_EQ(blessAsRoot(temp), 0);
  EXPECT_EQ(locate("tvltest"), temp);
  fs::remove_all("/var/tmp/NRVK");

  // A home folder on a nosuid volume is unsuitable: 5370, then the temporary folder.
  std::string nosuid = kTop + "/tvltest/nosuid";
  fs::create_directories(nosuid);
  ASSERT_EQ(::mount("tmpfs", nosuid.c_str(), "tmpfs", MS_NOSUID, "mode=1777"), 0);
  bool ignoring = false;
  EXPECT_EQ(MoreSecIsFolderIgnoringSetUID(nosuid.c_str(), &ignoring), 0);
  EXPECT_TRUE(ignoring);
  auto text = runAsText("tvltest", [&]() -> std::string {
    ::setenv("XDG_DATA_HOME", (nosuid + "/data").c_str(), 1);
    std::string answers;
    for (OSType folder :
         {tvl::system::kApplicationSupportFolderType, tvl::system::kTemporaryFolderType}) {
      cf::String* tool = nullptr;
      int err = MoreSecCopyHelperToolURLAndCheck(
          cf::String::create(kTemplate).get(), folder, cf::String::create("NRVK").get(),
          cf::String::create(".TVLQCSecureTool").get(), &tool);
      answers += (err == 0 ? tool->str() : std::to_string(err)) + ";";
      CFQRelease(tool);
    }
    return answers;
  });
  ::umount(nosuid.c_str());
  std::string uid = std::to_string(tvltest::lookUpUser("tvltest")->uid);
  EXPECT_EQ(text, "5370;/var/tmp/tvl-" + uid + "/NRVK/.TVLQCSecureTool;");
}

TEST_F(HelperTool, ACopyInAFolderOfAnotherUserIsNeitherUsedNorRun) {
  // tvldenied made the shared temporary folder's NRVK first and holds a valid blessed
  // copy in it, which they could swap at any moment.
  std::string planted = "/var/tmp/NRVK/.TVLQCSecureTool";
  auto eve = tvltest::lookUpUser("tvldenied");
  fs::create_directories("/var/tmp/NRVK");
  ASSERT_EQ(::chown("/var/tmp/NRVK", eve->uid, eve->gid), 0);
  ASSERT_EQ(MoreUNIXCopyFile(kTemplate.c_str(), planted.c_str()), 0);
  ASSERT_EQ(blessAsRoot(planted), 0);

  // tvltest's search passes it by and makes a copy of its own.
  EXPECT_EQ(locate("tvltest"), userCopy("tvltest"));
  // Handed that path, the controller neither blesses nor runs what is there.
  Result r = request("tvltest", makeRequest({{"task", num(99)}}), planted);
  EXPECT_EQ(r.err, EACCES);
  EXPECT_FALSE(r.response);
}

TEST_F(HelperTool, ACallersFileSizeLimitOrAStaleTemporaryBreaksNoRootState) {
  ASSERT_EQ(locate("tvltest"), userCopy("tvltest"));
  ASSERT_EQ(blessAsRoot(userCopy("tvltest")), 0);
  installDaemonPlist();
  const std::string original = "# Host configuration\nAFPSERVER=-NO-\nTVLD=-NO-\n";
  writeFile("/etc/hostconfig", original);
  writeFile("/Library/StartupItems/tvld/tvld", "#!/bin/sh\necho \"$1\" >> " + kStartupMarker + "\n",
            0755);
  auto u = tvltest::lookUpUser("tvltest");
  writeFile("/tmp/hostconfig", "TVLD=-YES-\n");
  ::chown("/tmp/hostconfig", u->uid, u->gid);
  auto tinyFiles = [] {
    struct rlimit limit = {5, 5};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  };

  // A write cut by the caller's limit fails whole: the file stays as it was, and the
  // temporary goes.
  Result r = request("tvltest", makeRequest({{"task", num(4)}}), "",
                     tvl::system::kApplicationSupportFolderType, tinyFiles);
  EXPECT_EQ(r.err, 0);
  EXPECT_EQ(r.errorNumber(), EFBIG) << r.returnString();
  EXPECT_EQ(readFile("/etc/hostconfig"), original);
  EXPECT_FALSE(fs::exists("/etc/hostconfig.tvlqc-new"));
  EXPECT_FALSE(fs::exists(kStartupMarker));

  // A temporary left by a tool killed earlier does not block the next request.
  writeFile("/etc/hostconfig.tvlqc-new", "half");
  r = request("tvltest", makeRequest({{"task", num(4)}}));
  EXPECT_EQ(r.errorNumber(), 0) << r.returnString();
  EXPECT_EQ(readFile("/etc/hostconfig"), "# Host configuration\nAFPSERVER=-NO-\nTVLD=-YES-\n");
  EXPECT_FALSE(fs::exists("/etc/hostconfig.tvlqc-new"));

  // Loads whose record cannot be written leave no daemon behind, however often.
  for (int i = 0; i < 3; ++i) {
    r = request("tvltest", launchdRequest(7), "", tvl::system::kApplicationSupportFolderType,
                tinyFiles);
    EXPECT_NE(r.errorNumber(), 0);
  }
  EXPECT_EQ(runningDaemons().size(), 0u);
  // A load then starts exactly one, and an unload ends it.
  EXPECT_EQ(request("tvltest", launchdRequest(7)).errorNumber(), 0);
  EXPECT_EQ(runningDaemons(), std::vector<pid_t>{recordedDaemon()});
  EXPECT_EQ(request("tvltest", launchdRequest(8)).errorNumber(), 0);
  EXPECT_EQ(runningDaemons().size(), 0u);
}

TEST_F(HelperTool, NoThreadOfTheToolTakesASignalDuringARootStep) {
  // The startup item holds the tool in its root step until released; meanwhile every
  // thread of the tool must hold back what the user could send, so that nothing ends the
  // step half-way.
  ASSERT_EQ(locate("tvltest"), userCopy("tvltest"));
  ASSERT_EQ(blessAsRoot(userCopy("tvltest")), 0);
  writeFile("/etc/hostconfig", "TVLD=-NO-\n");
  writeFile("/Library/StartupItems/tvld/tvld",
            "#!/bin/sh\necho $PPID > /Library/tool.pid.new && mv /Library/tool.pid.new "
            "/Library/tool.pid\nwhile [ ! -e /Library/release ]; do sleep 0.05; done\n",
            0755);
  auto u = tvltest::lookUpUser("tvltest");
  writeFile("/tmp/hostconfig", "TVLD=-YES-\n");
  ::chown("/tmp/hostconfig", u->uid, u->gid);
  auto served = std::async(std::launch::async, [] {
    return request("tvltest", makeRequest({{"task", num(4)}}));
  });
  while (!fs::exists("/Library/tool.pid") &&
         served.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
  }
  std::string tool = "/proc/" + readFile("/Library/tool.pid");
  tool.erase(tool.find_last_not_of('\n') + 1);
  size_t threads = 0;
  for (const auto& task : fs::directory_iterator(tool + "/task")) {
    std::string status = readFile(task.path() / "status");
    size_t at = status.find("SigBlk:\t");
    ASSERT_NE(at, std::string::npos) << status;
    uint64_t blocked = std::stoull(status.substr(at + 8, 16), nullptr, 16);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGXFSZ, SIGXCPU})
      EXPECT_TRUE(blocked & (uint64_t(1) << (sig - 1))) << task.path() << " " << sig;
    ++threads;
  }
  EXPECT_EQ(threads, 1u);  // polkit is asked over a blocking connection: no other thread
  writeFile("/Library/release", "");
  Result r = served.get();
  EXPECT_EQ(r.errorNumber(), 0) << r.returnString();
  fs::remove("/Library/release");
  fs::remove("/Library/tool.pid");
}

TEST_F(HelperTool, ADaemonInheritsNothingFromAHostileCaller) {
  ASSERT_EQ(locate("tvltest"), userCopy("tvltest"));
  ASSERT_EQ(blessAsRoot(userCopy("tvltest")), 0);
  installDaemonPlist();
  Result r =
      request("tvltest", launchdRequest(7), "", tvl::system::kApplicationSupportFolderType, [] {
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 300);
        ::dup2(null, 301);
        ::close(null);
        // Soft limits only: without CAP_SYS_RESOURCE (as in CI) not even root may raise a
        // hard limit the caller lowered.
        for (auto [resource, value] : {std::pair{RLIMIT_CPU, 30},
                                       {RLIMIT_NOFILE, 40},
                                       {RLIMIT_SIGPENDING, 5},
                                       {RLIMIT_MSGQUEUE, 0},
                                       {RLIMIT_LOCKS, 1},
                                       {RLIMIT_RTTIME, 1000}}) {
          struct rlimit limit;
          ::getrlimit(resource, &limit);
          limit.rlim_cur = rlim_t(value);
          ::setrlimit(resource, &limit);
        }
        ::signal(SIGHUP, SIG_IGN);
      });
  ASSERT_EQ(r.errorNumber(), 0) << r.returnString();
  pid_t pid = recordedDaemon();
  ASSERT_GT(pid, 0);

  // Standard streams on /dev/null and nothing else.
  std::vector<std::string> fds;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
    fds.push_back(e.path().filename().string() + "->" + fs::read_symlink(e.path()).string());
  std::sort(fds.begin(), fds.end());
  EXPECT_EQ(fds, (std::vector<std::string>{"0->/dev/null", "1->/dev/null", "2->/dev/null"}));
  // Default signal handling, nothing blocked.
  std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
  EXPECT_NE(status.find("SigBlk:\t0000000000000000\n"), std::string::npos) << status;
  EXPECT_NE(status.find("SigIgn:\t0000000000000000\n"), std::string::npos) << status;
  // The machine's ordinary limits: those of process 1, as far as the hard limits allow.
  for (int resource = 0; resource < RLIM_NLIMITS; ++resource) {
    auto which = static_cast<__rlimit_resource>(resource);
    struct rlimit ordinary, daemon;
    ASSERT_EQ(::prlimit(1, which, nullptr, &ordinary), 0);
    ASSERT_EQ(::prlimit(pid, which, nullptr, &daemon), 0);
    EXPECT_EQ(daemon.rlim_cur, std::min(ordinary.rlim_cur, daemon.rlim_max)) << resource;
    EXPECT_LE(daemon.rlim_max, ordinary.rlim_max) << resource;
  }
  EXPECT_EQ(request("tvltest", launchdRequest(8)).errorNumber(), 0);
}

TEST_F(HelperTool, AControllerWithoutStandardStreamsIsServed) {
  // The copy is fresh: the request goes through the blessing (pkexec) and then the tool,
  // both started from a process whose descriptors 0 and 1 are closed.
  Result r = request("tvltest", makeRequest({{"task", num(99)}}), "",
                     tvl::system::kApplicationSupportFolderType, [] {
                       ::close(0);
                       ::close(1);
                     });
  EXPECT_EQ(r.err, 0);
  EXPECT_EQ(r.errorNumber(), paramErr);
  EXPECT_TRUE(isBlessed(userCopy("tvltest")));
}

TEST_F(HelperTool, RootRunsOnlyProgramsThatNobodyElseCanChange) {
  ASSERT_EQ(locate("tvltest"), userCopy("tvltest"));
  ASSERT_EQ(blessAsRoot(userCopy("tvltest")), 0);
  auto u = tvltest::lookUpUser("tvltest");
  installDaemonPlist();
  // The daemon's program is the user's, then in a folder anyone may write.
  ASSERT_EQ(::chown(kDaemon.c_str(), u->uid, u->gid), 0);
  Result r = request("tvltest", launchdRequest(7));
  EXPECT_EQ(r.returnString().rfind("TVLQC Error:", 0), 0u) << r.returnString();
  ASSERT_EQ(::chown(kDaemon.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod("/Library/TestBin", 0777), 0);
  r = request("tvltest", launchdRequest(7));
  EXPECT_EQ(r.returnString().rfind("TVLQC Error:", 0), 0u) << r.returnString();
  EXPECT_EQ(runningDaemons().size(), 0u);
  EXPECT_FALSE(fs::exists("/run/tvlqc/com.nrvk.sweeper.plist.pid"));

  // The startup item is the user's: the host configuration stays and nothing runs.
  writeFile("/etc/hostconfig", "TVLD=-NO-\n");
  writeFile("/Library/StartupItems/tvld/tvld", "#!/bin/sh\necho \"$1\" >> " + kStartupMarker + "\n",
            0755);
  ASSERT_EQ(::chown("/Library/StartupItems/tvld/tvld", u->uid, u->gid), 0);
  writeFile("/tmp/hostconfig", "TVLD=-YES-\n");
  ::chown("/tmp/hostconfig", u->uid, u->gid);
  r = request("tvltest", makeRequest({{"task", num(4)}}));
  EXPECT_EQ(r.returnString().rfind("TVLQC Error:", 0), 0u) << r.returnString();
  EXPECT_FALSE(fs::exists(kStartupMarker));
  EXPECT_EQ(readFile("/etc/hostconfig"), "TVLD=-NO-\n");
}

TEST_F(HelperTool, ControllerSideOfBrokenTools) {
  // Root runs a blessed stand-in tool that breaks the protocol on purpose.
  std::string fake = kTop + "/fake-tool";
  ASSERT_EQ(MoreUNIXCopyFile(FAKE_HELPER_TOOL, fake.c_str()), 0);
  ASSERT_EQ(::chmod(fake.c_str(), 04555), 0);
  auto run = [&](const char* mode, std::string* detail = nullptr) -> int {
    return int(runAs(nullptr, [&]() -> int64_t {
                 ::setenv("FAKE_TOOL_MODE", mode, 1);
                 MoreUNIXIgnoreSIGPIPE();
                 size_t before = 0, after = 0;
                 for (auto& e : fs::directory_iterator("/proc/self/fd")) (void)e, ++before;
                 auth::AuthorizationRef a = nullptr;
                 auth::AuthorizationCreate(nullptr, 0, &a);
                 auth::UniqueAuthorization owned(a);
                 cf::Dictionary* response = nullptr;
                 int err = MoreSecExecuteRequestInHelperTool(cf::String::create(fake).get(), a,
                                                             makeRequest({{"task", num(1)}}).get(),
                                                             &response);
                 if ((err == 0) != (response != nullptr)) return 1000;
                 if (response) {
                   // Three descriptors, the controller's own numbers, in the tool's order.
                   const cf::Array* fds = cf::arrayForKey(response, kMoreSecFileDescriptorsKey);
                   std::string seen;
                   for (size_t i = 0; fds && i < fds->count(); ++i) {
                     int32_t fd = -1;
                     cf::as<cf::Number>(fds->valueAt(i))->getSInt32(&fd);
                     char c = 0;
                     if (::read(fd, &c, 1) == 1) seen += c;
                   }
                   MoreSecCloseDescriptorArray(fds);
                   CFQRelease(response);
                   if (fds && seen != "XYZ") return 1001;
                 }
                 for (auto& e : fs::directory_iterator("/proc/self/fd")) (void)e, ++after;
                 if (after != before) return 1002;  // a received descriptor stayed open
                 if (::waitpid(-1, nullptr, WNOHANG) != -1) return 1003;  // unreaped
                 return err;
               }).value_or(-1));
    (void)detail;
  };
  EXPECT_EQ(run("echo"), 0);
  EXPECT_EQ(run("fds3"), 0);
  EXPECT_EQ(run("signal"), kHelperToolRepairFailedErr);
  EXPECT_EQ(run("exit2"), 5362);
  EXPECT_EQ(run("exit9"), kHelperToolRepairFailedErr);
  EXPECT_EQ(run("fdsnumber"), kMoreSecBadDescriptorListErr);
  EXPECT_EQ(run("fdsnegative"), kMoreSecBadDescriptorListErr);
  EXPECT_EQ(run("len0"), paramErr);
  EXPECT_EQ(run("lenbig"), memFullErr);
  EXPECT_EQ(run("early0"), EPIPE);  // closing early is never success
}

TEST_F(HelperTool, AThousandRequestsLeaveNoDescriptorAndNoChild) {
  ASSERT_EQ(locate("tvltest"), userCopy("tvltest"));
  ASSERT_EQ(blessAsRoot(userCopy("tvltest")), 0);
  auto result = runAs("tvltest", [&]() -> int64_t {
    becomeController("tvltest");
    auto countFds = [] {
      size_t n = 0;
      for (auto& e : fs::directory_iterator("/proc/self/fd")) (void)e, ++n;
      return n;
    };
    size_t before = countFds();
    auth::AuthorizationRef a = nullptr;
    auth::AuthorizationCreate(nullptr, 0, &a);
    auth::UniqueAuthorization owned(a);
    Ref<cf::String> tool = cf::String::create(userCopy("tvltest"));
    Ref<cf::Dictionary> req = makeRequest({{"task", num(99)}});
    for (int i = 0; i < 1000; ++i) {
      cf::Dictionary* response = nullptr;
      int err = MoreSecExecuteRequestInHelperTool(tool.get(), a, req.get(), &response);
      bool ok = err == 0 && MoreSecGetErrorFromResponse(response) == paramErr;
      CFQRelease(response);
      if (!ok) return 1000 + i;
    }
    if (countFds() != before) return 1;
    if (::waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD) return 2;
    return 0;
  });
  EXPECT_EQ(result, 0);
}

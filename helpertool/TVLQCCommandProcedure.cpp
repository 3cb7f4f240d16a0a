#include "helpertool/TVLQCCommandProcedure.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/cf/PropertyListXML.h"
#include "platform/system/Paths.h"
#include "privileged/MoreSecurity.h"
#include "privileged/MoreUNIX.h"

const char kTVLTaskKey[] = "task";
const char kTVLFilenameKey[] = "filename";
const char kTVLFolderKey[] = "folder";
const char kTVLReturnStringKey[] = "returnString";
const char kTVLErrorPrefix[] = "TVLQC Error:";

namespace {

constexpr int32_t kLaunchDaemonsFolder = 3;
constexpr const char* kLaunchDaemons = "/Library/LaunchDaemons";
constexpr const char* kTempHostConfig = "/private/tmp/hostconfig";
constexpr const char* kHostConfig = "/private/etc/hostconfig";
constexpr const char* kStartupItem = "/Library/StartupItems/tvld/tvld";
// Where a loaded property list remembers its process: root's own folder on a tmpfs, so
// nothing stale survives a reboot.
constexpr const char* kLoadedState = "/run/tvlqc";
constexpr size_t kMaxFileSize = 1 << 20;
constexpr auto kStopTimeout = std::chrono::seconds(10);

// A refusal: the text the controller shows and the command's error.
struct Failure {
  int err;
  std::string text;
};
using Outcome = std::optional<Failure>;  // nullopt is success

Outcome fail(int err, const std::string& why) {
  return Failure{err, why};
}
// errno is read before the text is built, which could change it.
Outcome failErrno(const char* why, const std::string& detail = "") {
  int err = errno;
  return Failure{err, why + detail};
}

// Raises the effective uid to root for its lifetime.
class AsRoot {
 public:
  AsRoot() : err_(MoreSecSetPrivilegedEUID()) {}
  ~AsRoot() {
    if (err_ == 0) MoreSecTemporarilySetNonPrivilegedEUID();
  }
  int error() const { return err_; }

 private:
  int err_;
};

bool readSmallFile(int fd, std::string* content) {
  content->clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    content->append(buffer, size_t(n));
    if (content->size() > kMaxFileSize) return false;
  }
}

// A root-owned file or folder that nobody else may change; only then may root act on
// what it says.
bool isRootControlled(const struct stat& st) {
  return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

uint64_t startTimeOf(pid_t pid) {
  uint64_t start = 0;
  return auth::processStartTime(pid, &start) ? start : 0;
}

// A process that is gone, or a zombie nobody reaped yet, has ended.
bool hasEnded(pid_t pid, uint64_t startTime) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return true;
  if (stat[close + 2] == 'Z' || stat[close + 2] == 'X') return true;
  return startTimeOf(pid) != startTime;
}

// The child's set-up before exec: root in every id, a session of its own, standard
// streams on /dev/null, nothing else inherited, and ordinary limits rather than the
// tool's tight ones. Only async-signal-safe calls.
[[noreturn]] void execAsDaemon(const std::vector<const char*>& argv, int reportFd) {
  ::setsid();
  if (::setgid(0) != 0 || ::setgroups(0, nullptr) != 0 || ::setuid(0) != 0) {
    int err = errno;
    (void)!::write(reportFd, &err, sizeof err);
    ::_exit(127);
  }
  int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (null > 2) ::close(null);
  }
  for (int fd = 3; fd < ::getdtablesize(); ++fd)
    if (fd != reportFd) ::close(fd);
  struct rlimit limit;
  for (int resource : {RLIMIT_DATA, RLIMIT_NPROC}) {
    limit = {RLIM_INFINITY, RLIM_INFINITY};
    ::setrlimit(resource, &limit);
  }
  limit = {8u << 20, RLIM_INFINITY};
  ::setrlimit(RLIMIT_STACK, &limit);
  limit = {1024, RLIM_INFINITY};
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ::umask(022);
  (void)!::chdir("/");
  static char path[] = "PATH=/bin:/sbin:/usr/bin:/usr/sbin";
  char* envp[] = {path, nullptr};
  ::execve(argv[0], const_cast<char* const*>(argv.data()), envp);
  int err = errno;
  (void)!::write(reportFd, &err, sizeof err);
  ::_exit(127);
}

// Starts args as a root daemon and reports whether its exec succeeded: 0 with its pid, or
// the error of the fork or the exec (a child whose exec failed is reaped here).
int startDaemon(const std::vector<std::string>& args, pid_t* pid) {
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return errno;
  pid_t child = ::fork();
  if (child == 0) execAsDaemon(argv, report[1]);
  int err = child < 0 ? errno : 0;
  ::close(report[1]);
  if (child > 0) {
    // The report pipe closes on a successful exec; an exec failure writes its errno.
    int execErr = 0;
    ssize_t n;
    do {
      n = ::read(report[0], &execErr, sizeof execErr);
    } while (n < 0 && errno == EINTR);
    if (n == sizeof execErr) {
      err = execErr;
      MoreUNIXWaitForProcess(child, 0, nullptr, nullptr, nullptr);
    } else {
      *pid = child;
    }
  }
  ::close(report[0]);
  return err;
}

// Runs a program as root to its end with standard streams on /dev/null; its exit status.
int runToEnd(const std::vector<std::string>& args, int* exitStatus) {
  pid_t child = -1;
  if (int err = startDaemon(args, &child)) return err;
  int status = 0;
  if (int err = MoreUNIXWaitForProcess(child, 0, nullptr, &status, nullptr)) return err;
  *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return 0;
}

// "<pid> <start time>" of a loaded property list's process.
std::string statePath(const std::string& filename) {
  return std::string(kLoadedState) + "/" + filename + ".pid";
}

bool readState(const std::string& filename, pid_t* pid, uint64_t* startTime) {
  std::ifstream in(statePath(filename));
  long long p = 0;
  unsigned long long s = 0;
  if (!(in >> p >> s) || p <= 0) return false;
  *pid = pid_t(p);
  *startTime = s;
  return true;
}

Outcome validateLaunchdRequest(const cf::Dictionary* request, std::string* filename) {
  const cf::String* name = cf::stringForKey(request, kTVLFilenameKey);
  int32_t folder = 0;
  if (name == nullptr) return fail(paramErr, "missing or ill-typed \"filename\"");
  if (!cf::sint32ForKey(request, kTVLFolderKey, &folder))
    return fail(paramErr, "missing or ill-typed \"folder\"");
  const std::string& n = name->str();
  if (n.empty() || n.find('/') != std::string::npos || n.find("..") != std::string::npos ||
      n.find('\0') != std::string::npos || n.size() > 255)
    return fail(paramErr, "bad file name");
  if (folder != kLaunchDaemonsFolder) return fail(paramErr, "unknown folder");
  *filename = n;
  return std::nullopt;
}

Outcome loadLaunchdPlist(const cf::Dictionary* request) {
  std::string filename;
  if (Outcome refused = validateLaunchdRequest(request, &filename)) return refused;
  AsRoot root;
  if (root.error()) return fail(root.error(), "cannot become root");

  std::string path = std::string(kLaunchDaemons) + "/" + filename;
  struct stat folderStat;
  if (::lstat(kLaunchDaemons, &folderStat) != 0 || !S_ISDIR(folderStat.st_mode) ||
      !isRootControlled(folderStat))
    return fail(EPERM, "LaunchDaemons folder not root's");
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return failErrno("cannot open ", filename);
  struct stat st;
  std::string xml;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && isRootControlled(st) &&
            readSmallFile(fd, &xml);
  ::close(fd);
  if (!ok) return fail(EPERM, filename + " is not a root-owned property list");
  cf::Ref<cf::Object> plist = cf::createFromXML(xml);
  const cf::Array* args = cf::arrayForKey(cf::as<cf::Dictionary>(plist.get()), "ProgramArguments");
  std::vector<std::string> argv;
  for (size_t i = 0; args && i < args->count(); ++i) {
    const cf::String* s = cf::as<cf::String>(args->valueAt(i));
    if (s == nullptr || s->str().find('\0') != std::string::npos) {
      argv.clear();
      break;
    }
    argv.push_back(s->str());
  }
  if (argv.empty() || argv[0].empty() || argv[0][0] != '/')
    return fail(paramErr, filename + " has no usable ProgramArguments");

  // Loaded already and still running: nothing to do.
  pid_t running = 0;
  uint64_t runningStart = 0;
  if (readState(filename, &running, &runningStart) && !hasEnded(running, runningStart))
    return std::nullopt;

  if (::mkdir(kLoadedState, 0700) != 0 && errno != EEXIST)
    return failErrno("cannot keep the loaded state");
  pid_t pid = 0;
  if (int err = startDaemon(argv, &pid)) return fail(err, "cannot start " + argv[0]);
  std::string tmp = statePath(filename) + ".new";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << pid << ' ' << startTimeOf(pid) << '\n';
    if (!out.flush()) return fail(EIO, "cannot record the loaded state");
  }
  if (::rename(tmp.c_str(), statePath(filename).c_str()) != 0)
    return failErrno("cannot record the loaded state");
  return std::nullopt;
}

Outcome unloadLaunchdPlist(const cf::Dictionary* request) {
  std::string filename;
  if (Outcome refused = validateLaunchdRequest(request, &filename)) return refused;
  AsRoot root;
  if (root.error()) return fail(root.error(), "cannot become root");
  pid_t pid = 0;
  uint64_t startTime = 0;
  // Not loaded: the service is already in the state asked for.
  if (!readState(filename, &pid, &startTime)) return std::nullopt;
  if (!hasEnded(pid, startTime)) {
    // The daemon leads its own session: end its whole process group.
    ::kill(-pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    while (!hasEnded(pid, startTime) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!hasEnded(pid, startTime)) {
      ::kill(-pid, SIGKILL);
      while (!hasEnded(pid, startTime)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (::unlink(statePath(filename).c_str()) != 0 && errno != ENOENT)
    return failErrno("cannot forget the loaded state");
  return std::nullopt;
}

// Replaces the TVLD setting lines of text by line (or appends it when there is none);
// every other byte stays.
std::string withSetting(const std::string& text, const std::string& line) {
  std::string out;
  bool replaced = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    size_t next = end == std::string::npos ? text.size() : end + 1;
    std::string_view current(text.data() + start,
                             (end == std::string::npos ? text.size() : end) - start);
    if (current.substr(0, 5) == "TVLD=") {
      out += line;
      if (end != std::string::npos) out += '\n';
      replaced = true;
    } else {
      out.append(text, start, next - start);
    }
    start = next;
  }
  if (!replaced) {
    if (!out.empty() && out.back() != '\n') out += '\n';
    out += line + "\n";
  }
  return out;
}

int writeAtomically(const std::string& path, const std::string& content) {
  struct stat st;
  bool exists = ::stat(path.c_str(), &st) == 0;
  std::string tmp = path + ".tvlqc-new";
  const mode_t mode = exists ? (st.st_mode & 07777) : 0644;
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return errno;
  // The tool's umask (077) would otherwise make a file everyone reads root's alone.
  int err = ::fchmod(fd, mode) == 0 ? 0 : errno;
  if (err == 0) err = MoreUNIXWrite(fd, content.data(), content.size(), nullptr);
  if (err == 0 && exists && ::fchown(fd, st.st_uid, st.st_gid) != 0) err = errno;
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) ::unlink(tmp.c_str());
  return err;
}

Outcome setHostConfig(bool start) {
  const std::string wanted = start ? "TVLD=-YES-" : "TVLD=-NO-";
  // The user's copy is read with the user's rights: it must be the user's own regular
  // file, not something reached through a link.
  std::string copyPath = tvl::system::mapPlatformPath(kTempHostConfig);
  int fd = ::open(copyPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return failErrno("cannot open the host configuration copy");
  struct stat st;
  std::string copy;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid() &&
            st.st_nlink == 1 && readSmallFile(fd, &copy);
  ::close(fd);
  if (!ok) return fail(EPERM, "the host configuration copy is not the user's own file");
  bool found = false;
  std::istringstream lines(copy);
  for (std::string line; std::getline(lines, line);) found = found || line == wanted;
  if (!found) return fail(paramErr, "the host configuration copy does not say " + wanted);

  AsRoot root;
  if (root.error()) return fail(root.error(), "cannot become root");
  std::string hostConfig = tvl::system::mapPlatformPath(kHostConfig);
  std::string current;
  int in = ::open(hostConfig.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in >= 0) {
    ok = readSmallFile(in, &current);
    ::close(in);
    if (!ok) return fail(EIO, "cannot read the host configuration");
  } else if (errno != ENOENT) {
    return failErrno("cannot read the host configuration");
  }
  if (int err = writeAtomically(hostConfig, withSetting(current, wanted)))
    return fail(err, "cannot write the host configuration");
  int status = 0;
  if (int err = runToEnd({kStartupItem, start ? "start" : "stop"}, &status))
    return fail(err, "cannot run the startup item");
  if (status != 0)
    return fail(EIO, "the startup item failed with status " + std::to_string(status));
  return std::nullopt;
}

}  // namespace

int TVLQCCommandProc(auth::AuthorizationRef auth, const cf::Dictionary* request,
                     cf::Dictionary** response) {
  int err = auth::AuthorizationCopyRights(auth, auth::kAuthorizationRightExecute,
                                          auth::kAuthorizationFlagDefaults);
  if (err != 0) return err;

  int32_t task = 0;
  Outcome outcome;
  if (!cf::sint32ForKey(request, kTVLTaskKey, &task)) {
    outcome = fail(paramErr, "missing or ill-typed \"task\"");
  } else {
    switch (task) {
      case 2:
      case 7:
        outcome = loadLaunchdPlist(request);
        break;
      case 3:
      case 8:
        outcome = unloadLaunchdPlist(request);
        break;
      case 4:
      case 5:
        outcome = setHostConfig(task == 4);
        break;
      default:
        outcome = fail(paramErr, "unknown task " + std::to_string(task));
    }
  }
  if (!outcome) return 0;
  cf::Ref<cf::Dictionary> answer = cf::Dictionary::create();
  answer->setValue(kTVLReturnStringKey,
                   cf::String::create(std::string(kTVLErrorPrefix) + " " + outcome->text).get());
  *response = answer.detach();
  return outcome->err != 0 ? outcome->err : paramErr;
}

#include "helpertool/TVLQCCommandProcedure.h"

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/close_range.h>

#include <cerrno>
#include <chrono>
#include <climits>
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

namespace tvl {

namespace {

constexpr const char* kLaunchDaemons = "/Library/LaunchDaemons";
constexpr const char* kTempHostConfig = "/private/tmp/hostconfig";
constexpr const char* kHostConfig = "/private/etc/hostconfig";
constexpr const char* kStartupItem = "/Library/StartupItems/tvld/tvld";
// Where a loaded property list remembers its process: root's own folder on a tmpfs, so
// nothing stale survives a reboot.
constexpr const char* kLoadedState = "/run/tvlqc";
constexpr size_t kMaxFileSize = 1 << 20;
constexpr auto kStopTimeout = std::chrono::milliseconds(10000);
constexpr auto kKillTimeout = std::chrono::milliseconds(5000);
constexpr auto kLockTimeout = std::chrono::seconds(30);

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

// The privileged step: root's user, group and no supplementary groups, so that nothing
// done as root carries the user's groups, and every signal the user may send held back
// until the step is done, so that no root step is stopped half-way by the caller (the
// file-size limit's SIGXFSZ included: a write past it fails with EFBIG instead).
// Leaving it gives the user's ids and groups back and lets the held signals in.
class AsRoot {
 public:
  AsRoot() {
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &savedMask_);
    int n = ::getgroups(0, nullptr);
    if (n > 0) {
      groups_.resize(size_t(n));
      n = ::getgroups(n, groups_.data());
    }
    if (n < 0) {
      err_ = errno;
    } else {
      groups_.resize(size_t(n));
      err_ = MoreSecSetPrivilegedEUID();
    }
    if (err_ == 0 && (::setegid(0) != 0 || ::setgroups(0, nullptr) != 0)) err_ = errno;
    if (err_ != 0) drop();
  }
  ~AsRoot() { drop(); }
  int error() const { return err_; }

 private:
  void drop() {
    if (::geteuid() == 0) {
      // Giving up root must work: a tool that kept it would go on as root.
      if (::setgroups(groups_.size(), groups_.data()) != 0 || ::setegid(::getgid()) != 0 ||
          MoreSecTemporarilySetNonPrivilegedEUID() != 0)
        ::abort();
    }
    // A write the file-size limit cut short has already failed with EFBIG; its SIGXFSZ,
    // held back until now, would still end the tool.
    sigset_t fileSize;
    sigemptyset(&fileSize);
    sigaddset(&fileSize, SIGXFSZ);
    const timespec now = {};
    while (::sigtimedwait(&fileSize, nullptr, &now) == SIGXFSZ) {
    }
    ::sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
  }
  int err_ = 0;
  sigset_t savedMask_;
  std::vector<gid_t> groups_;
};

// One request at a time changes root's state (several users' tools may run at once).
// Taken as root; the kernel releases it when the tool ends, however it ends. A tool that
// holds it and is stopped makes the others give up after a while rather than hang.
class StateLock {
 public:
  StateLock() {
    if (::mkdir(kLoadedState, 0700) != 0 && errno != EEXIST) {
      err_ = errno;
      return;
    }
    std::string path = std::string(kLoadedState) + "/lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      err_ = errno;
      return;
    }
    auto deadline = std::chrono::steady_clock::now() + kLockTimeout;
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
        err_ = errno == EWOULDBLOCK ? EBUSY : errno;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~StateLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  int error() const { return err_; }

 private:
  int fd_ = -1;
  int err_ = 0;
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

// A program root may run: a regular file that is root's and that nobody else may change,
// in folders that are all root's and that nobody else may change (walked without
// following links, on the program's real path). Otherwise anyone who can write one of
// them chooses what root runs. The real path, which is what is run.
Outcome checkRootProgram(const std::string& program, std::string* realPath) {
  char real[PATH_MAX];
  if (program.empty() || program[0] != '/' || ::realpath(program.c_str(), real) == nullptr)
    return failErrno("cannot find ", program);
  int dir = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  bool ok = dir >= 0 && ::fstat(dir, &st) == 0 && isRootControlled(st);
  std::string path = real;
  for (size_t start = 1; ok && start < path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(start, end - start);
    int next = ::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    ok = next >= 0 && ::fstat(next, &st) == 0 && isRootControlled(st) &&
         (end == path.size() ? S_ISREG(st.st_mode) : S_ISDIR(st.st_mode));
    ::close(dir);
    dir = next;
    start = end + 1;
  }
  if (dir >= 0) ::close(dir);
  if (!ok) return fail(EPERM, program + " or a folder above it is not root's alone");
  *realPath = path;
  return std::nullopt;
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
// streams on /dev/null, no other descriptor, default signal handling with nothing
// blocked, and the limits the machine gives its own processes (those of process 1)
// rather than the tool's or its caller's. Only async-signal-safe calls. It execs only
// once the tool writes a byte to goFd (after recording it); if the tool dies first, the
// child ends without running anything.
[[noreturn]] void execAsDaemon(const char* program, const std::vector<const char*>& argv,
                               const int go[2], int reportFd) {
  // Our copy of the go pipe's writing end would keep the pipe open for ever.
  ::close(go[1]);
  int goFd = go[0];
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
  // Every descriptor from 3 up, however high and whatever the descriptor limit says,
  // ends at the exec; the report pipe's closing is how the tool learns the exec worked.
  ::close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);
  for (int resource = 0; resource < RLIM_NLIMITS; ++resource) {
    struct rlimit ordinary, current;
    if (::prlimit(1, static_cast<__rlimit_resource>(resource), nullptr, &ordinary) != 0) continue;
    if (::setrlimit(resource, &ordinary) == 0) continue;
    // Raising a hard limit needs CAP_SYS_RESOURCE, which a container may deny even root:
    // come as close as the hard limit allows.
    if (::getrlimit(resource, &current) != 0) continue;
    if (ordinary.rlim_cur > current.rlim_max) ordinary.rlim_cur = current.rlim_max;
    ordinary.rlim_max = current.rlim_max;
    ::setrlimit(resource, &ordinary);
  }
  ::umask(022);
  (void)!::chdir("/");
  char released = 0;
  ssize_t n;
  do {
    n = ::read(goFd, &released, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1) ::_exit(127);
  struct sigaction standard = {};
  standard.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &standard, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  static char path[] = "PATH=/bin:/sbin:/usr/bin:/usr/sbin";
  char* envp[] = {path, nullptr};
  ::execve(program, const_cast<char* const*>(argv.data()), envp);
  int err = errno;
  (void)!::write(reportFd, &err, sizeof err);
  ::_exit(127);
}

// A daemon child between its fork and its exec: it runs nothing until release(). The
// program is run from its checked real path; args keep their first element as given.
class DaemonStart {
 public:
  int fork(const std::string& program, const std::vector<std::string>& args) {
    for (const auto& a : args) argv_.push_back(a.c_str());
    argv_.push_back(nullptr);
    int go[2], report[2];
    if (::pipe2(go, O_CLOEXEC) != 0) return errno;
    if (::pipe2(report, O_CLOEXEC) != 0) {
      int err = errno;
      ::close(go[0]);
      ::close(go[1]);
      return err;
    }
    pid_ = ::fork();
    if (pid_ == 0) execAsDaemon(program.c_str(), argv_, go, report[1]);
    int err = pid_ < 0 ? errno : 0;
    ::close(go[0]);
    ::close(report[1]);
    goFd_ = go[1];
    reportFd_ = report[0];
    return err;
  }
  pid_t pid() const { return pid_; }
  // Lets the child exec; 0 with the daemon running, or the error of its exec.
  int release() {
    char go = 1;
    int err = MoreUNIXWrite(goFd_, &go, 1, nullptr);
    ::close(std::exchange(goFd_, -1));
    int execErr = 0;
    ssize_t n;
    do {
      n = ::read(reportFd_, &execErr, sizeof execErr);
    } while (n < 0 && errno == EINTR);
    if (n == sizeof execErr) err = execErr;
    if (err != 0)
      reap();
    else
      pid_ = -1;  // running: it is the daemon's now
    return err;
  }
  ~DaemonStart() {
    // Not released: the child sees the pipe close and ends without running anything.
    if (goFd_ >= 0) ::close(goFd_);
    if (reportFd_ >= 0) ::close(reportFd_);
    if (pid_ > 0) reap();
  }

 private:
  void reap() {
    MoreUNIXWaitForProcess(pid_, 0, nullptr, nullptr, nullptr);
    pid_ = -1;
  }
  std::vector<const char*> argv_;
  pid_t pid_ = -1;
  int goFd_ = -1;
  int reportFd_ = -1;
};

// Runs a program as root to its end with standard streams on /dev/null; its exit status.
int runToEnd(const std::string& program, const std::vector<std::string>& args, int* exitStatus) {
  DaemonStart start;
  if (int err = start.fork(program, args)) return err;
  pid_t child = start.pid();
  if (int err = start.release()) return err;
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

// Writes path whole or not at all: a temporary beside it, synced and renamed over it.
// The temporary's name is fixed, so a stale one left by a tool that was killed is
// removed here (callers hold the state lock) instead of piling up or blocking.
int writeAtomically(const std::string& path, const std::string& content, mode_t newMode,
                    bool keepOwner) {
  struct stat st;
  bool exists = ::stat(path.c_str(), &st) == 0;
  std::string tmp = path + ".tvlqc-new";
  const mode_t mode = exists ? (st.st_mode & 07777) : newMode;
  if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) return errno;
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return errno;
  // The tool's umask (077) would otherwise make a file everyone reads root's alone.
  int err = ::fchmod(fd, mode) == 0 ? 0 : errno;
  if (err == 0) err = MoreUNIXWrite(fd, content.data(), content.size(), nullptr);
  if (err == 0 && exists && keepOwner && ::fchown(fd, st.st_uid, st.st_gid) != 0) err = errno;
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) ::unlink(tmp.c_str());
  return err;
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
  if (folder != kTVLLaunchDaemonsFolder) return fail(paramErr, "unknown folder");
  *filename = n;
  return std::nullopt;
}

Outcome loadLaunchdPlist(const cf::Dictionary* request) {
  std::string filename;
  if (Outcome refused = validateLaunchdRequest(request, &filename)) return refused;
  std::string path = std::string(kLaunchDaemons) + "/" + filename;
  std::string xml;
  {
    AsRoot root;
    if (root.error()) return fail(root.error(), "cannot become root");
    struct stat folderStat;
    if (::lstat(kLaunchDaemons, &folderStat) != 0 || !S_ISDIR(folderStat.st_mode) ||
        !isRootControlled(folderStat))
      return fail(EPERM, "LaunchDaemons folder not root's");
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return failErrno("cannot open ", filename);
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && isRootControlled(st) &&
              readSmallFile(fd, &xml);
    ::close(fd);
    if (!ok) return fail(EPERM, filename + " is not a root-owned property list");
  }
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

  AsRoot root;
  if (root.error()) return fail(root.error(), "cannot become root");
  std::string program;
  if (Outcome refused = checkRootProgram(argv[0], &program)) return refused;
  StateLock lock;
  if (lock.error()) return fail(lock.error(), "another request is changing the services");
  // Loaded already and still running: nothing to do.
  pid_t running = 0;
  uint64_t runningStart = 0;
  if (readState(filename, &running, &runningStart) && !hasEnded(running, runningStart))
    return std::nullopt;

  // The record is written before the daemon may run: a tool killed at any point leaves
  // either no daemon or a daemon that the record names.
  DaemonStart start;
  if (int err = start.fork(program, argv)) return fail(err, "cannot start " + argv[0]);
  std::string record =
      std::to_string(start.pid()) + " " + std::to_string(startTimeOf(start.pid())) + "\n";
  if (int err = writeAtomically(statePath(filename), record, 0600, false))
    return fail(err, "cannot record the loaded state");
  if (int err = start.release()) {
    ::unlink(statePath(filename).c_str());
    return fail(err, "cannot start " + argv[0]);
  }
  return std::nullopt;
}

}  // namespace

bool TVLQCStopProcessGroup(pid_t pid, uint64_t startTime, std::chrono::milliseconds termTimeout,
                           std::chrono::milliseconds killTimeout, int (*sendSignal)(pid_t, int)) {
  auto waitFor = [&](std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!hasEnded(pid, startTime) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return hasEnded(pid, startTime);
  };
  if (hasEnded(pid, startTime)) return true;
  // The daemon leads its own session: end its whole process group.
  sendSignal(-pid, SIGTERM);
  if (waitFor(termTimeout)) return true;
  sendSignal(-pid, SIGKILL);
  // A process in uninterruptible sleep outlives even SIGKILL for as long as it sleeps:
  // give up after a while rather than hang the tool and the user's request.
  return waitFor(killTimeout);
}

namespace {

Outcome unloadLaunchdPlist(const cf::Dictionary* request) {
  std::string filename;
  if (Outcome refused = validateLaunchdRequest(request, &filename)) return refused;
  AsRoot root;
  if (root.error()) return fail(root.error(), "cannot become root");
  StateLock lock;
  if (lock.error()) return fail(lock.error(), "another request is changing the services");
  pid_t pid = 0;
  uint64_t startTime = 0;
  // Not loaded: the service is already in the state asked for.
  if (!readState(filename, &pid, &startTime)) return std::nullopt;
  // The record stays until the daemon has ended, so that a later unload finds it again.
  if (!TVLQCStopProcessGroup(pid, startTime, kStopTimeout, kKillTimeout, ::kill))
    return fail(ETIMEDOUT, "the daemon " + std::to_string(pid) + " did not end");
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

  std::string startupItem;
  AsRoot root;
  if (root.error()) return fail(root.error(), "cannot become root");
  if (Outcome refused = checkRootProgram(kStartupItem, &startupItem)) return refused;
  StateLock lock;
  if (lock.error()) return fail(lock.error(), "another request is changing the services");
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
  if (int err = writeAtomically(hostConfig, withSetting(current, wanted), 0644, true))
    return fail(err, "cannot write the host configuration");
  int status = 0;
  if (int err = runToEnd(startupItem, {kStartupItem, start ? "start" : "stop"}, &status))
    return fail(err, "cannot run the startup item");
  if (status != 0)
    return fail(EIO, "the startup item failed with status " + std::to_string(status));
  return std::nullopt;
}

}  // namespace

int TVLQCAuthorizationGate(auth::AuthorizationRef auth) {
  // The polkit client's threads start here and inherit this thread's signal mask. With
  // every signal blocked in them, a signal sent to the tool can reach only the main
  // thread, which holds signals back during root steps; otherwise one of them would take
  // it and end the tool in the middle of such a step.
  sigset_t all, saved;
  sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &saved);
  int err = auth::AuthorizationCopyRights(auth, auth::kAuthorizationRightExecute,
                                          auth::kAuthorizationFlagDefaults);
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return err;
}

int TVLQCCommandProc(auth::AuthorizationRef, const cf::Dictionary* request,
                     cf::Dictionary** response) {
  int32_t task = 0;
  Outcome outcome;
  if (!cf::sint32ForKey(request, kTVLTaskKey, &task)) {
    outcome = fail(paramErr, "missing or ill-typed \"task\"");
  } else {
    switch (static_cast<TVLTask>(task)) {
      case TVLTask::LoadTiger:
      case TVLTask::LoadLeopard:
        outcome = loadLaunchdPlist(request);
        break;
      case TVLTask::UnloadTiger:
      case TVLTask::UnloadLeopard:
        outcome = unloadLaunchdPlist(request);
        break;
      case TVLTask::StartStartupItem:
      case TVLTask::StopStartupItem:
        outcome = setHostConfig(static_cast<TVLTask>(task) == TVLTask::StartStartupItem);
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

}  // namespace tvl

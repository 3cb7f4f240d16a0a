// The helper tool's runtime, linked into the set-user-ID tool: resetting what the caller
// left it (environment, descriptors, limits, signals), switching the effective user, and
// the tool's main loop.

#include "privileged/MoreSecurity.h"

#include <alloca.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/system/Assert.h"
#include "platform/system/Paths.h"
#include "privileged/MoreCFQ.h"
#include "privileged/MoreUNIX.h"

namespace tvl {

using cf::Ref;
using tvl::system::kLocalDomain;
using tvl::system::kTemporaryFolderType;
using tvl::system::kUserDomain;

// ---- The tool's runtime ----

namespace {
#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's shadow memory is one huge private writable mapping, which Linux counts
// as data: any finite limit would make every later allocation fail.
constexpr rlim_t kDataSoftLimit = RLIM_INFINITY;
#else
constexpr rlim_t kDataSoftLimit = 6291456;
#endif
}  // namespace

const MoreSecResourceLimit kResourceLimits[9] = {
    {RLIMIT_CPU, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_FSIZE, RLIM_INFINITY, RLIM_INFINITY},
    // Linux counts every private writable mapping here, shared libraries' data and the
    // allocator's arenas included: 6 MiB would starve the tool (see docs/helper-tool.md).
    {RLIMIT_DATA, kDataSoftLimit, RLIM_INFINITY},
    {RLIMIT_STACK, 524288, 67108864},
    {RLIMIT_CORE, 0, RLIM_INFINITY},
    {RLIMIT_AS, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_MEMLOCK, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_NPROC, 100, RLIM_INFINITY},
    {RLIMIT_NOFILE, 256, RLIM_INFINITY},
};

int CloseOpenFileDescriptorsInRange(int first, int end) {
  // One call whatever the range: a caller may hold descriptors far above any limit.
  if (first >= end) return 0;
  return MoreUNIXErrno(::close_range(unsigned(first), unsigned(end - 1), 0));
}

int MoreSecTemporarilySetNonPrivilegedEUID() {
  return MoreUNIXErrno(::seteuid(::getuid()));
}
int MoreSecSetPrivilegedEUID() {
  return MoreUNIXErrno(::seteuid(0));
}
int MoreSecPermanentlySetNonPrivilegedEUID() {
  // setuid() changes the saved uid only while the effective uid is 0: setresuid gives up
  // root for good from either state.
  uid_t user = ::getuid();
  return MoreUNIXErrno(::setresuid(user, user, user));
}
auth::AuthorizationRef MoreSecHelperToolCopyAuthRef() {
  return nullptr;
}

namespace {

// The bytes of stack that the tool's own frames may use under the reset's stack limit.
constexpr size_t kToolStack = 512 * 1024;

// Maps the next kToolStack bytes of the stack now, while the caller's stack limit still
// allows it. The kernel counts what already sits at the stack's top (the caller's
// arguments and environment, up to several megabytes) against the limit when the stack
// grows: under the reset's 512 KiB the tool would otherwise die at its next deep call.
[[gnu::noinline]] void reserveStack() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_STACK, &limit) != 0) return;
  auto top = static_cast<uintptr_t>(::getauxval(AT_EXECFN));
  char here;
  auto inUse =
      top > reinterpret_cast<uintptr_t>(&here) ? top - reinterpret_cast<uintptr_t>(&here) : 0;
  // Under a caller's limit too tight for it, the tool keeps what that limit gave it.
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < inUse + 2 * kToolStack) return;
  volatile char* area = static_cast<volatile char*>(::alloca(kToolStack));
  for (size_t offset = 0; offset < kToolStack; offset += 4096) area[offset] = 0;
}

}  // namespace

int MoreSecDestroyInheritedEnvironment(unsigned whatToDubya, char* argv[]) {
  TVL_ASSERT(argv != nullptr || (whatToDubya & kMoreSecKeepArg0Mask) != 0);
  if (!(whatToDubya & kMoreSecKeepArg0Mask)) {
    uint32_t size = 0;
    MoreGetExecutablePath(nullptr, &size);
    if (size == 0) return -1;
    // Lives as long as the process: argv[0] points to it from now on.
    char* path = static_cast<char*>(std::malloc(size + 1));
    if (path == nullptr) return ENOMEM;
    uint32_t capacity = size + 1;
    int err = MoreGetExecutablePath(path, &capacity);
    if (err != 0) {
      std::free(path);
      return err;
    }
    argv[0] = path;
  }
  if (!(whatToDubya & kMoreSecKeepEnvironmentMask)) {
    // Drop the whole list at once. Removing the variables one by one by name searches and
    // shifts the list for each: quadratic in the caller's environment, which the caller
    // may make as large as the kernel lets it (seconds before any other work).
    if (::clearenv() != 0) return ENOMEM;
  }
  if (!(whatToDubya & kMoreSecKeepStandardFilesMask)) {
    if (int err = CloseOpenFileDescriptorsInRange(0, 3)) return err;
  }
  if (!(whatToDubya & kMoreSecKeepOtherFilesMask)) {
    // Not just up to the descriptor limit: the caller may have lowered it after opening.
    if (int err = CloseOpenFileDescriptorsInRange(3, INT_MAX)) return err;
  }
  if (!(whatToDubya & kMoreSecKeepSignalsMask)) {
    // Every signal the kernel has, the real-time ones included; glibc reserves a few
    // real-time signals for itself and refuses them (EINVAL), as it refuses 0.
    for (int sig = 0; sig < NSIG; ++sig) {
      if (::signal(sig, SIG_DFL) == SIG_ERR) {
        if (sig == 0 || sig == SIGKILL || sig == SIGSTOP) continue;
        if (errno == EINVAL && sig >= SIGRTMIN - 3 && sig < SIGRTMIN) continue;
        return errno;
      }
    }
    sigset_t empty;
    sigemptyset(&empty);
    if (::sigprocmask(SIG_SETMASK, &empty, nullptr) != 0) return errno;
  }
  if (!(whatToDubya & kMoreSecKeepUmaskMask)) ::umask(077);
  if (!(whatToDubya & kMoreSecKeepNiceMask)) {
    errno = 0;
    if (::nice(0) == -1 && errno != 0) return errno;
  }
  if (!(whatToDubya & kMoreSecKeepResourceLimitsMask)) {
    reserveStack();
    for (const MoreSecResourceLimit& row : kResourceLimits) {
      struct rlimit limit;
      if (::getrlimit(row.resource, &limit) != 0) return errno;
      limit.rlim_cur = row.soft;
      // Root lowers a hard limit to the table's but never raises one: on Linux that
      // needs CAP_SYS_RESOURCE, and a hard limit above us is the administrator's cap.
      if (::geteuid() == 0 && row.hard < limit.rlim_max) limit.rlim_max = row.hard;
      if (limit.rlim_cur > limit.rlim_max) limit.rlim_cur = limit.rlim_max;
      if (::setrlimit(row.resource, &limit) != 0) return errno;
    }
    // glibc sizes new threads' stacks by the stack limit it saw at start (8 MiB as a
    // rule), and Linux counts thread stacks as data: follow the new limit, or the
    // threads that polkit's client starts would not fit in the data limit.
    struct rlimit stack;
    if (::getrlimit(RLIMIT_STACK, &stack) != 0) return errno;
    if (stack.rlim_cur != RLIM_INFINITY) {
      pthread_attr_t attr;
      if (int err = ::pthread_attr_init(&attr)) return err;
      int err = ::pthread_attr_setstacksize(&attr, stack.rlim_cur);
      if (err == 0) err = ::pthread_setattr_default_np(&attr);
      ::pthread_attr_destroy(&attr);
      if (err != 0) return err;
    }
  }
  if (!(whatToDubya & kMoreSecKeepCurrentDirMask)) {
    if (::chdir("/") != 0) return errno;
  }
  if (!(whatToDubya & kMoreSecKeepTimersMask)) {
    struct itimerval stop = {};
    for (int which : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) {
      if (::setitimer(which, &stop, nullptr) != 0) return errno;
    }
  }
  return 0;
}

namespace {

// Reads one request frame past without keeping or parsing it; the length rules are
// CopyDictionaryFromDescriptor's.
int SkipDictionaryFrame(int fdIn) {
  int32_t length = 0;
  int err = MoreUNIXRead(fdIn, &length, sizeof length, nullptr);
  if (err != 0) return err;
  if (length == 0) return paramErr;
  if (length < 0 || static_cast<uint32_t>(length) > kMoreSecMaxFrameLength) return memFullErr;
  char buffer[4096];
  for (size_t left = size_t(length); err == 0 && left > 0;) {
    size_t chunk = std::min(left, sizeof buffer);
    err = MoreUNIXRead(fdIn, buffer, chunk, nullptr);
    left -= chunk;
  }
  return err;
}

}  // namespace

int MoreSecHelperToolMain(int fdIn, int fdOut, auth::AuthorizationRef auth,
                          MoreSecCommandProc commandProc, int argc, char* argv[]) {
  return MoreSecHelperToolMainWithGate(fdIn, fdOut, auth, nullptr, commandProc, argc, argv);
}

int MoreSecHelperToolMainWithGate(int fdIn, int fdOut, auth::AuthorizationRef auth,
                                  MoreSecAuthorizationGate gate, MoreSecCommandProc commandProc,
                                  int argc, char* argv[]) {
  TVL_ASSERT(fdIn >= 0);
  TVL_ASSERT(fdOut >= 0);
  TVL_ASSERT(commandProc != nullptr);
  TVL_ASSERT(argc == 1 || argc == 2);
  TVL_ASSERT(argv != nullptr && argv[0] != nullptr);
  struct sigaction pipeAction;
  TVL_ASSERT(::sigaction(SIGPIPE, nullptr, &pipeAction) == 0 && pipeAction.sa_handler == SIG_IGN);
  auth::UniqueAuthorization passedIn(auth);

  bool wasRoot = ::geteuid() == 0;
  int err = MoreSecTemporarilySetNonPrivilegedEUID();
  if (err != 0) return err;
  if (argc != 1 || !wasRoot) return kHelperToolNotRootErr;
  passedIn.reset();

  auth::AuthorizationExternalForm extAuth;
  err = MoreUNIXRead(fdIn, extAuth.bytes, sizeof extAuth.bytes, nullptr);
  if (err != 0) return err;
  auth::AuthorizationRef rawAuth = nullptr;
  err = auth::AuthorizationCreateFromExternalForm(&extAuth, &rawAuth);
  if (err != 0) return err;
  auth::UniqueAuthorization authorization(rawAuth);

  int refused = gate ? gate(authorization.get()) : 0;
  cf::Dictionary* rawRequest = nullptr;
  err = refused ? SkipDictionaryFrame(fdIn) : CopyDictionaryFromDescriptor(fdIn, &rawRequest);
  Ref<cf::Dictionary> request = Ref<cf::Dictionary>::adopt(rawRequest);
  Ref<cf::Dictionary> response;
  if (err == 0) {
    cf::Dictionary* procResponse = nullptr;
    int commandErr =
        refused ? refused : commandProc(authorization.get(), request.get(), &procResponse);
    response = Ref<cf::Dictionary>::adopt(procResponse);
    // The tool has no use for root after its command: give it up for good, so that
    // nothing done while answering could take it back.
    int dropped = MoreSecPermanentlySetNonPrivilegedEUID();
    TVL_ASSERT(dropped == 0);

    if (response) {
      TVL_ASSERT(response->typeID() == cf::TypeID::Dictionary);
      if (const cf::Object* list = response->valueForKey(kMoreSecFileDescriptorsKey)) {
        const cf::Array* fds = cf::as<cf::Array>(list);
        TVL_ASSERT(fds != nullptr);
        for (size_t i = 0; i < fds->count(); ++i) {
          int32_t fd = -1;
          const cf::Number* number = cf::as<cf::Number>(fds->valueAt(i));
          TVL_ASSERT(number != nullptr && number->getSInt32(&fd) && fd >= 0);
          TVL_ASSERT(::fcntl(fd, F_GETFD, 0) != -1);
        }
      }
    }
    if (!response || response->valueForKey(kMoreSecErrorNumberKey) == nullptr) {
      Ref<cf::Number> number = cf::Number::createSInt32(commandErr);
      err = CFQError(number.get());
      if (err == 0) {
        Ref<cf::Dictionary> full = response ? response->mutableCopy() : cf::Dictionary::create();
        err = CFQError(full.get());
        if (err == 0) {
          full->setValue(kMoreSecErrorNumberKey, number.get());
          response = full;
        }
      }
    }
    if (err == 0) err = WriteDictionaryToDescriptor(response.get(), fdOut);
    if (response) {
      const cf::Array* fds = cf::arrayForKey(response.get(), kMoreSecFileDescriptorsKey);
      for (size_t i = 0; err == 0 && fds && i < fds->count(); ++i) {
        int32_t fd = -1;
        cf::as<cf::Number>(fds->valueAt(i))->getSInt32(&fd);
        err = MoreUNIXWriteDescriptor(fdOut, fd);
      }
    }
  }
  // The descriptors are given up whether or not they were sent.
  if (response)
    MoreSecCloseDescriptorArray(cf::arrayForKey(response.get(), kMoreSecFileDescriptorsKey));
  return err;
}

}  // namespace tvl

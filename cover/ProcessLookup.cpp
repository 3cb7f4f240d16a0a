#include "cover/ProcessLookup.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace tvl {

namespace {

constexpr size_t kComparedLength = 16;    // characters of a command name that count
constexpr size_t kKernelNameLength = 15;  // what the kernel keeps of it (TASK_COMM_LEN - 1)

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};
struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// Reads at most size bytes of the file at path (relative to the /proc descriptor).
// -1 when it can't be opened or read: the process has gone, or is not ours to look at.
ssize_t readProcFile(int procFd, const char* path, char* buffer, size_t size) {
  Fd fd{::openat(procFd, path, O_RDONLY | O_CLOEXEC)};
  if (fd.fd < 0) return -1;
  size_t total = 0;
  while (total < size) {
    ssize_t n = ::read(fd.fd, buffer + total, size - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(total);
}

std::string_view lastComponent(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The process's command name, cut to 16 characters. The kernel's own name (comm) is the
// base: it is there for every process of every user and for kernel threads. When the
// kernel cut it at 15, the 16th character comes from the executable's file name: the
// executable link (exact, but readable only for our own processes unless we are root),
// else the first argument's last component; a source counts only when it begins with the
// kernel's 15 characters, so a program that renamed itself keeps the name it chose.
std::string commandName(int procFd, pid_t pid) {
  char path[64];
  char buffer[4097];
  std::snprintf(path, sizeof path, "%d/comm", static_cast<int>(pid));
  ssize_t n = readProcFile(procFd, path, buffer, sizeof buffer);
  if (n < 0) return {};
  std::string name(buffer, static_cast<size_t>(n));
  if (!name.empty() && name.back() == '\n') name.pop_back();
  if (name.size() != kKernelNameLength) return name;

  auto extendFrom = [&](std::string_view fileName) {
    if (fileName.size() <= kKernelNameLength || fileName.substr(0, kKernelNameLength) != name)
      return false;
    name = std::string(fileName.substr(0, kComparedLength));
    return true;
  };

  std::snprintf(path, sizeof path, "%d/exe", static_cast<int>(pid));
  ssize_t linkLength = ::readlinkat(procFd, path, buffer, sizeof buffer - 1);
  if (linkLength > 0) {
    std::string_view target(buffer, static_cast<size_t>(linkLength));
    constexpr std::string_view kDeleted = " (deleted)";  // the file was replaced or removed
    if (target.ends_with(kDeleted)) target.remove_suffix(kDeleted.size());
    if (extendFrom(lastComponent(target))) return name;
  }

  std::snprintf(path, sizeof path, "%d/cmdline", static_cast<int>(pid));
  n = readProcFile(procFd, path, buffer, sizeof buffer - 1);
  if (n > 0) {
    std::string_view arguments(buffer, static_cast<size_t>(n));
    size_t end = arguments.find('\0');
    if (end != std::string_view::npos) extendFrom(lastComponent(arguments.substr(0, end)));
  }
  return name;
}

bool isPidText(const char* text, pid_t& pid) {
  if (*text == '\0') return false;
  intmax_t value = 0;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + (*c - '0');
    if (value > INT32_MAX) return false;
  }
  pid = static_cast<pid_t>(value);
  return true;
}

}  // namespace

int GetAllPIDsForProcessName(const char* name, pid_t pids[], unsigned int capacity,
                             unsigned int* matchCount, int* errorOut) {
  if (name == nullptr || pids == nullptr || matchCount == nullptr || capacity == 0)
    return kProcessLookupBadArguments;
  for (unsigned int i = 0; i < capacity; ++i) pids[i] = 0;
  *matchCount = 0;
  if (errorOut) *errorOut = 0;

  Dir proc(::opendir("/proc"));
  if (!proc) {
    if (errorOut) *errorOut = errno;
    return kProcessLookupTableUnreadable;
  }
  const int procFd = ::dirfd(proc.get());
  // Only a kernel name that agrees with the wanted one on 15 characters can need its 16th.
  const size_t wantedLength = ::strnlen(name, kComparedLength);

  try {
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(proc.get());
      if (entry == nullptr) {
        if (errno != 0) {
          if (errorOut) *errorOut = errno;
          return kProcessLookupTableUnreadable;
        }
        break;
      }
      pid_t pid = 0;
      if (!isPidText(entry->d_name, pid) || pid <= 0) continue;

      char path[64];
      char comm[64];
      std::snprintf(path, sizeof path, "%d/comm", static_cast<int>(pid));
      // One read: the kernel hands out the whole name (at most 16 bytes) at once.
      Fd fd{::openat(procFd, path, O_RDONLY | O_CLOEXEC)};
      if (fd.fd < 0) continue;  // gone since the listing
      ssize_t n;
      while ((n = ::read(fd.fd, comm, sizeof comm - 1)) < 0 && errno == EINTR) {
      }
      if (n < 0) continue;
      if (n > 0 && comm[n - 1] == '\n') --n;
      comm[n] = '\0';

      bool match;
      if (static_cast<size_t>(n) == kKernelNameLength && wantedLength >= kKernelNameLength &&
          std::strncmp(name, comm, kKernelNameLength) == 0)
        match = std::strncmp(name, commandName(procFd, pid).c_str(), kComparedLength) == 0;
      else
        match = std::strncmp(name, comm, kComparedLength) == 0;
      if (!match) continue;

      if (capacity < *matchCount + 1) return kProcessLookupTooMany;
      pids[*matchCount] = pid;
      ++*matchCount;
    }
  } catch (const std::bad_alloc&) {
    if (errorOut) *errorOut = ENOMEM;
    return kProcessLookupNoMemory;
  }
  return *matchCount > 0 ? kProcessLookupFound : kProcessLookupNotFound;
}

pid_t GetPIDForProcessName(const char* name) {
  pid_t pid = 0;
  unsigned int count = 0;
  int result = GetAllPIDsForProcessName(name, &pid, 1, &count, nullptr);
  return (result != kProcessLookupFound || count != 1) ? -1 : pid;
}

void getAllPIDsForProcessName(const char* name) {
  pid_t pids[100];
  unsigned int count = 0;
  int result = GetAllPIDsForProcessName(name, pids, 100, &count, nullptr);
  if (result == kProcessLookupFound) {
    std::printf("%s PID(s):    \t", name);
    for (unsigned int i = 0; i < count; ++i) std::printf(i == 0 ? "%d" : ", %d", pids[i]);
  } else if (result == kProcessLookupNotFound) {
    std::printf("Process Not Found:\t\"%s\"", name);
  } else {
    std::printf("Other Error Getting PID.  Error Code: %d\n", result);
  }
  std::printf("\n");
}

uid_t getUIDForPID(pid_t pid) {
  if (pid <= 0) return kNoProcessUID;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  // The Uid line comes early; 4 KiB holds it with room to spare.
  char buffer[4096];
  ssize_t n = readProcFile(AT_FDCWD, path, buffer, sizeof buffer - 1);
  if (n <= 0) return kNoProcessUID;
  buffer[n] = '\0';
  const char* line = std::strstr(buffer, "\nUid:");
  unsigned long real = 0, effective = 0;
  // "Uid:\t<real>\t<effective>\t<saved>\t<filesystem>"
  if (line == nullptr || std::sscanf(line + 5, "%lu %lu", &real, &effective) != 2)
    return kNoProcessUID;
  return static_cast<uid_t>(effective);
}

}  // namespace tvl

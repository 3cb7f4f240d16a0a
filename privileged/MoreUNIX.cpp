#include "privileged/MoreUNIX.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/system/Assert.h"

namespace tvl {

int MoreUNIXErrno(int result) noexcept {
  if (result >= 0) return 0;
  TVL_ASSERT(errno != 0);
  return errno;
}

int MoreGetExecutablePath(char* buffer, uint32_t* execPathSizePtr) {
  TVL_ASSERT(execPathSizePtr != nullptr);
  // readlink does not say how long the target is: grow until it fits.
  std::string path(256, '\0');
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) return errno;
    if (static_cast<size_t>(n) < path.size()) {
      path.resize(static_cast<size_t>(n));
      break;
    }
    path.resize(path.size() * 2);
  }
  uint32_t needed = static_cast<uint32_t>(path.size() + 1);
  if (buffer == nullptr || *execPathSizePtr < needed) {
    *execPathSizePtr = needed;
    return -1;
  }
  std::memcpy(buffer, path.c_str(), needed);
  return 0;
}

int MoreUNIXRead(int fd, void* buf, size_t count, size_t* bytesRead) {
  TVL_ASSERT(fd >= 0);
  TVL_ASSERT(buf != nullptr);
  auto* position = static_cast<char*>(buf);
  size_t remaining = count;
  int err = 0;
  while (remaining > 0 && err == 0) {
    ssize_t n = ::read(fd, position, remaining);
    if (n > 0) {
      position += n;
      remaining -= static_cast<size_t>(n);
    } else if (n == 0) {
      err = EPIPE;
    } else {
      err = errno;
      if (err == EINTR) err = 0;
    }
  }
  if (bytesRead) *bytesRead = count - remaining;
  return err;
}

int MoreUNIXWrite(int fd, const void* buf, size_t count, size_t* bytesWritten) {
  TVL_ASSERT(fd >= 0);
  TVL_ASSERT(buf != nullptr);
  struct sigaction current;
  int queried = ::sigaction(SIGPIPE, nullptr, &current);
  TVL_ASSERT(queried == 0);
  TVL_ASSERT(current.sa_handler == SIG_IGN);

  auto* position = static_cast<const char*>(buf);
  size_t remaining = count;
  int err = 0;
  while (remaining > 0 && err == 0) {
    ssize_t n = ::write(fd, position, remaining);
    if (n > 0) {
      position += n;
      remaining -= static_cast<size_t>(n);
    } else if (n == 0) {
      err = EIO;  // no progress on a non-zero count: never spin on it
    } else {
      err = errno;
      if (err == EINTR) err = 0;
    }
  }
  if (bytesWritten) *bytesWritten = count - remaining;
  return err;
}

int MoreUNIXIgnoreSIGPIPE() {
  struct sigaction action;
  if (::sigaction(SIGPIPE, nullptr, &action) != 0) return errno;
  action.sa_handler = SIG_IGN;
  if (::sigaction(SIGPIPE, &action, nullptr) != 0) return errno;
  return 0;
}

namespace {
// Room for one control message that carries one int, aligned as the system wants it.
union DescriptorControl {
  char buffer[CMSG_SPACE(sizeof(int))];
  struct cmsghdr align;
};
}  // namespace

int MoreUNIXWriteDescriptor(int fd, int fdToWrite) {
  TVL_ASSERT(fd >= 0);
  TVL_ASSERT(fdToWrite >= 0);
  char data = static_cast<char>(kDummyData);
  struct iovec iov = {&data, 1};
  DescriptorControl control;
  std::memset(&control, 0, sizeof control);
  struct msghdr msg = {};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.buffer;
  msg.msg_controllen = sizeof control.buffer;
  struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
  cmsg->cmsg_len = CMSG_LEN(sizeof(int));
  cmsg->cmsg_level = SOL_SOCKET;
  cmsg->cmsg_type = SCM_RIGHTS;
  std::memcpy(CMSG_DATA(cmsg), &fdToWrite, sizeof(int));
  for (;;) {
    ssize_t n = ::sendmsg(fd, &msg, 0);
    if (n == 1) return 0;
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? errno : EIO;
  }
}

int MoreUNIXReadDescriptor(int fd, int* fdRead) {
  TVL_ASSERT(fd >= 0);
  TVL_ASSERT(fdRead != nullptr);
  TVL_ASSERT(*fdRead == -1);
  char data = 0;
  struct iovec iov = {&data, 1};
  DescriptorControl control;
  struct msghdr msg;
  ssize_t n;
  do {
    std::memset(&control, 0, sizeof control);
    msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.buffer;
    msg.msg_controllen = sizeof control.buffer;
    n = ::recvmsg(fd, &msg, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  if (n == 0) return EPIPE;

  struct cmsghdr* cmsg = msg.msg_controllen > 0 ? CMSG_FIRSTHDR(&msg) : nullptr;
  bool rights = cmsg && cmsg->cmsg_level == SOL_SOCKET && cmsg->cmsg_type == SCM_RIGHTS &&
                cmsg->cmsg_len >= CMSG_LEN(0);
  int received = -1;
  if (rights && cmsg->cmsg_len >= CMSG_LEN(sizeof(int)))
    std::memcpy(&received, CMSG_DATA(cmsg), sizeof(int));
  bool ok = data == static_cast<char>(kDummyData) && msg.msg_flags == 0 &&
            msg.msg_controllen == sizeof control.buffer && rights &&
            cmsg->cmsg_len == CMSG_LEN(sizeof(int)) && received >= 0;
  if (!ok) {
    // Whatever descriptors did arrive are ours now: never leak them.
    if (rights) {
      size_t count = (cmsg->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int stray;
        std::memcpy(&stray, CMSG_DATA(cmsg) + i * sizeof(int), sizeof(int));
        if (stray >= 0) ::close(stray);
      }
    }
    return EINVAL;
  }
  *fdRead = received;
  return 0;
}

int MoreUNIXCopyDescriptorToDescriptor(int source, int dest) {
  TVL_ASSERT(source >= 0);
  TVL_ASSERT(dest >= 0);
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBufferSize]);
  if (!buffer) return ENOMEM;
  int err = 0;
  bool done = false;
  while (err == 0 && !done) {
    size_t bytesRead = 0;
    err = MoreUNIXRead(source, buffer.get(), kBufferSize, &bytesRead);
    if (err == EPIPE) {  // the end of source lies inside this chunk
      done = true;
      err = 0;
    }
    if (err == 0) err = MoreUNIXWrite(dest, buffer.get(), bytesRead, nullptr);
  }
  return err;
}

int MoreUNIXCopyFile(const char* source, const char* dest) {
  TVL_ASSERT(source != nullptr);
  TVL_ASSERT(dest != nullptr);
  struct stat st;
  if (::stat(source, &st) != 0) return errno;
  int in = ::open(source, O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  mode_t mode = st.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID | S_ISVTX);
  int out = ::open(dest, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (out < 0) {
    int err = errno;
    int closed = ::close(in);
    TVL_ASSERT(closed == 0);
    return err;
  }
  int err = MoreUNIXCopyDescriptorToDescriptor(in, out);
  int closedIn = ::close(in);
  TVL_ASSERT(closedIn == 0);
  int closedOut = ::close(out);
  TVL_ASSERT(closedOut == 0);
  if (err == 0) {
    struct timeval times[2] = {
        {st.st_atim.tv_sec, st.st_atim.tv_nsec / 1000},
        {st.st_mtim.tv_sec, st.st_mtim.tv_nsec / 1000},
    };
    if (::utimes(dest, times) != 0) err = errno;
  }
  return err;
}

int MoreUNIXWaitForProcess(pid_t pid, int options, pid_t* pidOut, int* status,
                           struct rusage* rusage) {
  int scratch = 0;
  pid_t result;
  do {
    result = ::wait4(pid, status ? status : &scratch, options, rusage);
  } while (result < 0 && errno == EINTR);
  int err = 0;
  if (result < 0) {
    err = errno;
    result = -1;
  } else if (result == 0) {
    err = EAGAIN;
    result = -1;
  }
  if (pidOut) *pidOut = result;
  return err;
}

}  // namespace tvl

#include "platform/system/Log.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

extern "C" const char* __progname;  // glibc: the program's short name

namespace tvl {

void NSLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  NSLogv(format, args);
  va_end(args);
}

void NSLogv(const char* format, va_list args) {
  const int savedErrno = errno;  // logging must not disturb the caller's error state
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length < 0) {
    errno = savedErrno;
    return;
  }
  std::string message(static_cast<size_t>(length), '\0');
  std::vsnprintf(message.data(), message.size() + 1, format, args);
  if (message.empty() || message.back() != '\n') message.push_back('\n');

  syslog(LOG_USER | LOG_NOTICE, "%s", message.c_str());

  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  // One write, so that lines of concurrent writers do not interleave.
  std::string line = std::string(stamp) + "." +
                     std::to_string(now.tv_nsec / 1000000 + 1000).substr(1) + " " + __progname +
                     "[" + std::to_string(getpid()) + "] " + message;
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  errno = savedErrno;
}

}  // namespace tvl

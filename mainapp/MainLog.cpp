#include "mainapp/MainLog.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace mainapp {

void mainLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  syslog(LOG_NOTICE, "%s", text.c_str());
  if (text.empty() || text.back() != '\n') text += '\n';
  std::fputs(text.c_str(), stderr);
}

}  // namespace mainapp

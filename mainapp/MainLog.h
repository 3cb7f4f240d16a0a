// The main application's log line (printf format): the system log and standard error.
#pragma once

namespace mainapp {

void mainLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace mainapp

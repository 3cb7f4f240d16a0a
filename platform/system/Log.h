// The system log of the product's programs: one message to syslog (the journal) and the
// same line, with time and process, to standard error, as the logging of the desktop
// applications has always done. A line end is added when the message has none.
#pragma once

#include <cstdarg>

namespace tvl {

void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void NSLogv(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace tvl

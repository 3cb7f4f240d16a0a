// Process and shell utilities shared by the tray controller and the desktop cover.
// They block the calling thread until the command they start has finished.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace tvl::common {

// Runs `/bin/sh -c command` with standard output on a pipe (standard input and error are
// the caller's). A non-zero exit status gives "". Otherwise the output without its last
// character (for line output, the final line feed); inner line feeds stay.
// Output is kept byte for byte: text that is not ASCII is not dropped.
std::string doShellWithCommand(const std::string& command);

// True when a process whose command name contains name runs (substring test on the
// command names of every process of every user).
bool runningStateForApplication(const std::string& name);

// The ids of the processes whose full command line contains text, one a line in the
// order of the process listing, without a final line feed; "" when none.
std::string returnPIDForProcess(const std::string& text);

// The file's birth time, where the file system records one; none otherwise, and none for
// a file whose status can't be read.
std::optional<std::chrono::system_clock::time_point> creationDateForFile(const std::string& path);

// "0:ss", "m:ss" or "h:mm:ss" for a count below a day; none from a day on.
std::optional<std::string> formatSeconds(uint64_t seconds);

// Quotes text for use between double quotes in a shell command: the characters the shell
// still interprets there ($ ` \ and ") get a backslash.
std::string escapeForDoubleQuotes(const std::string& text);

}  // namespace tvl::common

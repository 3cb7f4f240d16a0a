// Finding running processes by command name, and reading who a process runs as, straight
// from /proc: no shell and no child process. Each call takes its own look at the process
// table and keeps nothing. Safe on any thread.
//
// The command name of a process is the kernel's name for it (/proc/PID/comm), which Linux
// cuts to 15 characters; when it was cut, the 16th character comes from the executable's
// file name (docs/process-lookup.md says how and why). Names are compared on at most 16
// characters, like strncmp(name, commandName, 16).
#pragma once

#include <sys/types.h>

namespace tvl {

// Result codes of GetAllPIDsForProcessName.
enum : int {
  kProcessLookupFound = 0,             // at least one match; the pids are in the array
  kProcessLookupNotFound = -1,         // no process matched
  kProcessLookupBadArguments = -2,     // null name, array or count, or capacity 0
  kProcessLookupTableUnreadable = -3,  // /proc could not be listed; *errorOut = errno
  kProcessLookupNoMemory = -4,         // *errorOut = ENOMEM
  kProcessLookupTooMany = -5,          // more matches than the array holds
};

// Fills pids (capacity entries) with the ids of the processes whose command name is name,
// in ascending pid order, and *matchCount with their number. Before looking, all capacity
// entries and *matchCount (and *errorOut, when given) are set to 0. With -2 nothing is
// written at all. With -5 the array holds the first capacity matches and *matchCount is
// capacity. errorOut may be null. Pid 0 never matches.
int GetAllPIDsForProcessName(const char* name, pid_t pids[], unsigned int capacity,
                             unsigned int* matchCount, int* errorOut);

// The id of the one process named name; -1 when there is none, when there are two or
// more, and on any failure.
pid_t GetPIDForProcessName(const char* name);

// Prints the matches for name to standard output, for diagnosis:
//   "<name> PID(s):    \t<pid>, <pid>\n", "Process Not Found:\t\"<name>\"\n", or
//   "Other Error Getting PID.  Error Code: <code>\n\n". Room for 100 matches.
void getAllPIDsForProcessName(const char* name);

// The effective user id of process pid. For a pid that no process has (or one whose
// record can't be read) it is kNoProcessUID: never root, so a caller that asks "does
// root own it?" gets no.
inline constexpr uid_t kNoProcessUID = static_cast<uid_t>(-1);
uid_t getUIDForPID(pid_t pid);

}  // namespace tvl

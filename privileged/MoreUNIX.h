// POSIX input/output and child processes for the helper-tool scheme. Every function
// returns 0, a positive errno value, or (for the object functions) a negative status.
// EINTR is never returned: interrupted calls are repeated.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace tvl {

// Size of the heap buffer of one stream copy.
constexpr size_t kBufferSize = 65536;
// The one data byte of a descriptor-passing message.
constexpr unsigned char kDummyData = 'D';

// 0 when result is 0 or more, else errno (for the -1 of a failed system call).
int MoreUNIXErrno(int result) noexcept;

// The absolute path of the running executable. In: *execPathSizePtr is the capacity of
// buffer. 0: the NUL-terminated path is in buffer. -1: too small, and *execPathSizePtr
// now holds the size needed, NUL included. A positive errno when it cannot be read.
int MoreGetExecutablePath(char* buffer, uint32_t* execPathSizePtr);

// Reads exactly count bytes; EPIPE when the stream ends first. bytesRead (optional)
// receives the count transferred, on success and on error.
int MoreUNIXRead(int fd, void* buf, size_t count, size_t* bytesRead);
// Writes exactly count bytes. SIGPIPE must be ignored in the process (checked).
int MoreUNIXWrite(int fd, const void* buf, size_t count, size_t* bytesWritten);
// Sets SIGPIPE's handler to ignore, keeping its mask and flags.
int MoreUNIXIgnoreSIGPIPE();

// Receives one descriptor message; *fdRead must be -1 on entry and holds the received
// descriptor (the caller's to close) exactly when the result is 0. EINVAL for a message
// that is not one descriptor with the marker byte, EPIPE for a closed peer.
int MoreUNIXReadDescriptor(int fd, int* fdRead);
// Sends fdToWrite in one descriptor message; it stays open and the sender's.
int MoreUNIXWriteDescriptor(int fd, int fdToWrite);

// Copies source to its end into dest through one 64 KiB heap buffer.
int MoreUNIXCopyDescriptorToDescriptor(int source, int dest);
// Copies content, permission bits (less set-user-ID, set-group-ID and sticky; the umask
// applies) and times (to the microsecond) of source to dest.
int MoreUNIXCopyFile(const char* source, const char* dest);

// wait4, repeated on EINTR. pidOut receives the pid, or -1 on error; with WNOHANG and
// no child changed, EAGAIN. status and rusage are optional.
int MoreUNIXWaitForProcess(pid_t pid, int options, pid_t* pidOut, int* status,
                           struct rusage* rusage);

}  // namespace tvl

#include "platform/system/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tvl::system {

namespace {

// Writes all of bytes, syncs and closes fd; 0 or an errno value (fd is closed either way).
int writeAll(int fd, std::string_view bytes, bool sync) {
  int err = 0;
  for (size_t done = 0; err == 0 && done < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EINTR) err = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (err == 0 && sync && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  return err;
}

int replaceWith(const std::string& path, std::string_view bytes, mode_t mode) {
  std::string temp = path + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int err = ::fchmod(fd, mode) != 0 ? errno : 0;
  if (err != 0) {
    ::close(fd);
  } else {
    err = writeAll(fd, bytes, true);
  }
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) ::unlink(temp.c_str());
  return err;
}

}  // namespace

int writeFileAtomically(const std::string& path, std::string_view bytes) {
  mode_t mode;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  return replaceWith(path, bytes, mode);
}

int writePrivateFile(const std::string& path, std::string_view bytes, mode_t mode,
                     Existing existing) {
  mode &= 0700;  // the owner's bits only, whatever the caller asked
  if (existing == Existing::Replace) return replaceWith(path, bytes, mode);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return errno;
  // The umask may have taken bits the caller wanted (0700 for a script).
  int err = ::fchmod(fd, mode) != 0 ? errno : 0;
  if (err != 0) {
    ::close(fd);
  } else {
    err = writeAll(fd, bytes, false);
  }
  if (err != 0) ::unlink(path.c_str());
  return err;
}

}  // namespace tvl::system

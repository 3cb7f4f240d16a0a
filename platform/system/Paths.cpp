#include "platform/system/Paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tvl::system {

namespace {

bool replacePrefix(std::string_view path, std::string_view from, std::string_view to,
                   std::string* out) {
  if (path.substr(0, from.size()) != from) return false;
  std::string_view rest = path.substr(from.size());
  if (!rest.empty() && rest.front() != '/') return false;
  *out = std::string(to) + std::string(rest);
  return true;
}

// mkdir -p with the given mode for the folders it makes.
int makeFolders(const std::string& path, mode_t mode) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) break;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

std::string mapPlatformPath(std::string_view path) {
  std::string mapped;
  if (replacePrefix(path, "/private/tmp", "/tmp", &mapped)) return mapped;
  if (replacePrefix(path, "/private/etc", "/etc", &mapped)) return mapped;
  return std::string(path);
}

int findFolder(int16_t domain, uint32_t folderType, bool create, std::string* path) {
  std::string folder;
  mode_t mode = 0755;
  bool privateToUser = false;
  if (folderType == kApplicationSupportFolderType) {
    if (domain == kUserDomain) {
      const char* data = std::getenv("XDG_DATA_HOME");
      // The base directory rules ignore a relative value.
      folder = (data && data[0] == '/') ? data : homeFolder() + "/.local/share";
      mode = 0700;
    } else if (domain == kLocalDomain) {
      folder = "/usr/local/share";
    } else if (domain == kSystemDomain) {
      folder = "/usr/share";
    }
  } else if (folderType == kTemporaryFolderType) {
    if (domain == kLocalDomain) {
      folder = "/var/tmp";
    } else if (domain == kUserDomain) {
      // Inside a world-writable folder: another user could have made it first, so only
      // a folder that is ours and closed to others is accepted.
      folder = "/var/tmp/tvl-" + std::to_string(::getuid());
      mode = 0700;
      privateToUser = true;
    }
  }
  if (folder.empty()) return fnfErr;

  // The user's temporary folder must not be a link someone else planted.
  auto status = [&](struct stat* st) {
    return privateToUser ? ::lstat(folder.c_str(), st) : ::stat(folder.c_str(), st);
  };
  struct stat st;
  if (status(&st) != 0) {
    if (errno != ENOENT) return errno;
    if (!create) return fnfErr;
    if (int err = makeFolders(folder, mode)) return err;
    if (status(&st) != 0) return errno;
  }
  if (privateToUser &&
      (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0))
    return EACCES;
  *path = folder;
  return 0;
}

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

}  // namespace tvl::system

#include "common/SessionFolders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "common/ProductContract.h"

namespace tvl::common {

namespace fs = std::filesystem;

namespace {

bool isFolder(const char* path) {
  struct stat st {};
  return path && *path && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string sessionFolderBase() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); isFolder(runtime)) return runtime;
  if (const char* tmp = std::getenv("TMPDIR"); isFolder(tmp)) return tmp;
  return "/tmp";
}

int removeSessionFolders(const std::string& base) {
  const std::string prefix = std::string(product::kTunnelMarker) + "-";
  int removed = 0;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(base, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    // lstat: a link named like a session folder is not followed, and not ours to remove.
    struct stat st {};
    if (::lstat(entry.path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
      continue;
    // remove_all removes links inside, never what they point to.
    std::error_code ignored;
    if (fs::remove_all(entry.path(), ignored) > 0 && !ignored) ++removed;
  }
  return removed;
}

}  // namespace tvl::common

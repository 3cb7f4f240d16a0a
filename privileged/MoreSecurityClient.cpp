// The controller's side of the helper-tool scheme: finding, installing and repairing the
// working copy, blessing it through pkexec, and running one request in it. Never linked
// into the set-user-ID tool.

#include "privileged/MoreSecurity.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/system/Assert.h"
#include "platform/system/Paths.h"
#include "privileged/MoreCFQ.h"
#include "privileged/MoreUNIX.h"

namespace tvl {

using tvl::system::kLocalDomain;
using tvl::system::kTemporaryFolderType;
using tvl::system::kUserDomain;

const int16_t kFolderDomains[5] = {tvl::system::kUserDomain, tvl::system::kLocalDomain,
                                   tvl::system::kNetworkDomain, tvl::system::kSystemDomain, 0};

// "root:0" rather than the BSD "root:wheel": Debian has no group "wheel", and group 0
// is what the blessed state requires. The script acts on the file it opened, through
// /proc/self/fd/3, and only when the path names that file itself with one name: a link
// or second name planted at the path would otherwise have root's owner and the
// set-user-ID bit land on whatever it points to.
const char kBlessScript[] =
    "#! /bin/sh\n\nexec 2>&1\numask 022\nexport PATH=/bin:/sbin:/usr/bin:/usr/sbin\n"
    "export IFS=' '\n\nif [ $# != 1 ]\nthen\n\techo 'usage'\n\texit 1\nfi\n\n"
    "if [ -L \"$1\" ] || [ ! -f \"$1\" ]; then echo 'not a file'; exit 1; fi\n"
    "exec 3<\"$1\"\n"
    "if [ \"$(stat -c '%d %i %h %F' \"$1\")\" != \"$(stat -L -c '%d %i 1 %F' /proc/self/fd/3)\" ]\n"
    "then echo 'not the file itself'; exit 1; fi\n\n"
    "chown root:0 /proc/self/fd/3\nif [ $? -ne 0 ]; then echo 'chown'; exit 1; fi\n"
    "chmod 4555 /proc/self/fd/3\nif [ $? -ne 0 ]; then echo 'chmod'; exit 1; fi\n\n"
    "echo 'ok'\nexit 0\n";

bool gMoreSecLogInteractions = true;

namespace {

constexpr size_t kPathCapacity = 1024;
constexpr mode_t kBlessedMode = 0104555;

using cf::Ref;

// A URL's file-system path: absolute and shorter than the 1024-byte buffer.
int urlPath(const cf::String* url, std::string* path) {
  if (url == nullptr || url->str().empty() || url->str().front() != '/' ||
      url->str().size() >= kPathCapacity || url->str().find('\0') != std::string::npos)
    return coreFoundationUnknownErr;
  *path = url->str();
  return 0;
}

// The platform limits names to 255 UTF-16 units; a longer one is a caller's bug.
void assertNameLength(const cf::String* name) {
  size_t units = 0;
  for (unsigned char c : name->str()) {
    if ((c & 0xC0) != 0x80) units += (c >= 0xF0) ? 2 : 1;
  }
  TVL_ASSERT(units <= 255);
}

uint64_t UpTime() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

struct FdCloser {
  int fd = -1;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// A folder on the way to a working copy must be root's or the user's, and nobody else
// may replace its entries: a copy under someone else's folder could be swapped between
// our check and its use. A sticky folder (/tmp, /var/tmp) lets each owner alone replace
// their own entries, so it may be open to others.
bool isSafeFolder(const struct stat& st, uid_t user) {
  return S_ISDIR(st.st_mode) && (st.st_uid == 0 || st.st_uid == user) &&
         ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0);
}

// Opens the working copy at path for checking and running: every folder on its real
// path is vetted as above and walked without following links, and the copy itself must
// be a regular file, not a link. The descriptor (O_PATH) names the file that was checked,
// whatever happens to the path afterwards. EACCES for an unsafe place.
int openHelperTool(const std::string& path, int* toolFd) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return EINVAL;
  std::string name = path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return EINVAL;
  char real[PATH_MAX];
  if (::realpath(slash == 0 ? "/" : path.substr(0, slash).c_str(), real) == nullptr) return errno;
  uid_t user = ::getuid();
  FdCloser dir{::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)};
  struct stat st;
  if (dir.fd < 0) return errno;
  if (::fstat(dir.fd, &st) != 0) return errno;
  if (!isSafeFolder(st, user)) return EACCES;
  std::string rest = real;
  for (size_t start = 1; start < rest.size();) {
    size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    std::string component = rest.substr(start, end - start);
    start = end + 1;
    FdCloser next{
        ::openat(dir.fd, component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    if (next.fd < 0) return errno;
    if (::fstat(next.fd, &st) != 0) return errno;
    if (!isSafeFolder(st, user)) return EACCES;
    std::swap(dir.fd, next.fd);
  }
  int fd = ::openat(dir.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int err = S_ISLNK(st.st_mode) ? ELOOP : EACCES;
    ::close(fd);
    return err;
  }
  *toolFd = fd;
  return 0;
}

// The folder's child by name, as the file manager's lookup (fnfErr when absent).
int lookUpChild(const std::string& parent, const std::string& name, std::string* child) {
  std::string path = parent + "/" + name;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? tvl::system::fnfErr : errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  *child = path;
  return 0;
}

int CopyHelperToolURL(int16_t domain, OSType folder, const cf::String* subFolderName,
                      const cf::String* toolName, bool createFolder, cf::String** tool) {
  TVL_ASSERT(tool != nullptr && *tool == nullptr);
  std::string folderPath;
  int err = tvl::system::findFolder(domain, folder, createFolder, &folderPath);
  if (err == 0 && subFolderName != nullptr) {
    std::string sub;
    err = lookUpChild(folderPath, subFolderName->str(), &sub);
    if (err != 0 && createFolder) {
      std::string path = folderPath + "/" + subFolderName->str();
      err = ::mkdir(path.c_str(), 0777) == 0 ? 0 : errno;
      if (err == 0) sub = path;
    }
    if (err == 0) folderPath = sub;
  }
  if (err == 0) {
    Ref<cf::String> url = cf::String::create(folderPath + "/" + toolName->str());
    err = CFQError(url.get());
    if (err == 0) *tool = url.detach();
  }
  return err;
}

int CheckHelperTool(const cf::String* templateTool, const cf::String* tool, bool* looksOK) {
  std::string templatePath, toolPath;
  int err = urlPath(templateTool, &templatePath);
  struct stat templateStat;
  if (err == 0 && ::stat(templatePath.c_str(), &templateStat) != 0) err = errno;
  if (err != 0) return err;
  err = urlPath(tool, &toolPath);
  if (err != 0) return err;
  // Only a copy in a place nobody else controls counts, checked without following links.
  FdCloser toolFd;
  struct stat toolStat;
  if (openHelperTool(toolPath, &toolFd.fd) != 0 || ::fstat(toolFd.fd, &toolStat) != 0) {
    *looksOK = false;
    return 0;
  }
  *looksOK = toolStat.st_uid == 0 && toolStat.st_gid == 0 && toolStat.st_mode == kBlessedMode &&
             toolStat.st_size == templateStat.st_size &&
             toolStat.st_mtim.tv_sec == templateStat.st_mtim.tv_sec &&
             toolStat.st_mtim.tv_nsec / 1000 == templateStat.st_mtim.tv_nsec / 1000;
  return 0;
}

cf::String* CreateURLToValidHelperToolInFolder(int16_t domain, OSType folder,
                                               const cf::String* subFolderName,
                                               const cf::String* toolName,
                                               const cf::String* templateTool) {
  bool found = false;
  cf::String* url = nullptr;
  if (CopyHelperToolURL(domain, folder, subFolderName, toolName, false, &url) == 0) {
    if (CheckHelperTool(templateTool, url, &found) != 0) found = false;
  }
  if (!found) {
    CFQRelease(url);
    url = nullptr;
  }
  return url;
}

}  // namespace

int MoreSecCopyHelperToolURLAndCheckBundled(const cf::String* inBundle,
                                            const cf::String* templateToolName, OSType folder,
                                            const cf::String* subFolderName,
                                            const cf::String* toolName, cf::String** tool) {
  TVL_ASSERT(inBundle != nullptr);
  TVL_ASSERT(templateToolName != nullptr);
  TVL_ASSERT(toolName != nullptr);
  TVL_ASSERT(tool != nullptr && *tool == nullptr);
  // The bundle's auxiliary executable: a regular executable file in Contents/MacOS.
  std::string path = inBundle->str() + "/Contents/MacOS/" + templateToolName->str();
  struct stat st;
  if (templateToolName->str().find('/') != std::string::npos || ::stat(path.c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode) || ::access(path.c_str(), X_OK) != 0)
    return coreFoundationUnknownErr;
  Ref<cf::String> templateTool = cf::String::create(path);
  return MoreSecCopyHelperToolURLAndCheck(templateTool.get(), folder, subFolderName, toolName,
                                          tool);
}

int MoreSecCopyHelperToolURLAndCheck(const cf::String* templateTool, OSType folder,
                                     const cf::String* subFolderName, const cf::String* toolName,
                                     cf::String** tool) {
  TVL_ASSERT(templateTool != nullptr);
  TVL_ASSERT(toolName != nullptr);
  TVL_ASSERT(tool != nullptr && *tool == nullptr);
  assertNameLength(toolName);
  if (subFolderName) assertNameLength(subFolderName);

  // Search: every domain's folder of the asked type, then the local temporary folder.
  for (const int16_t* domain = kFolderDomains; *domain != 0; ++domain) {
    if (cf::String* found = CreateURLToValidHelperToolInFolder(*domain, folder, subFolderName,
                                                               toolName, templateTool)) {
      *tool = found;
      return 0;
    }
  }
  if (cf::String* found = CreateURLToValidHelperToolInFolder(
          kLocalDomain, kTemporaryFolderType, subFolderName, toolName, templateTool)) {
    *tool = found;
    return 0;
  }

  // Create: vet the folder first.
  std::string vetted;
  int err = tvl::system::findFolder(folder == kTemporaryFolderType ? kLocalDomain : kUserDomain,
                                    folder, true, &vetted);
  if (err != 0) return err;
  bool ignoring = false;
  err = MoreSecIsFolderIgnoringOwnership(vetted.c_str(), &ignoring);
  if (err != 0) return err;
  if (ignoring) return kHelperToolFolderUnsuitableErr;
  err = MoreSecIsFolderIgnoringSetUID(vetted.c_str(), &ignoring);
  if (err != 0) return err;
  if (ignoring) return kHelperToolFolderUnsuitableErr;

  cf::String* rawURL = nullptr;
  err = CopyHelperToolURL(kUserDomain, folder, subFolderName, toolName, true, &rawURL);
  if (err != 0) return err;
  Ref<cf::String> url = Ref<cf::String>::adopt(rawURL);
  bool looksOK = false;
  err = CheckHelperTool(templateTool, url.get(), &looksOK);
  if (err != 0) return err;
  if (!looksOK) {
    std::string templatePath, toolPath;
    err = urlPath(templateTool, &templatePath);
    if (err == 0) err = urlPath(url.get(), &toolPath);
    if (err != 0) return err;
    struct stat st;
    if (::lstat(toolPath.c_str(), &st) == 0) {
      // Linux answers EISDIR where BSD answers EPERM for a folder.
      if (::unlink(toolPath.c_str()) != 0) {
        err = errno;
        if (err == EPERM || err == EISDIR) err = ::rmdir(toolPath.c_str()) == 0 ? 0 : errno;
      }
      if (err != 0) return err;
    }
    err = MoreUNIXCopyFile(templatePath.c_str(), toolPath.c_str());
    if (err != 0) return err;
  }
  *tool = url.detach();
  return 0;
}

int MoreSecIsFolderIgnoringOwnership(const char* folder, bool* ignoringOwnership) {
  TVL_ASSERT(folder != nullptr);
  TVL_ASSERT(ignoringOwnership != nullptr);
  std::string probe;
  int err = 0;
  int fd = -1;
  for (int attempt = 0; attempt < 999; ++attempt) {
    uint64_t now = UpTime();
    char name[96];
    std::snprintf(name, sizeof name, "MoreSecIsFolderIgnoringOwnership Temp %lx%lx",
                  static_cast<unsigned long>(now >> 32),
                  static_cast<unsigned long>(now & 0xffffffffu));
    probe = std::string(folder) + "/" + name;
    fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    err = fd >= 0 ? 0 : (errno == EEXIST ? dupFNErr : errno);
    if (err != dupFNErr) break;
  }
  if (err != 0) return err;
  ::close(fd);

  struct stat st;
  if (::stat(probe.c_str(), &st) != 0) {
    err = errno;
  } else if (st.st_gid != kPermissionsUnknownGroupID) {
    *ignoringOwnership = false;
  } else {
    TVL_ASSERT(::getgid() != kPermissionsUnknownGroupID);
    if (::chown(probe.c_str(), static_cast<uid_t>(-1), ::getgid()) != 0 ||
        ::stat(probe.c_str(), &st) != 0)
      err = errno;
    else
      *ignoringOwnership = st.st_gid == kPermissionsUnknownGroupID;
  }
  int removed = ::unlink(probe.c_str());
  TVL_ASSERT(removed == 0);
  return err;
}

int MoreSecIsFolderIgnoringSetUID(const char* folder, bool* ignoring) {
  TVL_ASSERT(folder != nullptr);
  TVL_ASSERT(ignoring != nullptr);
  if (std::strlen(folder) >= kPathCapacity) return coreFoundationUnknownErr;
  struct statfs sfs;
  if (::statfs(folder, &sfs) != 0) return errno;
  *ignoring = (sfs.f_flags & ST_NOSUID) != 0;
  return 0;
}

int RunScriptAsRoot(auth::AuthorizationRef auth, const char* script, ...) {
  TVL_ASSERT(auth != nullptr);
  TVL_ASSERT(script != nullptr);
  std::vector<char*> args;
  va_list ap;
  va_start(ap, script);
  while (const char* arg = va_arg(ap, const char*)) args.push_back(const_cast<char*>(arg));
  va_end(ap);

  std::unique_ptr<char*[]> argv(new (std::nothrow) char*[args.size() + 3]());
  if (!argv) return ENOMEM;
  char binSh[] = "/bin/sh";
  char dashS[] = "-s";
  argv[0] = binSh;
  argv[1] = dashS;
  for (size_t i = 0; i < args.size(); ++i) argv[i + 2] = args[i];
  for (char* arg : args)
    if (std::strchr(arg, 0x7F)) return bdNamErr;

  if (gMoreSecLogInteractions) {
    for (size_t i = 0; argv[i]; ++i) std::fprintf(stderr, "args[%zd] = %s\n", ssize_t(i), argv[i]);
    std::fprintf(stderr, "script =\n%s\n", script);
  }
  auth::PrivilegedProcess process;
  int err = auth::AuthorizationExecuteWithPrivileges(
      auth, "/bin/sh", auth::kAuthorizationFlagDefaults, &argv[1], &process);
  if (err != 0) return err;
  // Straight to the socket (SIGPIPE is ignored): a shell that ends before it has read
  // everything fails the run through its output, never the caller through a signal.
  MoreUNIXWrite(fileno(process.stream), script, std::strlen(script), nullptr);
  // End of input after the script, so that a script without "exit" cannot hang us.
  ::shutdown(fileno(process.stream), SHUT_WR);

  char line[1024] = "";
  char buffer[1024];
  while (std::fgets(buffer, sizeof buffer, process.stream)) {
    std::memcpy(line, buffer, sizeof line);
    if (gMoreSecLogInteractions) std::fprintf(stderr, ">%s", line);
  }
  int status = 0;
  int closed = process.close(&status);
  TVL_ASSERT(closed == 0);
  if (std::strcmp(line, "ok\n") == 0) return 0;
  // pkexec's own answers when it ran nothing: dismissed (126) or not authorized (127).
  if (process.throughPkexec && line[0] == '\0' && WIFEXITED(status)) {
    if (WEXITSTATUS(status) == 126) return auth::errAuthorizationCanceled;
    if (WEXITSTATUS(status) == 127) return auth::errAuthorizationDenied;
  }
  return kHelperToolRepairFailedErr;
}

namespace {

// Whether every element of a descriptor list is a non-negative int number.
bool isDescriptorList(const cf::Array* list) {
  for (size_t i = 0; i < list->count(); ++i) {
    int32_t fd = -1;
    const cf::Number* number = cf::as<cf::Number>(list->valueAt(i));
    if (number == nullptr || !number->getSInt32(&fd) || fd < 0) return false;
  }
  return true;
}

// Steps 7a-7e of one request: the response and the descriptors that come with it.
int ReadResponse(int fd, cf::Dictionary** response) {
  cf::Dictionary* raw = nullptr;
  int err = CopyDictionaryFromDescriptor(fd, &raw);
  if (err != 0) return err;
  Ref<cf::Dictionary> temporary = Ref<cf::Dictionary>::adopt(raw);
  const cf::Object* listValue = temporary->valueForKey(kMoreSecFileDescriptorsKey);
  if (listValue == nullptr) {
    *response = temporary.detach();
    return 0;
  }
  const cf::Array* toolList = cf::as<cf::Array>(listValue);
  // A list with anything but descriptor numbers breaks the protocol like a list that is
  // no array; what is in flight is discarded with the socket.
  if (toolList == nullptr || !isDescriptorList(toolList)) return kMoreSecBadDescriptorListErr;
  cf::Array* rawArray = nullptr;
  err = CFQArrayCreateMutable(&rawArray);
  if (err != 0) return err;
  Ref<cf::Array> ours = Ref<cf::Array>::adopt(rawArray);
  Ref<cf::Dictionary> copy = temporary->mutableCopy();
  err = CFQError(copy.get());
  for (size_t i = 0; err == 0 && i < toolList->count(); ++i) {
    int received = -1;
    err = MoreUNIXReadDescriptor(fd, &received);
    if (err != 0) break;
    Ref<cf::Number> number = cf::Number::createSInt32(received);
    err = CFQError(number.get());
    if (err != 0) {
      ::close(received);
      break;
    }
    ours->append(number.get());
  }
  if (err != 0) {
    MoreSecCloseDescriptorArray(ours.get());
    return err;
  }
  copy->setValue(kMoreSecFileDescriptorsKey, ours.get());
  *response = copy.detach();
  return 0;
}

void ReleaseResponse(cf::Dictionary** response) {
  if (*response == nullptr) return;
  MoreSecCloseDescriptorArray(cf::arrayForKey(*response, kMoreSecFileDescriptorsKey));
  CFQRelease(*response);
  *response = nullptr;
}

// toolFd is the checked working copy (O_PATH); the tool runs from it, not from its path.
int ExecuteRequestInHelperTool(const cf::String* helperTool, int toolFd,
                               auth::AuthorizationRef auth, const cf::Dictionary* request,
                               cf::Dictionary** response) {
  std::string path;
  int err = urlPath(helperTool, &path);
  if (err != 0) return err;
  auth::AuthorizationExternalForm extAuth;
  err = auth::AuthorizationMakeExternalForm(auth, &extAuth);
  if (err != 0) return err;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return errno;
  FdCloser controllerEnd{pair[0]};
  FdCloser toolEnd{pair[1]};

  pid_t child = ::fork();
  if (child == 0) {
    // Only async-signal-safe calls until exec. A controller started without standard
    // input or output has the pair or the tool's descriptor on 0 or 1: copy both above 2
    // first, so that both dup2 calls make new descriptors (dup2 clears close-on-exec only
    // then). Everything else is close-on-exec and ends at the exec.
    int result = 0;
    int toolSide = ::fcntl(pair[1], F_DUPFD_CLOEXEC, 3);
    int program = ::fcntl(toolFd, F_DUPFD_CLOEXEC, 3);
    if (toolSide < 0 || program < 0 || ::dup2(toolSide, 0) < 0 || ::dup2(toolSide, 1) < 0)
      result = errno;
    if (result == 0) {
      char* const argv[] = {path.data(), nullptr};
      ::execveat(program, "", argv, environ, AT_EMPTY_PATH);
      result = errno;
    }
    ::_exit(MoreSecErrorToHelperToolResult(result));
  }
  if (child < 0) err = errno;
  ::close(std::exchange(toolEnd.fd, -1));

  if (err == 0) err = MoreUNIXWrite(controllerEnd.fd, extAuth.bytes, sizeof extAuth.bytes, nullptr);
  if (err == 0) err = WriteDictionaryToDescriptor(request, controllerEnd.fd);
  if (err == 0 && ::shutdown(controllerEnd.fd, SHUT_WR) != 0) err = errno;
  if (err == 0) err = ReadResponse(controllerEnd.fd, response);
  ::close(std::exchange(controllerEnd.fd, -1));

  if (child > 0) {
    int status = 0;
    int waitErr = MoreUNIXWaitForProcess(child, 0, nullptr, &status, nullptr);
    if (waitErr == ECHILD) {
      std::fwrite("MoreSecurity: You need to have a breakpoint set here.\n", 1, 54, stderr);
      waitErr = MoreUNIXWaitForProcess(child, 0, nullptr, &status, nullptr);
    }
    bool earlyClose = err == EPIPE;
    if (err == 0) err = waitErr;
    if (waitErr == 0 && (err == 0 || err == EPIPE)) {
      if (WIFSIGNALED(status) || (status & 0x7F) != 0) {
        err = kHelperToolRepairFailedErr;
      } else {
        int exitStatus = WEXITSTATUS(status);
        if (exitStatus == 0)
          // A tool that closed early yet claims success still sent no response.
          err = earlyClose ? EPIPE : 0;
        else if (exitStatus >= 1 && exitStatus <= 4)
          err = kMoreSecFirstHelperToolErr + exitStatus;
        else
          err = kHelperToolRepairFailedErr;
      }
    }
  }
  if (err != 0) ReleaseResponse(response);
  return err;
}

}  // namespace

int MoreSecExecuteRequestInHelperTool(const cf::String* helperTool, auth::AuthorizationRef auth,
                                      const cf::Dictionary* request, cf::Dictionary** response) {
  TVL_ASSERT(helperTool != nullptr);
  TVL_ASSERT(auth != nullptr);
  TVL_ASSERT(request != nullptr);
  TVL_ASSERT(response != nullptr && *response == nullptr);
  std::string path;
  int err = urlPath(helperTool, &path);
  if (err != 0) return err;
  // The file checked is the file blessed and run: it is opened once, without links, in a
  // place only root and the user control, and run from that descriptor.
  FdCloser tool;
  err = openHelperTool(path, &tool.fd);
  if (err != 0) return err;
  struct stat st;
  if (::fstat(tool.fd, &st) != 0) return errno;
  bool blessed = st.st_uid == 0 && st.st_gid == 0 && st.st_mode == kBlessedMode;
  if (!blessed) {
    if (path.find('\x7F') != std::string::npos) return bdNamErr;
    err = RunScriptAsRoot(auth, kBlessScript, path.c_str(), static_cast<char*>(nullptr));
    if (err != 0) return err;
    // The script blessed the file at the path (never a link): run that one.
    ::close(std::exchange(tool.fd, -1));
    err = openHelperTool(path, &tool.fd);
    if (err != 0) return err;
  }
  return ExecuteRequestInHelperTool(helperTool, tool.fd, auth, request, response);
}

}  // namespace tvl

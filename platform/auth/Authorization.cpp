#include "platform/auth/Authorization.h"

#include <fcntl.h>
#include <polkit/polkit.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tvl::auth {

struct Authorization {
  AuthorizationSubject subject;
};

namespace {

constexpr uint32_t kExternalFormMagic = 0x414c5654;  // "TVLA" in little-endian bytes
constexpr uint32_t kExternalFormVersion = 1;

// The fields at fixed offsets; the rest of the 32 bytes must be zero.
struct ExternalLayout {
  uint32_t magic;
  uint32_t version;
  int32_t pid;
  uint32_t uid;
  uint64_t startTime;
  uint64_t reserved;
};
static_assert(sizeof(ExternalLayout) == kAuthorizationExternalFormLength);

template <class T>
struct GObjectDeleter {
  void operator()(T* p) const noexcept {
    if (p) g_object_unref(p);
  }
};
template <class T>
using GPtr = std::unique_ptr<T, GObjectDeleter<T>>;

struct GErrorDeleter {
  void operator()(GError* e) const noexcept { g_error_free(e); }
};

// The real uid of a process, from /proc/<pid>/status.
bool processRealUid(pid_t pid, uid_t* uid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Uid:", 0) == 0) {
      std::istringstream fields(line.substr(4));
      unsigned long real;
      if (!(fields >> real)) return false;
      *uid = static_cast<uid_t>(real);
      return true;
    }
  }
  return false;
}

}  // namespace

bool processStartTime(pid_t pid, uint64_t* startTime) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name may hold blanks and parentheses: count fields after the last ')'.
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  // Field 3 (state) is the first after ')'; the start time is field 22.
  for (int i = 3; i < 22; ++i)
    if (!(fields >> field)) return false;
  unsigned long long value;
  if (!(fields >> value)) return false;
  *startTime = value;
  return true;
}

int AuthorizationCreate(const char* right, AuthorizationFlags flags,
                        AuthorizationRef* authorization) {
  if (authorization == nullptr) return errAuthorizationInvalidRef;
  *authorization = nullptr;
  auto created = std::make_unique<Authorization>();
  created->subject.pid = ::getpid();
  created->subject.uid = ::getuid();
  if (!processStartTime(created->subject.pid, &created->subject.startTime))
    return errAuthorizationInternal;
  if (right != nullptr && (flags & kAuthorizationFlagExtendRights) != 0) {
    int err = AuthorizationCopyRights(created.get(), right, flags);
    // Pre-authorization keeps the reference even when the right was not granted.
    if (err != 0 && (flags & kAuthorizationFlagPreAuthorize) == 0) return err;
  }
  *authorization = created.release();
  return 0;
}

int AuthorizationFree(AuthorizationRef authorization) {
  if (authorization == nullptr) return errAuthorizationInvalidRef;
  std::unique_ptr<Authorization> owned(authorization);
  return 0;
}

AuthorizationSubject AuthorizationGetSubject(AuthorizationRef authorization) {
  return authorization ? authorization->subject : AuthorizationSubject{};
}

int AuthorizationCopyRights(AuthorizationRef authorization, const char* right,
                            AuthorizationFlags flags) {
  if (authorization == nullptr) return errAuthorizationInvalidRef;
  if (right == nullptr || std::strcmp(right, kAuthorizationRightExecute) != 0)
    return errAuthorizationInvalidSet;
  GError* rawError = nullptr;
  GPtr<PolkitAuthority> authority(polkit_authority_get_sync(nullptr, &rawError));
  std::unique_ptr<GError, GErrorDeleter> error(rawError);
  if (!authority) return errAuthorizationInternal;
  const AuthorizationSubject& s = authorization->subject;
  GPtr<PolkitSubject> subject(polkit_unix_process_new_for_owner(
      static_cast<gint>(s.pid), static_cast<guint64>(s.startTime), static_cast<gint>(s.uid)));
  bool interactive = (flags & kAuthorizationFlagExtendRights) != 0 &&
                     (flags & kAuthorizationFlagInteractionAllowed) != 0;
  PolkitCheckAuthorizationFlags checkFlags =
      interactive ? POLKIT_CHECK_AUTHORIZATION_FLAGS_ALLOW_USER_INTERACTION
                  : POLKIT_CHECK_AUTHORIZATION_FLAGS_NONE;
  rawError = nullptr;
  GPtr<PolkitAuthorizationResult> result(polkit_authority_check_authorization_sync(
      authority.get(), subject.get(), kAdminActionID, nullptr, checkFlags, nullptr, &rawError));
  error.reset(rawError);
  if (!result) return errAuthorizationInternal;
  if (polkit_authorization_result_get_is_authorized(result.get())) return 0;
  if (polkit_authorization_result_get_dismissed(result.get())) return errAuthorizationCanceled;
  return errAuthorizationDenied;
}

int AuthorizationMakeExternalForm(AuthorizationRef authorization,
                                  AuthorizationExternalForm* extForm) {
  if (authorization == nullptr || extForm == nullptr) return errAuthorizationInvalidRef;
  ExternalLayout layout{};
  layout.magic = kExternalFormMagic;
  layout.version = kExternalFormVersion;
  layout.pid = static_cast<int32_t>(authorization->subject.pid);
  layout.uid = static_cast<uint32_t>(authorization->subject.uid);
  layout.startTime = authorization->subject.startTime;
  std::memcpy(extForm->bytes, &layout, sizeof layout);
  return 0;
}

int AuthorizationCreateFromExternalForm(const AuthorizationExternalForm* extForm,
                                        AuthorizationRef* authorization) {
  if (extForm == nullptr || authorization == nullptr) return errAuthorizationInvalidRef;
  *authorization = nullptr;
  ExternalLayout layout;
  std::memcpy(&layout, extForm->bytes, sizeof layout);
  if (layout.magic != kExternalFormMagic || layout.version != kExternalFormVersion ||
      layout.reserved != 0)
    return errAuthorizationInvalidRef;

  // Only the process that started us: a pid handed in from elsewhere could be anybody's.
  pid_t pid = static_cast<pid_t>(layout.pid);
  if (pid <= 0 || pid != ::getppid()) return errAuthorizationInvalidRef;
  uid_t realUid = ::getuid();
  if (static_cast<uid_t>(layout.uid) != realUid) return errAuthorizationInvalidRef;
  uid_t processUid;
  if (!processRealUid(pid, &processUid) || processUid != realUid) return errAuthorizationInvalidRef;
  // A different start time means the pid now belongs to another process.
  uint64_t startTime;
  if (!processStartTime(pid, &startTime) || startTime != layout.startTime)
    return errAuthorizationInvalidRef;

  auto created = std::make_unique<Authorization>();
  created->subject = {pid, startTime, realUid};
  *authorization = created.release();
  return 0;
}

}  // namespace tvl::auth

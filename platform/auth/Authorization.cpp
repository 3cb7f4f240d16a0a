#include "platform/auth/Authorization.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
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

struct BusDeleter {
  void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
  void operator()(sd_bus_message* m) const noexcept { sd_bus_message_unref(m); }
};
using BusMessage = std::unique_ptr<sd_bus_message, MessageDeleter>;
struct ErrorFree {
  void operator()(sd_bus_error* e) const noexcept { sd_bus_error_free(e); }
};

// polkit's interactive answer waits for a person at the authentication dialog.
constexpr uint64_t kInteractiveTimeoutUsec = 30ull * 60 * 1000 * 1000;
constexpr uint64_t kCheckTimeoutUsec = 25ull * 1000 * 1000;
constexpr uint32_t kPolkitAllowUserInteraction = 1;

// polkit's answer to CheckAuthorization: (is_authorized, is_challenge, details).
struct PolkitAnswer {
  bool authorized = false;
  bool challenge = false;
  bool dismissed = false;  // the user closed the dialog
};

// Asks polkitd on the system bus, in one blocking call of our own connection. Talking to
// polkitd directly rather than through its GObject library keeps GLib, GIO and their
// worker threads out of the set-user-ID tool: a third of its start-up went to loading
// them, and every change of its ids then had to stop and wake those threads.
bool askPolkit(const AuthorizationSubject& s, const char* action, bool interactive,
               PolkitAnswer* answer) {
  sd_bus* raw = nullptr;
  if (sd_bus_open_system(&raw) < 0) return false;
  std::unique_ptr<sd_bus, BusDeleter> bus(raw);
  sd_bus_message* rawCall = nullptr;
  if (sd_bus_message_new_method_call(bus.get(), &rawCall, "org.freedesktop.PolicyKit1",
                                     "/org/freedesktop/PolicyKit1/Authority",
                                     "org.freedesktop.PolicyKit1.Authority",
                                     "CheckAuthorization") < 0)
    return false;
  BusMessage call(rawCall);
  if (sd_bus_message_append(call.get(), "(sa{sv})s", "unix-process", 3, "pid", "u",
                            static_cast<uint32_t>(s.pid), "start-time", "t",
                            static_cast<uint64_t>(s.startTime), "uid", "i",
                            static_cast<int32_t>(s.uid), action) < 0 ||
      sd_bus_message_append(call.get(), "a{ss}us", 0,
                            interactive ? kPolkitAllowUserInteraction : 0u, "") < 0)
    return false;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  std::unique_ptr<sd_bus_error, ErrorFree> freeError(&error);
  sd_bus_message* rawReply = nullptr;
  if (sd_bus_call(bus.get(), call.get(), interactive ? kInteractiveTimeoutUsec : kCheckTimeoutUsec,
                  &error, &rawReply) < 0)
    return false;
  BusMessage reply(rawReply);
  int authorized = 0, challenge = 0;
  if (sd_bus_message_enter_container(reply.get(), 'r', "bba{ss}") < 0 ||
      sd_bus_message_read(reply.get(), "bb", &authorized, &challenge) < 0 ||
      sd_bus_message_enter_container(reply.get(), 'a', "{ss}") < 0)
    return false;
  answer->authorized = authorized;
  answer->challenge = challenge;
  const char* key = nullptr;
  const char* value = nullptr;
  int r;
  while ((r = sd_bus_message_read(reply.get(), "{ss}", &key, &value)) > 0)
    if (std::strcmp(key, "polkit.dismissed") == 0 && std::strcmp(value, "true") == 0)
      answer->dismissed = true;
  return r == 0;
}

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
  bool interactive = (flags & kAuthorizationFlagExtendRights) != 0 &&
                     (flags & kAuthorizationFlagInteractionAllowed) != 0;
  PolkitAnswer answer;
  if (!askPolkit(authorization->subject, kAdminActionID, interactive, &answer))
    return errAuthorizationInternal;
  if (answer.authorized) return 0;
  if (answer.dismissed) return errAuthorizationCanceled;
  // Asked with interaction, polkit answers "challenge" without any dialog only when no
  // authentication agent serves the session: nobody could be asked.
  if (interactive && answer.challenge) return errAuthorizationInteractionNotAllowed;
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

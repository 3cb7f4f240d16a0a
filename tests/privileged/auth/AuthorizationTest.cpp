// Authorization through a real polkitd on the private system bus, with the test rules
// (tests/support/polkit): tvltest is granted, tvldenied refused, and tvlcancel gets the
// default (authentication), which a test agent dismisses.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/auth/Authorization.h"
#include "support/RunAs.h"

using namespace tvl;

using namespace auth;
using tvltest::runAs;

namespace {

constexpr AuthorizationFlags kInteractive =
    kAuthorizationFlagExtendRights | kAuthorizationFlagInteractionAllowed;

int64_t copyRightsAsCaller(AuthorizationFlags flags) {
  AuthorizationRef a = nullptr;
  if (int err = AuthorizationCreate(nullptr, kAuthorizationFlagDefaults, &a)) return err;
  UniqueAuthorization owned(a);
  return AuthorizationCopyRights(a, kAuthorizationRightExecute, flags);
}

// An authentication agent that dismisses every dialog, registered for the calling
// process, served on a thread of its own while the caller blocks in a check.
class DismissingAgent {
 public:
  bool start() {
    thread_ = std::thread([this] { run(); });
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return state_ != 0; });
    return state_ == 1;
  }
  ~DismissingAgent() {
    if (loop_) g_main_loop_quit(loop_);
    if (thread_.joinable()) thread_.join();
  }

 private:
  void run() {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    loop_ = g_main_loop_new(context, FALSE);
    bool ok = registerAgent();
    {
      std::lock_guard lock(mutex_);
      state_ = ok ? 1 : 2;
    }
    ready_.notify_all();
    if (ok) g_main_loop_run(loop_);
    if (bus_) g_object_unref(bus_);
    g_main_loop_unref(loop_);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  bool registerAgent() {
    static const char* kXml =
        "<node><interface name='org.freedesktop.PolicyKit1.AuthenticationAgent'>"
        "<method name='BeginAuthentication'><arg type='s' direction='in'/>"
        "<arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='a{ss}' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='a(sa{sv})' direction='in'/></method>"
        "<method name='CancelAuthentication'><arg type='s' direction='in'/></method>"
        "</interface></node>";
    bus_ = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (!bus_) return false;
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kXml, nullptr);
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
           GDBusMethodInvocation* invocation, gpointer) {
          g_dbus_method_invocation_return_dbus_error(
              invocation, "org.freedesktop.PolicyKit1.Error.Cancelled", "dismissed");
        },
        nullptr,
        nullptr,
        {}};
    guint id = g_dbus_connection_register_object(bus_, "/tvl/test/Agent", info->interfaces[0],
                                                 &vtable, nullptr, nullptr, nullptr);
    g_dbus_node_info_unref(info);
    if (id == 0) return false;
    uint64_t start = 0;
    if (!processStartTime(::getpid(), &start)) return false;
    GVariantBuilder details;
    g_variant_builder_init(&details, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&details, "{sv}", "pid", g_variant_new_uint32(::getpid()));
    g_variant_builder_add(&details, "{sv}", "start-time", g_variant_new_uint64(start));
    GVariant* reply = g_dbus_connection_call_sync(
        bus_, "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
        "org.freedesktop.PolicyKit1.Authority", "RegisterAuthenticationAgent",
        g_variant_new("((sa{sv})ss)", "unix-process", &details, "C", "/tvl/test/Agent"), nullptr,
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
    if (!reply) return false;
    g_variant_unref(reply);
    return true;
  }

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable ready_;
  int state_ = 0;
  GMainLoop* loop_ = nullptr;
  GDBusConnection* bus_ = nullptr;
};

// Makes an external form in a process of user and hands it to a child of that process,
// which runs check with it; the parent may first tamper with the form.
int64_t formCheckedByChild(const char* user, void (*tamper)(AuthorizationExternalForm*),
                           int64_t (*check)(const AuthorizationExternalForm&)) {
  auto result = runAs(user, [&]() -> int64_t {
    AuthorizationRef a = nullptr;
    if (int err = AuthorizationCreate(nullptr, kAuthorizationFlagDefaults, &a)) return err;
    UniqueAuthorization owned(a);
    AuthorizationExternalForm form;
    if (int err = AuthorizationMakeExternalForm(a, &form)) return err;
    if (tamper) tamper(&form);
    auto childResult = runAs(nullptr, [&] { return check(form); });
    return childResult.value_or(1);
  });
  return result.value_or(2);
}

int64_t createAndCopyRights(const AuthorizationExternalForm& form) {
  AuthorizationRef a = nullptr;
  if (int err = AuthorizationCreateFromExternalForm(&form, &a)) return err;
  UniqueAuthorization owned(a);
  if (AuthorizationGetSubject(a).pid != ::getppid()) return 3;
  return AuthorizationCopyRights(a, kAuthorizationRightExecute, kAuthorizationFlagDefaults);
}

}  // namespace

TEST(Authorization, PolkitAnswersGrantedDeniedPerUser) {
  EXPECT_EQ(runAs("tvltest", [] { return copyRightsAsCaller(kInteractive); }), 0);
  EXPECT_EQ(runAs("tvltest", [] { return copyRightsAsCaller(kAuthorizationFlagDefaults); }), 0);
  EXPECT_EQ(runAs("tvldenied", [] { return copyRightsAsCaller(kInteractive); }),
            errAuthorizationDenied);
  // Without an agent nobody can answer the challenge: neither denied nor cancelled, but
  // said apart, so that the user can be told to start one.
  EXPECT_EQ(runAs("tvlcancel", [] { return copyRightsAsCaller(kInteractive); }),
            errAuthorizationInteractionNotAllowed);
  EXPECT_EQ(runAs("tvlcancel", [] { return copyRightsAsCaller(kAuthorizationFlagDefaults); }),
            errAuthorizationDenied);
  // Other rights than the administrator's are not ours to grant.
  EXPECT_EQ(runAs("tvltest",
                  [] {
                    AuthorizationRef a = nullptr;
                    AuthorizationCreate(nullptr, 0, &a);
                    UniqueAuthorization owned(a);
                    return int64_t{AuthorizationCopyRights(a, "system.other", kInteractive)};
                  }),
            errAuthorizationInvalidSet);
}

TEST(Authorization, DismissedDialogIsCancelled) {
  auto result = runAs("tvlcancel", []() -> int64_t {
    DismissingAgent agent;
    if (!agent.start()) return 1;
    return copyRightsAsCaller(kInteractive);
  });
  EXPECT_EQ(result, errAuthorizationCanceled);
}

TEST(Authorization, ExternalFormIsThirtyTwoBytesAndRoundTripsToTheParent) {
  static_assert(sizeof(AuthorizationExternalForm) == 32);
  EXPECT_EQ(formCheckedByChild("tvltest", nullptr, createAndCopyRights), 0);
  EXPECT_EQ(formCheckedByChild("tvldenied", nullptr, createAndCopyRights), errAuthorizationDenied);
}

TEST(Authorization, FormThatIsNotTheCallersOwnIsRefused) {
  // Another user's uid written into an otherwise true form of the parent.
  EXPECT_EQ(formCheckedByChild(
                "tvldenied",
                [](AuthorizationExternalForm* f) {
                  uint32_t uid = static_cast<uint32_t>(tvltest::lookUpUser("tvltest")->uid);
                  std::memcpy(f->bytes + 12, &uid, 4);
                },
                createAndCopyRights),
            errAuthorizationInvalidRef);
  // A start time that is not the parent's: the pid was reused by another process.
  EXPECT_EQ(
      formCheckedByChild(
          "tvltest", [](AuthorizationExternalForm* f) { f->bytes[16] ^= 1; }, createAndCopyRights),
      errAuthorizationInvalidRef);
  // Garbage in the reserved bytes or a wrong magic.
  EXPECT_EQ(
      formCheckedByChild(
          "tvltest", [](AuthorizationExternalForm* f) { f->bytes[31] = 1; }, createAndCopyRights),
      errAuthorizationInvalidRef);
  EXPECT_EQ(formCheckedByChild(
                "tvltest", [](AuthorizationExternalForm* f) { f->bytes[0] ^= 0xff; },
                createAndCopyRights),
            errAuthorizationInvalidRef);
  // A grandchild is not started by the authorized process: it must not borrow the form.
  EXPECT_EQ(formCheckedByChild("tvltest", nullptr,
                               [](const AuthorizationExternalForm& form) -> int64_t {
                                 return runAs(nullptr,
                                              [&] {
                                                AuthorizationRef a = nullptr;
                                                int64_t err =
                                                    AuthorizationCreateFromExternalForm(&form, &a);
                                                AuthorizationFree(a);
                                                return err;
                                              })
                                     .value_or(1);
                               }),
            errAuthorizationInvalidRef);
}

namespace {
// Runs "id -u" as root with the privileged execution and returns its output.
std::string runIdAsRoot(int* status) {
  // pkexec may refuse and end before it has read the script.
  ::signal(SIGPIPE, SIG_IGN);
  AuthorizationRef a = nullptr;
  if (AuthorizationCreate(nullptr, 0, &a) != 0) return "create failed";
  UniqueAuthorization owned(a);
  char dashS[] = "-s";
  char* args[] = {dashS, nullptr};
  PrivilegedProcess process;
  if (AuthorizationExecuteWithPrivileges(a, "/bin/sh", 0, args, &process) != 0)
    return "execute failed";
  std::fputs("id -u\n", process.stream);
  std::fflush(process.stream);
  ::shutdown(fileno(process.stream), SHUT_WR);
  std::string out;
  char line[256];
  while (std::fgets(line, sizeof line, process.stream)) out += line;
  process.close(status);
  return out;
}
}  // namespace

TEST(Authorization, PrivilegedExecutionRunsAsRootDirectOrThroughPkexec) {
  int status = -1;
  EXPECT_EQ(runIdAsRoot(&status), "0\n");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // Through pkexec: tvltest may, tvldenied may not (pkexec answers 127 then).
  auto asUser = [](const char* user) {
    return runAs(user, []() -> int64_t {
      int status = -1;
      std::string out = runIdAsRoot(&status);
      if (!WIFEXITED(status)) return -1;
      return out == "0\n" ? 0 : 1000 + WEXITSTATUS(status);
    });
  };
  EXPECT_EQ(asUser("tvltest"), 0);
  EXPECT_EQ(asUser("tvldenied"), 1127);
}

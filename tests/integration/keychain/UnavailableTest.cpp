// The keychain when it cannot be used: every method gives its failure (status logged,
// false / "error" / nothing) and returns, and the program goes on. The set-up is named
// by TVL_KEYCHAIN_SETUP; the test's wrapper provides it:
//   nobus        no session bus at all
//   noservice    a session bus on which nothing provides the Secret Service
//   nocollection the service runs but the user has no default collection
//   locked       the default collection is locked
//   stopped      the service stops answering (its daemon is stopped)
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QLineEdit>

#include <cstdlib>
#include <map>

#include "integration/keychain/Capture.h"
#include "mainapp/AGKeychain.h"
#include "mainapp/AppController.h"
#include "mainapp/NSApplicationUtils.h"

using namespace tvl;

using keychaintest::Capture;
using mainapp::AGKeychain;
using testing::HasSubstr;

namespace {

const std::string kName = "Mac Tovalo";
const std::string kControl = "Mac Tovalo Control";

std::string setup() {
  const char* name = std::getenv("TVL_KEYCHAIN_SETUP");
  return name ? name : "";
}

keychain::Status expectedStatus() {
  static const std::map<std::string, keychain::Status> statuses = {
      {"nobus", keychain::errSecNotAvailable},
      {"noservice", keychain::errSecServiceNotAvailable},
      {"nocollection", keychain::errSecNoDefaultKeychain},
      {"locked", keychain::errSecInteractionNotAllowed},
      {"stopped", keychain::errSecServiceNotAvailable},
  };
  return statuses.at(setup());
}

// The process id of the Secret Service daemon, from the bus.
pid_t servicePid() {
  const std::string out = keychaintest::run(
      "busctl --user call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus "
      "GetConnectionUnixProcessID s org.freedesktop.secrets");
  return static_cast<pid_t>(std::atoi(out.c_str() + out.find(' ') + 1));  // "u 1234"
}

class KeychainUnavailable : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (setup() == "locked" || setup() == "stopped") {
      // An item exists: the failure must come from the state, not from its absence.
      keychaintest::plant("account ida label 'Mac Tovalo' description 'Mac Tovalo Control'", "pw");
    }
    if (setup() == "locked") {
      const std::string collection = "/org/freedesktop/secrets/aliases/default";
      keychaintest::run(
          "busctl --user call org.freedesktop.secrets /org/freedesktop/secrets "
          "org.freedesktop.Secret.Service Lock ao 1 " +
          collection);
      ASSERT_EQ(keychaintest::run("busctl --user get-property org.freedesktop.secrets " +
                                  collection + " org.freedesktop.Secret.Collection Locked"),
                "b true\n");
    }
    if (setup() == "stopped") {
      daemon_ = servicePid();
      ASSERT_GT(daemon_, 0);
      keychain::setTimeout(std::chrono::milliseconds(300));
      // Should this process die before it resumes the daemon, a watcher does it, so no
      // stopped daemon outlives the test.
      const std::string me = std::to_string(getpid()), daemon = std::to_string(daemon_);
      keychaintest::run("(while kill -0 " + me + "; do sleep 0.2; done; kill -CONT " + daemon +
                        ") </dev/null >/dev/null 2>&1 &");
      kill(daemon_, SIGSTOP);
    }
  }
  static void TearDownTestSuite() {
    if (daemon_ > 0) kill(daemon_, SIGCONT);
  }
  static inline pid_t daemon_ = 0;
};

TEST_F(KeychainUnavailable, EveryMethodFailsWithItsStatus) {
  const std::string status = std::to_string(expectedStatus());
  Capture log(2);
  Capture out(1);
  EXPECT_FALSE(AGKeychain::checkForExistanceOfKeychainItem(kName, kControl, "ida"));
  EXPECT_THAT(log.text(),
              HasSubstr("] status " + status + " from SecKeychainSearchCreateFromAttributes\n"));
  EXPECT_THAT(log.text(), HasSubstr("] 0 items found\n"));
  EXPECT_EQ(AGKeychain::getPasswordFromKeychainItem(kName, kControl, "ida"), "error");
  EXPECT_FALSE(AGKeychain::addKeychainItem(kName, kControl, "ida", "new"));
  EXPECT_FALSE(AGKeychain::addSharingKeychainItem(kName, kControl, "ida", "new"));
  EXPECT_THAT(log.text(), HasSubstr("] Error creating new item: " + status + "\n"));
  EXPECT_FALSE(AGKeychain::modifyKeychainItem(kName, kControl, "ida", "new"));
  EXPECT_THAT(log.text(), HasSubstr("] Error modifying item: " + status + "\n"));
  // A search that could not be made is not "nothing to delete".
  EXPECT_FALSE(AGKeychain::deleteKeychainItem(kName, kControl, "ida"));
  EXPECT_THAT(log.text(), HasSubstr("] Error deleting item: " + status + "\n"));
  EXPECT_EQ(out.text(), "");
}

TEST_F(KeychainUnavailable, ApplicationGettersAnswerNothingAndLeaveTheFieldAlone) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "keychain_unavailable";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QLineEdit field("before");
  mainapp::AppController::sharedController()->passwordTextField = &field;

  mainapp::NSApplicationUtils utils;
  utils.getKeychainMethod("ida", "new");
  utils.getSharingKeychainMethod("ida", "new");
  EXPECT_EQ(utils.getKeychainPassword("ida"), std::nullopt);
  EXPECT_EQ(utils.getSharingKeychainPassword("ida"), std::nullopt);
  EXPECT_EQ(field.text(), "before");
  mainapp::AppController::sharedController()->passwordTextField = nullptr;
}

}  // namespace

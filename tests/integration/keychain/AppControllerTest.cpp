// The main application's keychain methods, as its scripts call them on the application
// object, against the real Secret Service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>

#include <memory>

#include "integration/keychain/Capture.h"
#include "mainapp/AppController.h"
#include "mainapp/NSApplicationUtils.h"

using namespace tvl;

using keychaintest::plant;
using keychaintest::secrets;
using mainapp::AppController;
using testing::ElementsAre;

namespace {

std::string query(const std::string& user, const std::string& kind) {
  return "account '" + user + "' label 'Mac Tovalo' description '" + kind + "'";
}

class ApplicationKeychain : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  static void TearDownTestSuite() { app_.reset(); }

  void SetUp() override {
    field_ = std::make_unique<QLineEdit>("unchanged");
    AppController::sharedController()->passwordTextField = field_.get();
  }
  void TearDown() override { AppController::sharedController()->passwordTextField = nullptr; }

  mainapp::NSApplicationUtils utils_;
  std::unique_ptr<QLineEdit> field_;

  static inline int argc_ = 1;
  static inline char name_[] = "keychain_integration";
  static inline char* argv_[] = {name_, nullptr};
  static inline std::unique_ptr<QApplication> app_;
};

TEST_F(ApplicationKeychain, SharedControllerIsOneObject) {
  EXPECT_EQ(AppController::sharedController(), AppController::sharedController());
}

TEST_F(ApplicationKeychain, SettingTwiceLeavesOneItemWithTheSecondPassword) {
  utils_.getKeychainMethod("jane", "first");
  utils_.getKeychainMethod("jane", "second");
  EXPECT_THAT(secrets(query("jane", "Mac Tovalo Control")), ElementsAre("second"));

  EXPECT_EQ(utils_.getKeychainPassword("jane"), "second");
  EXPECT_EQ(field_->text(), "second");
}

TEST_F(ApplicationKeychain, SharingAndControlPasswordsAreKeptApart) {
  utils_.getKeychainMethod("kate", "control-1");
  utils_.getSharingKeychainMethod("kate", "sharing-1");
  utils_.getSharingKeychainMethod("kate", "sharing-2");
  EXPECT_THAT(secrets(query("kate", "Mac Tovalo Control")), ElementsAre("control-1"));
  EXPECT_THAT(secrets(query("kate", "Mac Tovalo Sharing")), ElementsAre("sharing-2"));

  utils_.getKeychainMethod("kate", "control-2");
  EXPECT_THAT(secrets(query("kate", "Mac Tovalo Sharing")), ElementsAre("sharing-2"));
  EXPECT_EQ(utils_.getSharingKeychainPassword("kate"), "sharing-2");
  EXPECT_EQ(field_->text(), "sharing-2");
  EXPECT_EQ(utils_.getKeychainPassword("kate"), "control-2");
  EXPECT_EQ(field_->text(), "control-2");
}

TEST_F(ApplicationKeychain, GetterWithoutAnItemAnswersNothingAndLeavesTheField) {
  plant(query("lena", "Mac Tovalo Sharing"), "sharing");  // the other kind exists
  EXPECT_EQ(utils_.getKeychainPassword("lena"), std::nullopt);
  EXPECT_EQ(field_->text(), "unchanged");
  EXPECT_EQ(utils_.getSharingKeychainPassword("nobody"), std::nullopt);
  EXPECT_EQ(field_->text(), "unchanged");
}

TEST_F(ApplicationKeychain, PasswordPlantedByAnotherProgramIsFoundAndChanged) {
  plant(query("mia", "Mac Tovalo Sharing"), "planted");
  EXPECT_EQ(utils_.getSharingKeychainPassword("mia"), "planted");
  utils_.getSharingKeychainMethod("mia", "mine");
  EXPECT_THAT(secrets(query("mia", "Mac Tovalo Sharing")), ElementsAre("mine"));
}

TEST_F(ApplicationKeychain, WithoutATextFieldTheGetterOnlyAnswers) {
  utils_.getKeychainMethod("nora", "pw");
  AppController::sharedController()->passwordTextField = nullptr;
  EXPECT_EQ(utils_.getKeychainPassword("nora"), "pw");

  // A field that was destroyed counts as none.
  {
    QLineEdit gone;
    AppController::sharedController()->passwordTextField = &gone;
  }
  EXPECT_EQ(utils_.getKeychainPassword("nora"), "pw");
  EXPECT_EQ(field_->text(), "unchanged");
}

}  // namespace

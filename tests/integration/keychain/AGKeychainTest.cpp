// AGKeychain against a real Secret Service (gnome-keyring on a private bus), checked
// with secret-tool as an independent client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "integration/keychain/Capture.h"
#include "mainapp/AGKeychain.h"

using namespace tvl;

using keychaintest::attributeLines;
using keychaintest::Capture;
using keychaintest::plant;
using keychaintest::secrets;
using mainapp::AGKeychain;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace {

const std::string kName = "Mac Tovalo";
const std::string kControl = "Mac Tovalo Control";
const std::string kSharing = "Mac Tovalo Sharing";

std::string query(const std::string& user, const std::string& kind) {
  return "account '" + user + "' label 'Mac Tovalo' description '" + kind + "'";
}

TEST(AGKeychain, CreatedItemCarriesTheThreeAttributesAndThePassword) {
  Capture log(2);
  EXPECT_TRUE(AGKeychain::addKeychainItem(kName, kControl, "alice", "s3cret"));
  EXPECT_EQ(log.text(), "");  // success logs nothing

  EXPECT_THAT(secrets("account alice"), ElementsAre("s3cret"));
  const std::string attributes = attributeLines("account alice");
  EXPECT_THAT(attributes, HasSubstr("attribute.account = alice\n"));
  EXPECT_THAT(attributes, HasSubstr("attribute.label = Mac Tovalo\n"));
  EXPECT_THAT(attributes, HasSubstr("attribute.description = Mac Tovalo Control\n"));
  EXPECT_THAT(attributes, Not(HasSubstr("attribute.service")));

  EXPECT_TRUE(AGKeychain::checkForExistanceOfKeychainItem(kName, kControl, "alice"));
  EXPECT_THAT(log.text(), HasSubstr("] 1 items found\n"));
  EXPECT_EQ(AGKeychain::getPasswordFromKeychainItem(kName, kControl, "alice"), "s3cret");
}

TEST(AGKeychain, NothingMatching) {
  Capture log(2);
  EXPECT_FALSE(AGKeychain::checkForExistanceOfKeychainItem(kName, kControl, "nobody"));
  EXPECT_THAT(log.text(), HasSubstr("] 0 items found\n"));
  EXPECT_EQ(AGKeychain::getPasswordFromKeychainItem(kName, kControl, "nobody"), "error");
  EXPECT_EQ(AGKeychain::copyPasswordFromKeychainItem(kName, kControl, "nobody"), std::nullopt);

  Capture quiet(2);
  EXPECT_TRUE(AGKeychain::deleteKeychainItem(kName, kControl, "nobody"));
  EXPECT_EQ(quiet.text(), "");  // deleting nothing is no error

  // Modifying nothing is a failure, not a silent success.
  EXPECT_FALSE(AGKeychain::modifyKeychainItem(kName, kControl, "nobody", "x"));
  EXPECT_THAT(quiet.text(), HasSubstr("] Error modifying item: -25300\n"));
  EXPECT_THAT(secrets("account nobody"), ElementsAre());
}

TEST(AGKeychain, SecondItemWithTheSameAttributesIsRefused) {
  ASSERT_TRUE(AGKeychain::addSharingKeychainItem(kName, kSharing, "bert", "first"));
  Capture log(2);
  EXPECT_FALSE(AGKeychain::addSharingKeychainItem(kName, kSharing, "bert", "second"));
  EXPECT_FALSE(AGKeychain::addKeychainItem(kName, kSharing, "bert", "third"));
  EXPECT_THAT(log.text(), HasSubstr("] Error creating new item: -25299\n"));
  EXPECT_THAT(secrets(query("bert", kSharing)), ElementsAre("first"));

  // Also when the existing item was stored by another program.
  plant(query("carl", kSharing), "planted");
  EXPECT_FALSE(AGKeychain::addKeychainItem(kName, kSharing, "carl", "mine"));
  EXPECT_THAT(secrets(query("carl", kSharing)), ElementsAre("planted"));
}

TEST(AGKeychain, TwoMatchingItemsFirstIsReadAndChangedLastIsDeleted) {
  // Planted one after the other: the older item comes first.
  plant(query("dora", kControl) + " planted one", "pw-one");
  plant(query("dora", kControl) + " planted two", "pw-two");

  Capture log(2);
  EXPECT_TRUE(AGKeychain::checkForExistanceOfKeychainItem(kName, kControl, "dora"));
  EXPECT_THAT(log.text(), HasSubstr("] 2 items found\n"));
  EXPECT_EQ(AGKeychain::getPasswordFromKeychainItem(kName, kControl, "dora"), "pw-one");

  EXPECT_TRUE(AGKeychain::modifyKeychainItem(kName, kControl, "dora", "changed"));
  EXPECT_THAT(secrets("planted one"), ElementsAre("changed"));
  EXPECT_THAT(secrets("planted two"), ElementsAre("pw-two"));
  // The change keeps the attributes that other program gave the item.
  EXPECT_THAT(attributeLines("planted one"), HasSubstr("attribute.account = dora\n"));

  EXPECT_TRUE(AGKeychain::deleteKeychainItem(kName, kControl, "dora"));
  EXPECT_THAT(secrets("planted two"), ElementsAre());
  EXPECT_THAT(secrets("planted one"), ElementsAre("changed"));
  EXPECT_THAT(log.text(), Not(HasSubstr("Error")));
}

TEST(AGKeychain, PasswordReadsBackAsAtMost1023BytesUpToAZeroByte) {
  const std::string longPassword(2000, 'p');
  ASSERT_TRUE(AGKeychain::addKeychainItem(kName, kControl, "erik", longPassword));
  EXPECT_EQ(secrets(query("erik", kControl)).at(0).size(), 2000u);  // stored whole
  EXPECT_EQ(AGKeychain::getPasswordFromKeychainItem(kName, kControl, "erik"),
            std::string(1023, 'p'));

  plant(query("fred", kControl), std::string("ab\0cd", 5));
  EXPECT_EQ(AGKeychain::getPasswordFromKeychainItem(kName, kControl, "fred"), "ab");
}

TEST(AGKeychain, EachOperationTouchesOnlyItemsWithAllThreeAttributes) {
  // Neighbours that differ from the target (gus, control) in exactly one attribute.
  plant(query("gus", kSharing), "sharing");
  plant("account 'gus' label 'Other App' description '" + kControl + "'", "other-name");
  plant(query("gustav", kControl), "other-user");

  EXPECT_FALSE(AGKeychain::checkForExistanceOfKeychainItem(kName, kControl, "gus"));
  EXPECT_EQ(AGKeychain::getPasswordFromKeychainItem(kName, kControl, "gus"), "error");
  EXPECT_FALSE(AGKeychain::modifyKeychainItem(kName, kControl, "gus", "x"));
  EXPECT_TRUE(AGKeychain::deleteKeychainItem(kName, kControl, "gus"));
  EXPECT_THAT(secrets("account gus"), testing::UnorderedElementsAre("sharing", "other-name"));
  EXPECT_THAT(secrets("account gustav"), ElementsAre("other-user"));

  // And the reverse: the control item stays when the sharing item goes.
  plant(query("gus", kControl), "control");
  EXPECT_EQ(AGKeychain::getPasswordFromKeychainItem(kName, kSharing, "gus"), "sharing");
  EXPECT_TRUE(AGKeychain::modifyKeychainItem(kName, kSharing, "gus", "sharing-2"));
  EXPECT_TRUE(AGKeychain::deleteKeychainItem(kName, kSharing, "gus"));
  EXPECT_THAT(secrets(query("gus", kControl)), ElementsAre("control"));
  EXPECT_THAT(secrets(query("gus", kSharing)), ElementsAre());
}

TEST(AGKeychain, TextThatIsNotUtf8IsRefusedClearly) {
  const std::string bad = "h\xff\xfe";
  Capture log(2);
  EXPECT_FALSE(AGKeychain::checkForExistanceOfKeychainItem(kName, kControl, bad));
  EXPECT_FALSE(AGKeychain::addKeychainItem(kName, kControl, bad, "pw"));
  EXPECT_FALSE(AGKeychain::addKeychainItem(kName, kControl, std::string("a\0b", 3), "pw"));
  EXPECT_THAT(log.text(), HasSubstr("] status -50 from SecKeychainSearchCreateFromAttributes\n"));
  EXPECT_THAT(log.text(), HasSubstr("] Error creating new item: -50\n"));
  EXPECT_THAT(secrets("label 'Mac Tovalo' description 'Mac Tovalo Control' account a"),
              ElementsAre());
}

TEST(AGKeychain, ItemGoneBeforeItsPasswordIsRead) {
  plant(query("hans", kControl), "pw");
  keychain::Search search({"hans", kName, kControl});
  keychain::Item item;
  ASSERT_EQ(search.copyNext(item), keychain::errSecSuccess);
  keychaintest::run("secret-tool clear account hans");

  Capture out(1);
  EXPECT_EQ(AGKeychain::getPasswordFromSecKeychainItemRef(item), "");
  EXPECT_EQ(out.text(), "Error = -25300\n");  // on standard output, not in the log
}

TEST(AGKeychain, ServiceRestartedWhileTheApplicationRuns) {
  ASSERT_TRUE(AGKeychain::addKeychainItem(kName, kControl, "olga", "before"));
  ASSERT_EQ(AGKeychain::getPasswordFromKeychainItem(kName, kControl, "olga"), "before");
  // A new daemon takes over the bus name (and reads the same keyring files).
  const std::string owner =
      "busctl --user call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus "
      "GetNameOwner s org.freedesktop.secrets";
  const std::string before = keychaintest::run(owner);
  keychaintest::run(
      "echo -n test-pw | gnome-keyring-daemon --replace --daemonize --unlock "
      "--components=secrets >/dev/null");
  // The name is briefly unowned between the two daemons: wait for the new owner.
  std::string now = before;
  for (int i = 0; i < 250 && (now == before || now.empty()); ++i) {
    usleep(20000);
    now = keychaintest::run(owner);
  }
  ASSERT_NE(now, before);
  ASSERT_NE(now, "");
  // And for it to have unlocked the keyring.
  const std::string locked =
      "busctl --user get-property org.freedesktop.secrets "
      "/org/freedesktop/secrets/aliases/default org.freedesktop.Secret.Collection Locked";
  for (int i = 0; i < 250 && keychaintest::run(locked) != "b false\n"; ++i) usleep(20000);
  EXPECT_EQ(AGKeychain::getPasswordFromKeychainItem(kName, kControl, "olga"), "before");
  EXPECT_TRUE(AGKeychain::modifyKeychainItem(kName, kControl, "olga", "after"));
  EXPECT_THAT(secrets(query("olga", kControl)), ElementsAre("after"));
}

}  // namespace

// Launch URLs against the real interface file: fields arrive exactly as given, whatever
// they contain; foreign URLs go to the desktop; every URL switches to the control tab.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTabWidget>

#include <memory>

#include "TestApplication.h"
#include "mainapp/LaunchURL.h"
#include "mainapp/MainApplication.h"

using namespace tvl;

namespace {

// The real application with its interface, but URLs opened elsewhere are recorded.
class RecordingApplication : public mainapp::MainApplication {
 public:
  RecordingApplication()
      : MainApplication({"/nonexistent", "/nonexistent/Contents/Resources", "Mac Tovalo",
                         "com.nrvk.tvl", "com.nrvk.tvl"}) {}
  bool openLocation(const QString& url) override {
    opened << url;
    return true;
  }
  QStringList opened;
};

class LaunchURL : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::testApplication();
    ASSERT_TRUE(application.loadInterface(qEnvironmentVariable("TVL_SOURCE_DIR") +
                                          "/mainapp/resources/MainMenu.ui"));
    for (QWidget* w : application.windows())
      if (w->objectName() == "tvlremote") remote = w;
    tabs = remote->findChild<QTabWidget*>("tvlremotetabs");
    secret = remote->findChild<QLineEdit*>("remotesecret");
    key = remote->findChild<QLineEdit*>("remotekey");
    start = remote->findChild<QAbstractButton*>("screencontrolstart");
  }
  RecordingApplication application;
  QWidget* remote = nullptr;
  QTabWidget* tabs = nullptr;
  QLineEdit *secret = nullptr, *key = nullptr;
  QAbstractButton* start = nullptr;
};

TEST_F(LaunchURL, FillsFieldsShowsWindowAndPresses) {
  QSignalSpy pressed(start, &QAbstractButton::clicked);
  application.handleLaunchURL("tovalo:x:SECRET:KEY:ignored:too");
  EXPECT_EQ(tabs->currentIndex(), 1);
  EXPECT_EQ(secret->text(), "SECRET");
  EXPECT_EQ(key->text(), "KEY");
  EXPECT_TRUE(remote->isVisible());
  EXPECT_EQ(pressed.count(), 1);
  EXPECT_TRUE(application.opened.isEmpty());
}

TEST_F(LaunchURL, AnyFieldTextArrivesAsGivenAndInjectsNothing) {
  QSignalSpy pressed(start, &QAbstractButton::clicked);
  const QString injection =
      "a\"\rhide window \"tvlremote\"\rtell button \"screensharingstart\" of tab view item "
      "\"share\" of tab view \"tvlremotetabs\" of window \"tvlremote\" to perform action\rset "
      "x to \"";
  QSignalSpy shared(remote->findChild<QAbstractButton*>("screensharingstart"),
                    &QAbstractButton::clicked);
  struct Case {
    QString secret, key;
  } cases[] = {{"say \"hi\"", "\"\""},
               {"back\\slash", "\\\\\\"},
               {"line\rbreak\r", "\n\r\n"},
               {injection, "\\\"\rend if"},
               {"", ""}};
  for (const Case& c : cases) {
    application.handleLaunchURL("tovalo:crap:" + c.secret + ":" + c.key);
    EXPECT_EQ(secret->text(), c.secret);
    EXPECT_EQ(key->text(), c.key);
  }
  EXPECT_EQ(pressed.count(), 5);
  EXPECT_EQ(shared.count(), 0);
  EXPECT_TRUE(remote->isVisible());
}

TEST_F(LaunchURL, ShortUrlOnlySwitchesTheTab) {
  secret->setText("kept");
  QSignalSpy pressed(start, &QAbstractButton::clicked);
  application.handleLaunchURL("tovalo:x:onlysecret");
  EXPECT_EQ(tabs->currentIndex(), 1);
  EXPECT_EQ(secret->text(), "kept");
  EXPECT_FALSE(remote->isVisible());
  EXPECT_EQ(pressed.count(), 0);
  EXPECT_TRUE(application.opened.isEmpty());
}

TEST_F(LaunchURL, ForeignUrlsGoToTheDesktopAfterTheTabSwitch) {
  QSignalSpy pressed(start, &QAbstractButton::clicked);
  const QString urls[] = {"Tovalo:x:S:K", "https://example.org/?q=\"a\"\\b", "mailto:a@b"};
  for (const QString& url : urls) {
    tabs->setCurrentIndex(0);
    application.handleLaunchURL(url);
    EXPECT_EQ(tabs->currentIndex(), 1);
  }
  EXPECT_EQ(application.opened, QStringList(std::begin(urls), std::end(urls)));
  EXPECT_EQ(pressed.count(), 0);
  EXPECT_EQ(secret->text(), "");
}

TEST_F(LaunchURL, DisabledStartButtonIsNotPressed) {
  start->setEnabled(false);
  QSignalSpy pressed(start, &QAbstractButton::clicked);
  application.handleLaunchURL("tovalo:x:S:K");
  EXPECT_EQ(key->text(), "K");
  EXPECT_EQ(pressed.count(), 0);
}

}  // namespace

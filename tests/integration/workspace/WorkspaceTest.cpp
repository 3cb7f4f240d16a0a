// Running applications, opening bundles and scripts between real processes on a private
// session bus, with a stand-in application that records what reaches it.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>

#include <filesystem>
#include <fstream>

#include "platform/script/Script.h"
#include "platform/workspace/ApplicationBus.h"
#include "platform/workspace/Workspace.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/QtTestSupport.h"
#include "support/standin/StandInProcess.h"

using namespace tvl;

namespace fs = std::filesystem;
using testsupport::waitFor;

namespace {

bool owned(const QString& name) {
  return testsupport::ownedOnSessionBus(name);
}

QStringList readRecord(const fs::path& file) {
  QFile f(QString::fromStdString(file.string()));
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

// A bundle whose executable is the stand-in.
fs::path makeStandInBundle(const fs::path& at, const std::string& identifier) {
  fs::create_directories(at / "Contents/MacOS");
  std::ofstream(at / "Contents/Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>CFBundleIdentifier</key><string>"
      << identifier
      << "</string><key>CFBundleName</key><string>Mac Tovalo</string>"
         "<key>CFBundleExecutable</key><string>Mac Tovalo</string></dict></plist>\n";
  fs::copy_file(STANDIN_APP, at / "Contents/MacOS/Mac Tovalo");
  return at;
}

class Workspace : public ::testing::Test {
 protected:
  testsupport::TempDir dir;
  fs::path record = dir.path() / "record.txt";
  workspace::SessionBusWorkspace ws;
};

}  // namespace

TEST_F(Workspace, RunningApplicationsAreTheBundleIdentifiersOnTheBus) {
  testsupport::StandInProcess app(record, "com.nrvk.tvl", "Mac Brisca");
  ASSERT_TRUE(app.ready());
  bool listed = false;
  for (auto& a : ws.launchedApplications()) {
    listed = listed || a.bundleIdentifier == "com.nrvk.tvl";
    EXPECT_NE(a.bundleIdentifier.front(), ':');  // unique connection names are no applications
  }
  EXPECT_TRUE(listed);
  EXPECT_EQ(ws.runningApplicationNamed("Mac Brisca"), "com.nrvk.tvl");
  EXPECT_EQ(ws.runningApplicationNamed("Mac Tovalo"), std::nullopt);
  EXPECT_EQ(ws.runningApplicationNamed("mac brisca"), std::nullopt);
}

TEST_F(Workspace, OpeningARunningApplicationActivatesIt) {
  auto bundlePath = makeStandInBundle(dir.path() / "Mac Tovalo.app", "com.nrvk.tvl");
  testsupport::StandInProcess app(record, "com.nrvk.tvl", "Mac Tovalo");
  ASSERT_TRUE(app.ready());
  EXPECT_TRUE(ws.openApplicationAtPath(bundlePath.string()));
  EXPECT_EQ(readRecord(record), (QStringList{"Started", "Activate"}));
}

TEST_F(Workspace, OpeningAnApplicationThatDoesNotRunStartsItsExecutable) {
  auto bundlePath = makeStandInBundle(dir.path() / "Mac Tovalo.app", "com.nrvk.tvl.started");
  qputenv("TVL_STANDIN_RECORD", QByteArray::fromStdString(record.string()));
  ASSERT_FALSE(owned("com.nrvk.tvl.started"));
  EXPECT_TRUE(ws.openApplicationAtPath(bundlePath.string()));
  qunsetenv("TVL_STANDIN_RECORD");
  // Identity from its own Info dictionary: it owns the bundle's identifier.
  ASSERT_TRUE(waitFor([] { return owned("com.nrvk.tvl.started"); }));
  // The stand-in records its start just after it owns the name.
  EXPECT_TRUE(waitFor([&] { return readRecord(record) == QStringList{"Started"}; }))
      << readRecord(record).join(",").toStdString();
  // It is no child of ours: end it by the process id the bus knows for its name.
  auto pid = QDBusConnection::sessionBus().interface()->servicePid("com.nrvk.tvl.started");
  ASSERT_TRUE(pid.isValid());
  ::kill(static_cast<pid_t>(pid.value()), SIGTERM);
}

TEST_F(Workspace, OpeningABrokenBundleFails) {
  EXPECT_FALSE(ws.openApplicationAtPath((dir.path() / "Missing.app").string()));
  auto bundlePath = makeStandInBundle(dir.path() / "Mac Tovalo.app", "com.nrvk.tvl.x");
  fs::remove(bundlePath / "Contents/MacOS/Mac Tovalo");
  EXPECT_FALSE(ws.openApplicationAtPath(bundlePath.string()));
}

TEST_F(Workspace, ASecondOwnerOfTheSameIdentifierIsRefused) {
  testsupport::StandInProcess app(record, "com.nrvk.tvl", "Mac Tovalo");
  ASSERT_TRUE(app.ready());
  workspace::ApplicationBusServer second("com.nrvk.tvl", "Mac Tovalo", {});
  QDBusConnection bus = QDBusConnection::sessionBus();
  EXPECT_FALSE(second.registerOn(bus));
}

TEST(ScriptTarget, FirstStatementNamesTheApplication) {
  using script::targetApplicationName;
  EXPECT_EQ(targetApplicationName("tell application \"Mac Tovalo\"\ractivate\rend tell\r"),
            "Mac Tovalo");
  EXPECT_EQ(targetApplicationName("\n  TELL Application \"Mac Brisca\"\nget x\nend tell"),
            "Mac Brisca");
  EXPECT_EQ(targetApplicationName("activate\rtell application \"Mac Tovalo\"\r"), std::nullopt);
  EXPECT_EQ(targetApplicationName("tell application Mac\r"), std::nullopt);
  EXPECT_EQ(targetApplicationName("tell application \"\"\r"), std::nullopt);
  EXPECT_EQ(targetApplicationName("tell application \"Mac\rTovalo\"\r"), std::nullopt);
  EXPECT_EQ(targetApplicationName("tellapplication \"Mac Tovalo\""), std::nullopt);
}

TEST_F(Workspace, ScriptTextArrivesUnchangedAndItsResultComesBack) {
  testsupport::StandInProcess app(record, "com.nrvk.tvl", "Mac Tovalo",
                                  {"TVL_STANDIN_REPLY_TEXT=true", "TVL_STANDIN_REPLY_ITEMS=0"});
  ASSERT_TRUE(app.ready());
  script::ApplicationScriptRunner runner(ws);
  const std::string source =
      "tell application \"Mac Tovalo\"\rget visible of window \"sharingsheet\"\rend tell\r";
  script::Result r = runner.executeScript(source);
  EXPECT_TRUE(r.ok) << r.errorMessage;
  EXPECT_EQ(r.stringValue, "true");
  EXPECT_EQ(r.numberOfItems, 0);
  EXPECT_EQ(readRecord(record),
            (QStringList{"Started",
                         "ExecuteScript tell application \"Mac Tovalo\"\\rget visible of window "
                         "\"sharingsheet\"\\rend tell\\r"}));
}

TEST_F(Workspace, ScriptErrorsAndListsComeBack) {
  testsupport::StandInProcess failing(record, "com.nrvk.tvl", "Mac Tovalo",
                                      {"TVL_STANDIN_REPLY_ERROR=No window."});
  testsupport::StandInProcess listing(record, "com.nrvk.other", "Other",
                                      {"TVL_STANDIN_REPLY_ITEMS=3"});
  ASSERT_TRUE(failing.ready() && listing.ready());
  script::ApplicationScriptRunner runner(ws);
  script::Result r = runner.executeScript("tell application \"Mac Tovalo\"\rget x\rend tell\r");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.errorNumber, -1728);
  EXPECT_EQ(r.errorMessage, "No window.");
  r = runner.executeScript("tell application \"Other\"\rget every window\rend tell\r");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.numberOfItems, 3);
}

TEST_F(Workspace, ScriptToAnApplicationThatDoesNotRunFailsAndLaunchesNothing) {
  // The bundle exists and could be started; a script must not start it.
  makeStandInBundle(dir.path() / "Mac Tovalo.app", "com.nrvk.tvl");
  testsupport::StandInProcess other(record, "com.nrvk.other", "Other");
  ASSERT_TRUE(other.ready());
  script::ApplicationScriptRunner runner(ws);
  script::Result r = runner.executeScript("tell application \"Mac Tovalo\"\ractivate\rend tell\r");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.errorNumber, script::kErrorApplicationNotRunning);
  QTest::qWait(200);
  EXPECT_FALSE(owned("com.nrvk.tvl"));
  EXPECT_EQ(readRecord(record), QStringList{"Started"});  // the other application got nothing
}

TEST_F(Workspace, BlankScriptSendsNothingAndUntargetedScriptFails) {
  testsupport::StandInProcess app(record, "com.nrvk.tvl", "Mac Tovalo");
  ASSERT_TRUE(app.ready());
  script::ApplicationScriptRunner runner(ws);
  EXPECT_TRUE(runner.executeScript("").ok);
  EXPECT_TRUE(runner.executeScript(" \r\n").ok);
  script::Result r = runner.executeScript("activate\r");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.errorNumber, script::kErrorNoTarget);
  QTest::qWait(100);
  EXPECT_EQ(readRecord(record), QStringList{"Started"});
}

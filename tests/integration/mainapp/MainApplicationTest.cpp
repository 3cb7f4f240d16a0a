// The assembled application on a private session bus: scripts from another process, its
// notifications, launch URLs through the desktop's opener, a second start, the quit.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include "Processes.h"
#include "platform/cf/PropertyList.h"
#include "platform/cf/PropertyListXML.h"
#include "platform/notify/DistributedNotificationCenter.h"
#include "platform/script/Script.h"
#include "platform/workspace/Workspace.h"
#include "support/Polling.h"

using namespace tvl;

using testsupport::waitFor;

namespace {

const QString kStartSharing =
    "tell application \"Mac Tovalo\"\ractivate\rshow window \"tvlremote\"\rhide window "
    "\"mocktail\"\rtell button \"screensharingstart\" of tab view item \"share\" of tab view "
    "\"tvlremotetabs\" of window \"tvlremote\"\rperform action\rend tell\rend tell\r";
const QString kStopSharing =
    "tell application \"Mac Tovalo\"\ractivate\rshow window \"tvlremote\"\rhide window "
    "\"mocktail\"\rtell button \"stopsharingnow\" of window \"sharingsheet\"\rperform "
    "action\rend tell\rend tell\r";
const QString kSharingProbe =
    "tell application \"Mac Tovalo\"\rget visible of window \"sharingsheet\"\rend tell\r";

const QString kSharingStatus =
    "get contents of text field \"sharingstatus\" of window \"sharingsheet\"";

QString field(const char* name) {
  return QString(
             "get contents of text field \"%1\" of tab view item \"control\" of tab view "
             "\"tvlremotetabs\" of window \"tvlremote\"")
      .arg(name);
}

struct Reply {
  bool ok = false;
  QString text;
};

// What the controller does: the product's script client finds the application by the name
// its script tells and sends it the text.
Reply sendScriptAsController(const QString& source) {
  workspace::SessionBusWorkspace workspace;
  script::ApplicationScriptRunner runner(workspace);
  script::Result r = runner.executeScript(source.toStdString());
  return {r.ok, QString::fromStdString(r.stringValue)};
}

// Another process of the session, by hand: the script text over the bus.
Reply sendScript(const QString& source) {
  QDBusInterface app("com.nrvk.tvl", "/Application", "com.nrvk.tvl.Application",
                     QDBusConnection::sessionBus());
  QDBusMessage m = app.call("ExecuteScript", source);
  if (m.type() != QDBusMessage::ReplyMessage || m.arguments().size() != 4) return {};
  return {m.arguments()[0].toBool(), m.arguments()[1].toString()};
}

QString bundleExecutable() {
  return qEnvironmentVariable("TVL_BUILD_DIR") +
         "/Applications/Mac Tovalo.app/Contents/MacOS/Mac Tovalo";
}

class MainApplication : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testsupport::testApplication(); }
  void SetUp() override {
    token = notify::DistributedNotificationCenter::defaultCenter()->addObserver(
        "", "com.nrvk.tvl", [this](const QString& n, const QString&) { posted << n; });
    ASSERT_NE(token, 0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("DISPLAY");  // no desktop: no VNC server either
    app.setProcessEnvironment(env);
    app.setProgram(bundleExecutable());
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    app.start();
    ASSERT_TRUE(app.waitForStarted());
    ASSERT_TRUE(waitFor([] {
      return QDBusConnection::sessionBus().interface()->isServiceRegistered("com.nrvk.tvl");
    }));
    ASSERT_TRUE(waitFor([this] { return posted.contains("com.nrvk.tvl.applicationlaunch"); }));
  }
  void TearDown() override {
    if (app.state() != QProcess::NotRunning) {
      app.kill();
      app.waitForFinished();
    }
    notify::DistributedNotificationCenter::defaultCenter()->removeObserver(token);
  }

  QProcess app;
  QStringList posted;
  int token = 0;
};

TEST_F(MainApplication, SharingByScriptFromAnotherProcess) {
  EXPECT_EQ(sendScriptAsController(kSharingProbe).text, "false");
  ASSERT_TRUE(sendScriptAsController(kStartSharing).ok);
  ASSERT_TRUE(waitFor([this] { return posted.contains("com.nrvk.tvl.sharingstarted"); }));
  // No relay is set up here: the session ends by itself, and the window stays to say why.
  ASSERT_TRUE(waitFor([this] { return posted.contains("com.nrvk.tvl.sharingstopped"); }));
  EXPECT_TRUE(sendScript(kSharingStatus).text.contains("No support relay is set up"));
  Reply probe = sendScriptAsController(kSharingProbe);
  EXPECT_TRUE(probe.ok);
  EXPECT_EQ(probe.text, "true");

  ASSERT_TRUE(sendScriptAsController(kStopSharing).ok);
  ASSERT_TRUE(waitFor([this] { return posted.contains("com.nrvk.tvl.sharingstopped"); }));
  EXPECT_EQ(sendScript(kSharingProbe).text, "false");

  // A script naming a missing object is refused with its error, over the bus too.
  EXPECT_FALSE(sendScript("show window \"nosuch\"").ok);

  // The first start wrote the preferences file with its defaults.
  cf::Ref<cf::Object> prefs = cf::createFromXMLFile(QDir::homePath().toStdString() +
                                                    "/Library/Preferences/com.nrvk.tvl.plist");
  const cf::String* maxtime = cf::stringForKey(cf::as<cf::Dictionary>(prefs.get()), "maxtime");
  ASSERT_TRUE(maxtime);
  EXPECT_EQ(maxtime->str(), "30");

  // Quitting says so.
  app.terminate();
  ASSERT_TRUE(app.waitForFinished());
  EXPECT_EQ(app.exitCode(), 0);
  EXPECT_TRUE(waitFor([this] { return posted.contains("com.nrvk.tvl.applicationquit"); }));
}

TEST_F(MainApplication, LaunchUrlThroughTheDesktopOpener) {
  // Install the handler of the scheme in this session's throwaway data folder. The entry
  // names the program through a link without blanks: the opener's fallback, without a
  // desktop environment, splits Exec at blanks even inside quotes.
  QString applications = qEnvironmentVariable("XDG_DATA_HOME") + "/applications";
  ASSERT_TRUE(QDir().mkpath(applications));
  QString link = applications + "/mac-tovalo";
  ASSERT_TRUE(QFile::link(bundleExecutable(), link));
  QFile entry(applications + "/com.nrvk.tvl.desktop");
  ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
  entry.write("[Desktop Entry]\nType=Application\nName=Mac Tovalo\nExec=" + link.toUtf8() +
              " %u\nMimeType=x-scheme-handler/tovalo;\n");
  entry.close();
  ASSERT_EQ(
      QProcess::execute("xdg-mime", {"default", "com.nrvk.tvl.desktop", "x-scheme-handler/tovalo"}),
      0);

  QProcess opener;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  // The opener hands URLs to scheme handlers only in a graphical session; the name of a
  // display that nobody serves is enough for it, and the application draws offscreen.
  env.insert("WAYLAND_DISPLAY", "tvl-test-no-display");
  opener.setProcessEnvironment(env);
  opener.start("xdg-open", {"tovalo:x:SECRET:KEY"});
  // The opener's start of the application hands the URL over and ends.
  ASSERT_TRUE(opener.waitForFinished(20000));
  EXPECT_EQ(opener.exitCode(), 0);
  ASSERT_TRUE(waitFor([] { return sendScript(field("remotekey")).text == "KEY"; }));
  EXPECT_EQ(sendScript(field("remotesecret")).text, "SECRET");
  // "KEY" is no relay port: the link starts nothing, and the Control tab says why.
  EXPECT_TRUE(
      waitFor([] { return sendScript(field("controlstatus")).text.contains("not valid"); }));
  EXPECT_FALSE(posted.contains("com.nrvk.tvl.sharingstarted"));
  EXPECT_EQ(sendScript("get visible of window \"tvlremote\"").text, "true");
  EXPECT_EQ(testsupport::processesNamed("Mac Tovalo").size(), 1);
  EXPECT_EQ(app.state(), QProcess::Running);
}

}  // namespace

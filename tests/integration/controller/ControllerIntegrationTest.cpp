// The controller with its real services on a private session bus (Qt offscreen):
// notifications from another process, scripts to a stand-in main application process.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>

#include <filesystem>
#include <fstream>

#include "controller/AppController.h"
#include "platform/notify/DistributedNotificationCenter.h"
#include "platform/ui/Application.h"
#include "support/ChildProcess.h"
#include "support/QtTestSupport.h"
#include "support/controller/ControllerHarness.h"
#include "support/controller/InstalledProduct.h"
#include "support/standin/StandInProcess.h"

using namespace tvl;

namespace fs = std::filesystem;
using testsupport::waitFor;

namespace {

bool owned(const QString& name) {
  return testsupport::ownedOnSessionBus(name);
}

void postFromOtherProcess(const QString& name, const QString& object) {
  QProcess::execute("dbus-send", {"--session", "--type=signal", notify::kPath,
                                  QString(notify::kInterface) + "." + notify::kSignal,
                                  "string:" + name, "string:" + object});
}

QStringList readRecord(const fs::path& file) {
  QFile f(QString::fromStdString(file.string()));
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

QString escaped(const std::string& s) {
  return QString::fromStdString(s).replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n");
}

// An installed product: Mac Tovalo.app around the built TVLQC.app, the stand-in as its
// executable.
struct Installed : testsupport::InstalledProduct {
  Installed() : InstalledProduct(STANDIN_APP) {}
};

// A launched controller on the real services.
std::unique_ptr<AppController> launch(const Installed& at, ui::Application& app) {
  AppControllerServices s;
  s.bundle = bundle::Bundle(at.controllerBundle());
  s.notifications = notify::DistributedNotificationCenter::defaultCenter();
  s.application = &app;
  auto c = std::make_unique<AppController>(std::move(s));
  c->awakeFromNib();
  c->applicationDidFinishLaunching();
  return c;
}

}  // namespace

TEST(ControllerOnTheBus, SharingStartedFromAnotherProcessTurnsEntry1IntoStop) {
  Installed at;
  ui::Application app;
  auto c = launch(at, app);
  ui::MenuItem* share = c->statusMenu()->itemAtIndex(1);
  ASSERT_EQ(share->title(), c->localized("sTVLshare"));

  postFromOtherProcess("com.nrvk.tvl.sharingstarted", "com.nrvk.other");
  postFromOtherProcess("com.nrvk.tvl.applicationlaunch", "com.nrvk.tvl");  // a witness
  ASSERT_TRUE(waitFor([&] {
    return c->statusMenu()->itemAtIndex(0)->title() == c->localized("sBringToFrontTVL");
  }));
  EXPECT_FALSE(c->state().sharingState);  // the other object changed nothing
  EXPECT_EQ(share->title(), c->localized("sTVLshare"));

  postFromOtherProcess("com.nrvk.tvl.sharingstarted", "com.nrvk.tvl");
  ASSERT_TRUE(waitFor([&] { return c->state().sharingState; }));
  EXPECT_EQ(share->title(), c->localized("sTVLstop"));
  EXPECT_EQ(share->qAction()->text().toStdString(), c->localized("sTVLstop"));
  EXPECT_EQ(share->action().name, "detachThreadStopTVLsharing");
  EXPECT_TRUE(c->iconCycleRuns());
  EXPECT_EQ(c->statusItem()->toolTip(), c->localized("sTVLSharingToolTip"));

  postFromOtherProcess("com.nrvk.tvl.sharingstopped", "com.nrvk.tvl");
  ASSERT_TRUE(waitFor([&] { return !c->state().sharingState; }));
  EXPECT_EQ(share->title(), c->localized("sTVLshare"));
  EXPECT_FALSE(c->iconCycleRuns());

  // The main application quits: entry 0 offers to launch it again.
  postFromOtherProcess("com.nrvk.tvl.applicationquit", "com.nrvk.tvl");
  ASSERT_TRUE(waitFor(
      [&] { return c->statusMenu()->itemAtIndex(0)->title() == c->localized("sLaunchTVL"); }));
  EXPECT_EQ(c->statusMenu()->itemAtIndex(0)->action().name, "openTVL");
}

TEST(ControllerOnTheBus, StartUpWithTheMainApplicationRunningOffersBringToFront) {
  Installed at;
  testsupport::StandInProcess main(at.record, "com.nrvk.tvl", "Mac Tovalo");
  ASSERT_TRUE(main.ready());
  ui::Application app;
  auto c = launch(at, app);
  EXPECT_EQ(c->statusMenu()->itemAtIndex(0)->title(), c->localized("sBringToFrontTVL"));
  EXPECT_EQ(c->statusMenu()->itemAtIndex(0)->action().name, "detachThreadBringTVLToFront");
}

TEST(ControllerOnTheBus, ChoosingShareSendsTheExactScriptToTheRunningMainApplication) {
  Installed at;
  testsupport::StandInProcess main(at.record, "com.nrvk.tvl", "Mac Tovalo");
  ASSERT_TRUE(main.ready());
  ui::Application app;
  auto c = launch(at, app);
  ASSERT_TRUE(c->statusMenu()->itemAtIndex(1)->qAction()->isEnabled());
  c->statusMenu()->itemAtIndex(1)->qAction()->trigger();  // as a click does
  c->waitForWorkerThreads();
  // Opened first (it runs: brought forward), then the script, unchanged.
  EXPECT_EQ(readRecord(at.record),
            (QStringList{"Started", "Activate",
                         "ExecuteScript " + escaped(AppController::startSharingScript(
                                                AppController::Edition::MacTovalo))}));
  EXPECT_FALSE(c->state().sharingState);  // only the main application's notification tells
}

TEST(ControllerOnTheBus, NothingIsSentOrStartedWhenNoneOwnsTheIdentifier) {
  Installed at;
  // Answers to the right name under an identifier that differs in letter case.
  testsupport::StandInProcess lookalike(at.record, "com.nrvk.TVL", "Mac Tovalo");
  ASSERT_TRUE(lookalike.ready());
  ui::Application app;
  auto c = launch(at, app);
  c->statusMenu()->itemAtIndex(1)->qAction()->trigger();
  c->detachThreadBringTVLToFront();
  c->detachThreadStopTVLsharing();
  c->waitForWorkerThreads();
  QTest::qWait(200);
  EXPECT_EQ(readRecord(at.record), QStringList{"Started"});
  EXPECT_FALSE(owned("com.nrvk.tvl"));  // no launch either
}

TEST(ControllerOnTheBus, ASecondControllerHandsOverToTheRunningOneAndEnds) {
  const QString exe = QString::fromStdString(
      (testsupport::builtControllerBundle() / "Contents/MacOS/TVLQC").string());
  QProcess first;
  first.setProcessChannelMode(QProcess::ForwardedChannels);
  first.start(exe, {});
  ASSERT_TRUE(first.waitForStarted());
  ASSERT_TRUE(waitFor([] { return owned("com.nrvk.tvlqc"); }));
  auto firstPid = QDBusConnection::sessionBus().interface()->servicePid("com.nrvk.tvlqc");

  QProcess second;
  second.setProcessChannelMode(QProcess::ForwardedChannels);
  second.start(exe, {});
  ASSERT_TRUE(second.waitForFinished(30000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  // The first one still runs and still owns the name.
  EXPECT_EQ(first.state(), QProcess::Running);
  EXPECT_EQ(QDBusConnection::sessionBus().interface()->servicePid("com.nrvk.tvlqc").value(),
            firstPid.value());
  first.terminate();
  first.waitForFinished();
}

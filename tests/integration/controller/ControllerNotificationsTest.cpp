// TVLQC's desktop notifications on a real bus (tests/support/with-notification-server).
//
// With a real server (dunst, which records what it shows): sharing started and stopped
// from another process's signal, in each edition's name and icon; the ends of the Auto
// Tovalo waits and a failed privileged request, on the unit harness's clock with the
// real notifications. Without a server, and with one that never answers: the real TVLQC
// process keeps answering on the bus while its notifications go nowhere.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QFile>
#include <QProcess>
#include <QPushButton>

#include <map>
#include <memory>
#include <vector>

#include "controller/AppController.h"
#include "platform/notify/DesktopNotifications.h"
#include "platform/notify/DistributedNotificationCenter.h"
#include "platform/ui/Application.h"
#include "platform/workspace/ApplicationBus.h"
#include "privileged/TVLActionController.h"
#include "privileged/TVLSecureToolCommunication.h"
#include "support/NotificationRecord.h"
#include "support/QtTestSupport.h"
#include "support/controller/ControllerHarness.h"
#include "support/controller/InstalledProduct.h"
#include "support/standin/StandInProcess.h"

using namespace tvl;

namespace fs = std::filesystem;
using testsupport::waitFor;

namespace {

constexpr char kLeopardAgent[] = "/Library/LaunchAgents/com.nrvk.vnc.plist";

void postFromOtherProcess(const QString& name) {
  QProcess::execute("dbus-send", {"--session", "--type=signal", notify::kPath,
                                  QString(notify::kInterface) + "." + notify::kSignal,
                                  "string:" + name, "string:com.nrvk.tvl"});
}

using Shown = testsupport::ShownNotification;

std::vector<Shown> shownByServer() {
  return testsupport::notificationsShownByServer();
}

std::vector<Shown> shownWithSummary(const std::string& summary, const QString& app) {
  std::vector<Shown> found;
  for (auto& s : shownByServer())
    if (s["summary"] == QString::fromStdString(summary) && s["app"] == app) found.push_back(s);
  return found;
}

// Waits until the server has shown one notification with this summary from app; the last.
Shown waitForShown(const std::string& summary, const QString& app) {
  waitFor([&] { return !shownWithSummary(summary, app).empty(); });
  auto found = shownWithSummary(summary, app);
  return found.empty() ? Shown{} : found.back();
}

struct Edition {
  const char* folder;
  QString name, icon;
};
const Edition kEditions[] = {{"Mac Tovalo", "Mac Tovalo", "com.nrvk.tvl"},
                             {"Mac Brisca", "Mac Brisca", "com.nrvk.tvl.brisca"}};

enum class Bubble { New, Replacing };

void expectFromEdition(const Shown& s, const Edition& e, const char* urgency, Bubble bubble) {
  EXPECT_EQ(s.at("app"), e.name);
  EXPECT_EQ(s.at("desktop"), e.icon);
  EXPECT_EQ(s.at("urgency"), urgency);
  // The server found the edition's icon by its name in the hicolor theme. (dunst names no
  // icon file for a notification that replaces another, though its bubble shows the icon:
  // the first of a topic shows it was found.)
  if (bubble == Bubble::New) {
    EXPECT_TRUE(s.at("icon").contains("/icons/hicolor/") &&
                s.at("icon").endsWith("/apps/" + e.icon + ".png"))
        << s.at("icon").toStdString();
  }
}

// The controller on the harness's clock and test doubles, with the real desktop
// notifications, the privileged side on a helper tool that starts or ends the daemon as
// asked, or fails.
struct AutoTovalo {
  explicit AutoTovalo(const std::string& edition) : h(edition + ".app") {
    h.files.insert(kLeopardAgent);  // 10.6.2: the launchd scheme
    TVLSecureToolCommunication::Services ts;
    ts.locateTool = [](uint32_t, cf::Ref<cf::String>* tool) {
      *tool = cf::String::create("/fake/tool");
      return 0;
    };
    ts.executeRequest = [this](const cf::String*, auth::AuthorizationRef,
                               const cf::Dictionary* request, cf::Ref<cf::Dictionary>* response) {
      int32_t task = 0;
      cf::sint32ForKey(request, "task", &task);
      *response = cf::Dictionary::create();
      if (toolFails) {
        (*response)->setValue(TVLSecureToolCommunication::kReturnStringKey,
                              cf::String::create("TVLQC Error: launchctl failed").get());
        return 0;
      }
      if (daemonFollows && task == 7) h.processes.insert("tvld");
      if (daemonFollows && task == 8) h.processes.erase("tvld");
      return 0;
    };
    ts.alert = [this](const std::string& m, auto&, auto&, auto&, auto&) {
      alerts.push_back(m);
      return 1000;
    };
    ts.localized = [](const std::string& e) { return e; };
    ts.activate = [] {};
    communication = std::make_unique<TVLSecureToolCommunication>(ts);
    TVLActionController::Services as;
    as.communication = communication.get();
    as.alert = ts.alert;
    // As TVLQC's main wires it.
    as.requestFailed = [this](const std::string& m) { h.controller->notifyRequestFailed(m); };
    actions = std::make_unique<TVLActionController>(as);

    AppControllerServices s = h.services();
    s.actions = actions.get();
    s.desktopNotifications = &notifications;  // its own: no topic shown before
    h.controller = std::make_unique<AppController>(s);
    c = h.controller.get();
    c->outlets().startStopButton = &button;  // the pane's button, without its window
    c->awakeFromNib();
    c->applicationDidFinishLaunching();
  }
  ~AutoTovalo() { h.controller.reset(); }

  testsupport::Harness h;
  notify::DesktopNotifications notifications;
  QPushButton button{"Start"};
  std::unique_ptr<TVLSecureToolCommunication> communication;
  std::unique_ptr<TVLActionController> actions;
  AppController* c = nullptr;
  bool daemonFollows = true, toolFails = false;
  std::vector<std::string> alerts;
};

// Asks TVLQC's application bus interface for its Name, allowing it ms to answer.
bool tvlqcAnswers(int ms) {
  QDBusMessage get = QDBusMessage::createMethodCall("com.nrvk.tvlqc", workspace::kApplicationPath,
                                                    "org.freedesktop.DBus.Properties", "Get");
  get << QString(workspace::kApplicationInterface) << QString("Name");
  QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, ms);
  return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1 &&
         reply.arguments()[0].value<QDBusVariant>().variant().toString() == "TVLQC";
}

}  // namespace

// --- With a real notification server ----------------------------------------------------

TEST(WithServer, SharingStartedAndStoppedFromAnotherProcessInEachEditionsNameAndIcon) {
  for (const Edition& e : kEditions) {
    SCOPED_TRACE(e.folder);
    testsupport::InstalledProduct at(STANDIN_APP, e.folder);
    ui::Application app;
    AppControllerServices s;
    s.bundle = bundle::Bundle(at.controllerBundle());
    s.notifications = notify::DistributedNotificationCenter::defaultCenter();
    notify::DesktopNotifications notifications;  // its own: no topic shown before
    s.desktopNotifications = &notifications;
    s.application = &app;
    AppController c(std::move(s));
    c.awakeFromNib();
    c.applicationDidFinishLaunching();

    // Twice: the second is ignored by the controller, and so not told.
    postFromOtherProcess("com.nrvk.tvl.sharingstarted");
    postFromOtherProcess("com.nrvk.tvl.sharingstarted");
    Shown started = waitForShown(c.localized("sSharingStartedNotification"), e.name);
    ASSERT_FALSE(started.empty());
    EXPECT_TRUE(c.state().sharingState);
    EXPECT_EQ(started["summary"], "Screen sharing started");
    EXPECT_EQ(started["body"].toStdString(), c.localized("sSharingStartedNotificationText"));
    expectFromEdition(started, e, "NORMAL", Bubble::New);
    // The server's answer, with the bubble's id, is in.
    ASSERT_TRUE(waitFor([&] { return notifications.pendingCalls() == 0; }));

    postFromOtherProcess("com.nrvk.tvl.sharingstopped");
    Shown stopped = waitForShown(c.localized("sSharingStoppedNotification"), e.name);
    ASSERT_FALSE(stopped.empty());
    EXPECT_EQ(stopped["summary"], "Screen sharing stopped");
    EXPECT_EQ(stopped["body"].toStdString(), c.localized("sSharingStoppedNotificationText"));
    expectFromEdition(stopped, e, "NORMAL", Bubble::Replacing);
    // It took the place of the "started" bubble.
    EXPECT_EQ(stopped["id"], started["id"]);

    // A stop without a session changes nothing, and tells nothing.
    postFromOtherProcess("com.nrvk.tvl.sharingstopped");
    postFromOtherProcess("com.nrvk.tvl.applicationlaunch");  // a witness that both arrived
    ASSERT_TRUE(waitFor([&] {
      return c.statusMenu()->itemAtIndex(0)->title() != c.localized("sLaunchTVL") &&
             c.statusMenu()->itemAtIndex(0)->title() != c.localized("sLaunchMBX");
    }));
    QTest::qWait(500);  // what the server would show has been shown by now
    EXPECT_EQ(shownWithSummary(c.localized("sSharingStartedNotification"), e.name).size(), 1u);
    EXPECT_EQ(shownWithSummary(c.localized("sSharingStoppedNotification"), e.name).size(), 1u);
  }
}

TEST(WithServer, AutoTovaloStartedAndStoppedWhenTheWaitEndsWithTheDaemonUpOrGone) {
  AutoTovalo t("Mac Tovalo");
  const Edition& e = kEditions[0];
  t.c->changeAutoTovaloStatus(&t.button);
  ASSERT_EQ(t.h.processes.count("tvld"), 1u);
  t.h.clock.advance(1.9);
  QTest::qWait(300);
  EXPECT_TRUE(shownWithSummary("Auto Tovalo started", e.name).empty());  // not before the end
  t.h.clock.advance(0.1);
  ASSERT_EQ(t.button.text(), "Stop");
  Shown started = waitForShown(t.c->localized("sAutoTovaloStartedNotification"), e.name);
  ASSERT_FALSE(started.empty());
  EXPECT_EQ(started["summary"], "Auto Tovalo started");
  EXPECT_EQ(started["body"].toStdString(), t.c->localized("sAutoTovaloStartedNotificationText"));
  expectFromEdition(started, e, "NORMAL", Bubble::New);

  t.c->changeAutoTovaloStatus(&t.button);  // Stop
  t.h.clock.advance(1.0);
  ASSERT_EQ(t.button.text(), "Start");
  Shown stopped = waitForShown(t.c->localized("sAutoTovaloStoppedNotification"), e.name);
  ASSERT_FALSE(stopped.empty());
  EXPECT_EQ(stopped["summary"], "Auto Tovalo stopped");
  EXPECT_EQ(stopped["body"].toStdString(), t.c->localized("sAutoTovaloStoppedNotificationText"));
  expectFromEdition(stopped, e, "NORMAL", Bubble::Replacing);
  EXPECT_TRUE(t.alerts.empty());
}

TEST(WithServer, ADaemonThatDoesNotStartOrStopWithinTheBoundIsToldAsCritical) {
  AutoTovalo t("Mac Brisca");
  const Edition& e = kEditions[1];
  t.daemonFollows = false;
  t.c->changeAutoTovaloStatus(&t.button);
  t.h.clock.advance(58);
  QTest::qWait(300);
  EXPECT_TRUE(shownWithSummary("Auto Tovalo did not start", e.name).empty());
  t.h.clock.advance(4);
  ASSERT_EQ(t.button.text(), "Start");  // offers the same again: the wait has ended
  Shown notStarted = waitForShown(t.c->localized("sAutoTovaloDidNotStartNotification"), e.name);
  ASSERT_FALSE(notStarted.empty());
  EXPECT_EQ(notStarted["summary"], "Auto Tovalo did not start");
  EXPECT_EQ(notStarted["body"].toStdString(),
            t.c->localized("sAutoTovaloDidNotStartNotificationText"));
  expectFromEdition(notStarted, e, "CRITICAL", Bubble::New);

  t.h.processes.insert("tvld");
  t.button.setText("Stop");
  t.c->changeAutoTovaloStatus(&t.button);
  t.h.clock.advance(62);
  ASSERT_EQ(t.button.text(), "Stop");
  Shown notStopped = waitForShown(t.c->localized("sAutoTovaloDidNotStopNotification"), e.name);
  ASSERT_FALSE(notStopped.empty());
  EXPECT_EQ(notStopped["summary"], "Auto Tovalo did not stop");
  expectFromEdition(notStopped, e, "CRITICAL", Bubble::Replacing);
  // Neither was started nor stopped.
  EXPECT_TRUE(shownWithSummary("Auto Tovalo started", e.name).empty());
  EXPECT_TRUE(shownWithSummary("Auto Tovalo stopped", e.name).empty());
}

TEST(WithServer, AFailedRequestIsToldBesideItsAlert) {
  AutoTovalo t("Mac Tovalo");
  const Edition& e = kEditions[0];
  t.toolFails = true;
  t.c->changeAutoTovaloStatus(&t.button);
  // The action's alert is still shown, and the notification says the same.
  ASSERT_EQ(t.alerts.size(), 1u);
  EXPECT_EQ(t.alerts[0],
            "An unknown error occurred when trying to load-leopard /Library/LaunchDaemons");
  Shown failed = waitForShown(t.c->localized("sRequestFailedNotification"), e.name);
  ASSERT_FALSE(failed.empty());
  EXPECT_EQ(failed["summary"], "Auto Tovalo could not be switched");
  EXPECT_EQ(failed["body"].toStdString(), t.alerts[0]);
  expectFromEdition(failed, e, "CRITICAL", Bubble::New);
}

// --- Without a server, and with one that never answers: the real TVLQC process -------------

TEST(NoAnswer, TheControllerKeepsAnsweringWhileItsNotificationsGoNowhere) {
  testsupport::InstalledProduct at(STANDIN_APP);
  // An independent client watches what TVLQC asks of the notification service.
  QProcess monitor;
  monitor.start("dbus-monitor",
                {"--session", "type='method_call',interface='org.freedesktop.Notifications'"});
  ASSERT_TRUE(monitor.waitForStarted());
  QTest::qWait(300);  // its match rule is in place

  QProcess tvlqc;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  tvlqc.setProcessEnvironment(env);
  tvlqc.start(QString::fromStdString(at.controllerExecutable()), {});
  ASSERT_TRUE(tvlqc.waitForStarted());
  ASSERT_TRUE(waitFor([] { return testsupport::ownedOnSessionBus("com.nrvk.tvlqc"); }));
  ASSERT_TRUE(tvlqcAnswers(5000));

  QByteArray seen;
  auto notifyCalls = [&] {
    seen += monitor.readAllStandardOutput();
    return seen.count("member=Notify");
  };
  // No server: each call is answered (with an error) at once, so each notification leaves.
  // A server that never answers: the first call waits, and the later ones of its topic
  // wait for its answer instead of piling up.
  const bool mute = qEnvironmentVariable("TVL_NOTIFICATIONS_SERVER") == "mute";
  for (int i = 0; i < 3; ++i) {
    postFromOtherProcess("com.nrvk.tvl.sharingstarted");
    if (!mute || i == 0) {
      ASSERT_TRUE(waitFor([&] { return notifyCalls() == (mute ? 1 : 2 * i + 1); }));
    } else {
      QTest::qWait(200);
    }
    // A call that waited for the server would keep TVLQC from answering for up to 25 s.
    EXPECT_TRUE(tvlqcAnswers(2000)) << "after sharing started, round " << i;
    postFromOtherProcess("com.nrvk.tvl.sharingstopped");
    if (!mute) {
      ASSERT_TRUE(waitFor([&] { return notifyCalls() == 2 * i + 2; }));
    } else {
      QTest::qWait(200);
    }
    EXPECT_TRUE(tvlqcAnswers(2000)) << "after sharing stopped, round " << i;
  }
  if (mute) {
    EXPECT_EQ(notifyCalls(), 1);
  }
  EXPECT_TRUE(seen.contains("string \"Screen sharing started\"")) << seen.toStdString();
  EXPECT_TRUE(seen.contains("string \"com.nrvk.tvl\"")) << seen.toStdString();
  EXPECT_EQ(tvlqc.state(), QProcess::Running);

  tvlqc.terminate();
  ASSERT_TRUE(tvlqc.waitForFinished(10000));
  // Nothing said about the notifications that went nowhere.
  const QByteArray err = tvlqc.readAllStandardError();
  EXPECT_FALSE(err.contains("Notif")) << err.toStdString();
  monitor.kill();
  monitor.waitForFinished();
}

// Desktop notifications on a real bus (tests/support/with-notification-server): with a real
// server (dunst, started by the bus as on a desktop, recording what it shows), with none,
// and with one that the bus starts but that never answers. One binary; each ctest run
// picks its part by --gtest_filter.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/notify/DesktopNotifications.h"
#include "support/NotificationRecord.h"
#include "support/Polling.h"

using namespace tvl;

using testsupport::waitFor;

using notify::DesktopNotification;
using notify::DesktopNotifications;
using notify::Urgency;

namespace {

// What the real server showed, from its record (one block of key=value lines each).
using Shown = testsupport::ShownNotification;

// What the server had shown before the test began (a test's mark).
size_t gShownBefore = 0;

std::vector<Shown> shownByServer() {
  std::vector<Shown> all = testsupport::notificationsShownByServer();
  all.erase(all.begin(), all.begin() + std::min(gShownBefore, all.size()));
  return all;
}

// Each test sees only what the server showed during it.
class WithServer : public ::testing::Test {
 protected:
  void SetUp() override {
    gShownBefore = 0;
    gShownBefore = shownByServer().size();
  }
};

struct Answer {
  uint id = 0;
  QString error;
};

// Sends n and waits for the server's answer.
std::optional<Answer> send(DesktopNotifications& notifications, const DesktopNotification& n) {
  std::optional<Answer> answer;
  auto c = QObject::connect(&notifications, &DesktopNotifications::answered,
                            [&](uint id, const QString& error) {
                              answer = Answer{id, error};
                            });
  notifications.notify(n);
  waitFor([&] { return answer.has_value(); }, 30000);
  QObject::disconnect(c);
  return answer;
}

DesktopNotification tovalo(const QString& summary, const QString& topic = {}) {
  DesktopNotification n;
  n.applicationName = "Mac Tovalo";
  n.iconName = "com.nrvk.tvl";
  n.summary = summary;
  n.body = "Body of " + summary;
  n.topic = topic;
  return n;
}

// Qt's warnings while a test runs: a failure that is "loud" prints one.
QStringList* gMessages = nullptr;
void collect(QtMsgType, const QMessageLogContext&, const QString& text) {
  if (gMessages) gMessages->push_back(text);
}
struct CollectQtMessages {
  QStringList messages;
  QtMessageHandler previous;
  CollectQtMessages() : previous(qInstallMessageHandler(collect)) { gMessages = &messages; }
  ~CollectQtMessages() {
    gMessages = nullptr;
    qInstallMessageHandler(previous);
  }
};

}  // namespace

// --- With a real server (dunst) -------------------------------------------------------

TEST_F(WithServer, TheServerShowsNameIconTextsAndUrgencyOfEachEdition) {
  DesktopNotifications notifications;
  DesktopNotification a = tovalo("Screen sharing started");
  DesktopNotification b;
  b.applicationName = "Mac Brisca";
  b.iconName = "com.nrvk.tvl.brisca";
  b.summary = "Auto Tovalo did not start";
  b.body = "Ünïcode & <b>markup</b> \"quoted\"";
  b.urgency = Urgency::Critical;

  auto first = send(notifications, a);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->error, "");
  EXPECT_NE(first->id, 0u);
  auto second = send(notifications, b);
  ASSERT_TRUE(second);
  EXPECT_NE(second->id, first->id);

  ASSERT_TRUE(waitFor([] { return shownByServer().size() == 2; }));
  std::vector<Shown> shown = shownByServer();
  // dunst may run its record scripts in either order.
  if (shown[0]["app"] != "Mac Tovalo") std::swap(shown[0], shown[1]);
  EXPECT_EQ(shown[0]["app"], "Mac Tovalo");
  EXPECT_EQ(shown[0]["summary"], "Screen sharing started");
  EXPECT_EQ(shown[0]["body"], "Body of Screen sharing started");
  EXPECT_EQ(shown[0]["urgency"], "NORMAL");
  EXPECT_EQ(shown[0]["desktop"], "com.nrvk.tvl");
  EXPECT_EQ(shown[0]["id"], QString::number(first->id));
  // The server found the edition's icon in the hicolor theme by its name.
  EXPECT_TRUE(
      shown[0]["icon"].contains(QRegularExpression("/icons/hicolor/[0-9]+x[0-9]+/apps/"
                                                   "com\\.nrvk\\.tvl\\.png$")))
      << shown[0]["icon"].toStdString();

  EXPECT_EQ(shown[1]["app"], "Mac Brisca");
  EXPECT_EQ(shown[1]["summary"], "Auto Tovalo did not start");
  EXPECT_EQ(shown[1]["urgency"], "CRITICAL");
  EXPECT_EQ(shown[1]["desktop"], "com.nrvk.tvl.brisca");
  EXPECT_TRUE(shown[1]["icon"].endsWith("/apps/com.nrvk.tvl.brisca.png"))
      << shown[1]["icon"].toStdString();
  // The text arrives as it was given (dunst shows markup of its own choosing; the bytes
  // that crossed the bus are the same).
  EXPECT_TRUE(shown[1]["body"].startsWith("Ünïcode &")) << shown[1]["body"].toStdString();
}

TEST_F(WithServer, ANotificationOfTheSameTopicTakesThePlaceOfTheOneShown) {
  DesktopNotifications notifications;
  auto started = send(notifications, tovalo("started", "sharing"));
  ASSERT_TRUE(started && started->id != 0);
  auto other = send(notifications, tovalo("other topic", "supporter"));
  auto untagged = send(notifications, tovalo("no topic"));
  auto stopped = send(notifications, tovalo("stopped", "sharing"));
  ASSERT_TRUE(other && untagged && stopped);
  // The server replaced the bubble: the same id, and it shows one bubble for the topic.
  EXPECT_EQ(stopped->id, started->id);
  EXPECT_NE(other->id, started->id);
  EXPECT_NE(untagged->id, started->id);
  EXPECT_NE(untagged->id, other->id);
  ASSERT_TRUE(waitFor([] { return shownByServer().size() == 4; }));
  QStringList summariesOfTheSharingBubble;
  for (auto& s : shownByServer())
    if (s["id"] == QString::number(started->id)) summariesOfTheSharingBubble << s["summary"];
  summariesOfTheSharingBubble.sort();
  EXPECT_EQ(summariesOfTheSharingBubble, (QStringList{"started", "stopped"}));
}

TEST_F(WithServer, AFloodOfOneTopicHasOneCallOnItsWayAndShowsTheNewest) {
  DesktopNotifications notifications;
  int answers = 0;
  QObject::connect(&notifications, &DesktopNotifications::answered, [&] { ++answers; });
  for (const char* s : {"first", "second", "third"}) notifications.notify(tovalo(s, "flood"));
  EXPECT_EQ(notifications.pendingCalls(), 1);
  // The first went out; "third" took the place of "second" while it waited.
  ASSERT_TRUE(waitFor([&] { return answers == 2 && notifications.pendingCalls() == 0; }));
  QTest::qWait(300);
  EXPECT_EQ(answers, 2);
  ASSERT_TRUE(waitFor([] { return shownByServer().size() == 2; }));
  std::vector<Shown> shown = shownByServer();
  QStringList summaries{shown[0]["summary"], shown[1]["summary"]};
  summaries.sort();
  EXPECT_EQ(summaries, (QStringList{"first", "third"}));
  EXPECT_EQ(shown[0]["id"], shown[1]["id"]);  // one bubble
  // dunst names no icon file for a notification that replaces another (its bubble shows
  // the icon all the same): the first one's is checked.
  EXPECT_TRUE(shown[0]["icon"].endsWith("/apps/com.nrvk.tvl.png") ||
              shown[1]["icon"].endsWith("/apps/com.nrvk.tvl.png"));
}

// --- Without a server -------------------------------------------------------------------

TEST(NoServer, TheCallReturnsAtOnceAndItsErrorIsDroppedQuietly) {
  CollectQtMessages qt;
  DesktopNotifications notifications;
  std::optional<Answer> answer;
  QObject::connect(&notifications, &DesktopNotifications::answered,
                   [&](uint id, const QString& error) {
                     answer = Answer{id, error};
                   });
  notifications.notify(tovalo("nobody listens"));
  // Sent, not answered yet: the answer comes through the event loop, never inside notify.
  EXPECT_FALSE(answer);
  EXPECT_EQ(notifications.pendingCalls(), 1);
  ASSERT_TRUE(waitFor([&] { return answer.has_value(); }));
  EXPECT_EQ(answer->id, 0u);
  EXPECT_EQ(answer->error, "org.freedesktop.DBus.Error.ServiceUnknown");
  EXPECT_EQ(notifications.pendingCalls(), 0);
  EXPECT_TRUE(qt.messages.isEmpty()) << qt.messages.join('\n').toStdString();
}

TEST(NoServer, WithoutABusAtAllNothingBreaks) {
  CollectQtMessages qt;
  QDBusConnection none = QDBusConnection::connectToBus("unix:path=/nonexistent/bus", "nobus");
  ASSERT_FALSE(none.isConnected());
  {
    DesktopNotifications notifications(none);
    std::optional<Answer> answer;
    QObject::connect(&notifications, &DesktopNotifications::answered,
                     [&](uint id, const QString& error) {
                       answer = Answer{id, error};
                     });
    notifications.notify(tovalo("no bus", "sharing"));
    ASSERT_TRUE(waitFor([&] { return answer.has_value(); }));
    EXPECT_EQ(answer->id, 0u);
    EXPECT_FALSE(answer->error.isEmpty());
  }
  QDBusConnection::disconnectFromBus("nobus");
  for (const QString& m : qt.messages)  // Qt's own note about the failed connection only
    EXPECT_FALSE(m.contains("Notif")) << m.toStdString();
}

// --- A server that the bus starts but that never answers ---------------------------------

TEST(MuteServer, NothingWaitsForIt) {
  DesktopNotifications notifications;
  std::optional<Answer> answer;
  QObject::connect(&notifications, &DesktopNotifications::answered,
                   [&](uint id, const QString& error) {
                     answer = Answer{id, error};
                   });
  // The event loop's own timer: it ticks only while nothing blocks the thread.
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(20);
  for (int i = 0; i < 5; ++i) notifications.notify(tovalo("into the void"));
  // Of one topic, one call at a time: the others wait for its answer.
  for (int i = 0; i < 3; ++i) notifications.notify(tovalo("sharing", "sharing"));
  EXPECT_EQ(notifications.pendingCalls(), 6);
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 2000) QTest::qWait(10);
  // Two seconds on, the calls still wait for the bus to start the server, and the thread
  // went on all the while.
  EXPECT_FALSE(answer);
  EXPECT_EQ(notifications.pendingCalls(), 6);
  EXPECT_GE(ticks, 20);
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

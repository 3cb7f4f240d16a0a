// Notifications travel between real processes on a private session bus.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTest>

#include "platform/notify/DistributedNotificationCenter.h"
#include "support/Polling.h"

using namespace tvl;

using testsupport::waitFor;

using notify::DistributedNotificationCenter;

namespace {

struct Received {
  QStringList names, objects;
};

// Posts with an independent client, so the test does not check us against ourselves.
void postFromOtherProcess(const QString& name, const QString& object) {
  QProcess::execute("dbus-send", {"--session", "--type=signal", notify::kPath,
                                  QString(notify::kInterface) + "." + notify::kSignal,
                                  "string:" + name, "string:" + object});
}

TEST(DistributedNotificationCenter, ObserverGetsOnlyItsNameAndObject) {
  auto* center = DistributedNotificationCenter::defaultCenter();
  Received got;
  int token = center->addObserver("com.nrvk.tvl.sharingstarted", "com.nrvk.tvl",
                                  [&](const QString& n, const QString& o) {
                                    got.names << n;
                                    got.objects << o;
                                  });
  ASSERT_NE(token, 0);
  postFromOtherProcess("com.nrvk.tvl.sharingstarted", "com.other");
  postFromOtherProcess("com.nrvk.tvl.sharingstopped", "com.nrvk.tvl");
  postFromOtherProcess("com.nrvk.tvl.sharingstarted", "com.nrvk.tvl");
  ASSERT_TRUE(waitFor([&] { return !got.names.isEmpty(); }));
  QTest::qWait(100);  // anything wrongly delivered would have arrived by now
  EXPECT_EQ(got.names, QStringList{"com.nrvk.tvl.sharingstarted"});
  EXPECT_EQ(got.objects, QStringList{"com.nrvk.tvl"});
  center->removeObserver(token);
}

TEST(DistributedNotificationCenter, PostReachesAnotherProcess) {
  // dbus-monitor is the other process: it prints what crossed the bus.
  QProcess monitor;
  monitor.start("dbus-monitor",
                {"--session", QString("type='signal',interface='") + notify::kInterface + "'"});
  ASSERT_TRUE(monitor.waitForStarted());
  QTest::qWait(300);  // let it register its match rule
  ASSERT_TRUE(DistributedNotificationCenter::defaultCenter()->postNotificationName(
      "com.nrvk.tvl.applicationlaunch", "com.nrvk.tvl"));
  QByteArray out;
  waitFor([&] {
    out += monitor.readAllStandardOutput();
    return out.contains("com.nrvk.tvl.applicationlaunch");
  });
  monitor.kill();
  monitor.waitForFinished();
  EXPECT_TRUE(out.contains("string \"com.nrvk.tvl.applicationlaunch\""));
  EXPECT_TRUE(out.contains("string \"com.nrvk.tvl\""));
}

TEST(DistributedNotificationCenter, RemovedObserverHearsNothing) {
  auto* center = DistributedNotificationCenter::defaultCenter();
  int calls = 0;
  int token = center->addObserver("x.removed", "", [&](auto&, auto&) { ++calls; });
  center->removeObserver(token);
  int other = 0;
  int witness = center->addObserver("x.witness", "", [&](auto&, auto&) { ++other; });
  postFromOtherProcess("x.removed", "any");
  postFromOtherProcess("x.witness", "any");
  ASSERT_TRUE(waitFor([&] { return other > 0; }));
  EXPECT_EQ(calls, 0);
  center->removeObserver(witness);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

// The status item over a long session: a session, or an Auto Tovalo connection, keeps the
// icon changing for hours. Thousands of sharing started/stopped notifications (each one
// changes the icon) must not keep growing TVLQC's memory, on an XEmbed tray (trayer) and on
// a StatusNotifierItem host (a watcher on the test's session bus, which Qt then uses).
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>

#include <fstream>

#include "e2e/controller/TrayDesktop.h"
#include "platform/notify/DistributedNotificationCenter.h"

using namespace tvl;

using namespace traydesktop;

namespace {

// The smallest StatusNotifierWatcher with a host: enough for Qt to show its item there.
class Watcher : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
  Q_PROPERTY(int ProtocolVersion READ protocolVersion)

 public:
  QStringList items() const { return items_; }
  bool hostRegistered() const { return true; }
  int protocolVersion() const { return 0; }

 public slots:
  void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
    // Qt gives its object path; the item is its sender's.
    items_ << (service.startsWith('/') ? message.service() + service : service);
  }
  void RegisterStatusNotifierHost(const QString&) {}

 private:
  QStringList items_;
};

long rssKilobytes(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

class Soak : public Desktop {
 protected:
  void SetUp() override {
    Desktop::SetUp();
    static int argc = 1;
    static char name[] = "controller_soak";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) app_ = std::make_unique<QCoreApplication>(argc, argv);
  }

  // Posts pairs of sharing started and stopped, each pair one change of the icon and its
  // tool tip, and waits for the controller to have handled each pair: its repaint is queued
  // before the answer, so every change is drawn, as when the icon blinks.
  void shareAndStop(int pairs) {
    auto* centre = notify::DistributedNotificationCenter::defaultCenter();
    QDBusMessage ping = QDBusMessage::createMethodCall("com.nrvk.tvlqc", "/Application",
                                                       "org.freedesktop.DBus.Properties", "Get");
    ping << "com.nrvk.tvl.Application"
         << "Name";
    for (int i = 0; i < pairs; ++i) {
      centre->postNotificationName("com.nrvk.tvl.sharingstarted", "com.nrvk.tvl");
      centre->postNotificationName("com.nrvk.tvl.sharingstopped", "com.nrvk.tvl");
      QDBusMessage reply = QDBusConnection::sessionBus().call(ping, QDBus::BlockWithGui);
      ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    }
  }

  // Memory after a first run of changes (caches fill) and after a second, as long.
  void expectFlatMemory(pid_t pid) {
    shareAndStop(1500);
    const long warm = rssKilobytes(pid);
    shareAndStop(3000);
    const long after = rssKilobytes(pid);
    ASSERT_GT(warm, 0);
    std::printf("TVLQC resident: %ld KB after the first changes, %ld KB after 3000 more\n", warm,
                after);
    RecordProperty("rss_kb_warm", std::to_string(warm));
    RecordProperty("rss_kb_after_3000_more", std::to_string(after));
    // A leak of even a few hundred bytes a change shows as megabytes here.
    EXPECT_LT(after - warm, 1024) << "TVLQC grew from " << warm << " KB to " << after
                                  << " KB over 3000 changes of its icon";
  }

  fs::path controller() const {
    return applications() / "Mac Tovalo.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC";
  }

  std::unique_ptr<QCoreApplication> app_;
};

}  // namespace

TEST_F(Soak, IconChangesDoNotGrowMemoryOnAnXEmbedTray) {
  Process tvlqc({controller().string()});
  ASSERT_TRUE(tvlqc.started());
  ASSERT_TRUE(eventually([] { return iconShowing("#1F6FB5"); })) << "no icon in the tray";
  expectFlatMemory(tvlqc.pid());
}

TEST_F(Soak, IconChangesDoNotGrowMemoryOnAStatusNotifierHost) {
  Watcher watcher;
  QDBusConnection bus = QDBusConnection::sessionBus();
  ASSERT_TRUE(
      bus.registerObject("/StatusNotifierWatcher", &watcher,
                         QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties));
  ASSERT_TRUE(bus.registerService("org.kde.StatusNotifierWatcher"));

  Process tvlqc({controller().string()});
  ASSERT_TRUE(tvlqc.started());
  // The item registers with the watcher; the controller asks it a question first, so the
  // test's own loop must answer meanwhile.
  ASSERT_TRUE(eventually([&] {
    QCoreApplication::processEvents();
    return !watcher.items().isEmpty();
  })) << "the controller's item never registered with the watcher";
  expectFlatMemory(tvlqc.pid());
  bus.unregisterService("org.kde.StatusNotifierWatcher");
}

#include "TraySoakTest.moc"

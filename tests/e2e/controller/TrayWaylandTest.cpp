// The assembled TVLQC on a wlroots Wayland desktop (headless sway, tests/support/with-sway)
// whose status tray is a StatusNotifierItem host: this test is the host's watcher on the
// session bus, as swaybar or a desktop panel is. Its menu, driven over D-Bus the way the
// host drives it, shares the screen: Mac Tovalo starts wayvnc as "OSXvncserver" and the
// tunnel to the relay of the wrapper (with-relay).
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>

#include "integration/mainapp/Processes.h"

namespace {

const QString kBuild = qEnvironmentVariable("TVL_BUILD_DIR");
const QString kController =
    kBuild + "/Applications/Mac Tovalo.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC";

// The host's side of the StatusNotifierItem protocol: items register here.
class Watcher : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
  Q_PROPERTY(int ProtocolVersion READ protocolVersion)

 public:
  QStringList items() const { return items_; }
  bool hostRegistered() const { return true; }
  int protocolVersion() const { return 0; }
  // The item's bus name (it may register with its object path only).
  QString itemService() const { return services_.isEmpty() ? QString() : services_.first(); }

 public slots:
  void RegisterStatusNotifierItem(const QString& service) {
    services_ << message().service();
    items_ << (service.startsWith('/') ? message().service() + service : service);
  }
  void RegisterStatusNotifierHost(const QString&) {}

 signals:
  void StatusNotifierItemRegistered(const QString& item);
  void StatusNotifierHostRegistered();

 private:
  QStringList items_, services_;
};

QString gdbus(const QStringList& arguments) {
  QProcess p;
  p.start("gdbus", QStringList{"call", "--session"} + arguments);
  p.waitForFinished();
  return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
}

}  // namespace

TEST(TrayWayland, TheStatusMenuOverDBusSharesTheScreenWithWayvnc) {
  Watcher watcher;
  QDBusConnection bus = QDBusConnection::sessionBus();
  ASSERT_TRUE(
      bus.registerObject("/StatusNotifierWatcher", &watcher, QDBusConnection::ExportAllContents));
  ASSERT_TRUE(bus.registerService("org.kde.StatusNotifierWatcher"));

  // The organisation's relay settings, as an installation provides them.
  const QString config = qEnvironmentVariable("XDG_CONFIG_HOME") + "/tovalo";
  ASSERT_TRUE(QDir().mkpath(config));
  QFile::remove(config + "/relay.conf");
  ASSERT_TRUE(
      QFile::copy(qEnvironmentVariable("TVL_RELAY_DIR") + "/relay.conf", config + "/relay.conf"));

  QProcess controller;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "wayland");  // this program's own is offscreen
  controller.setProcessEnvironment(environment);
  controller.setProcessChannelMode(QProcess::ForwardedChannels);
  controller.start(kController);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !watcher.itemService().isEmpty(); }, 15000))
      << "TVLQC registered no StatusNotifierItem";

  // The menu as the host reads it, and its entry chosen as the host chooses it.
  const QString item = watcher.itemService();
  const QString properties =
      gdbus({"-d", item, "-o", "/StatusNotifierItem", "-m", "org.freedesktop.DBus.Properties.Get",
             "org.kde.StatusNotifierItem", "Menu"});
  const QString menu = QRegularExpression(R"('(/[^']*)')").match(properties).captured(1);
  ASSERT_FALSE(menu.isEmpty()) << properties.toStdString();
  // Chooses the entry with that label, as the host does when the user clicks it.
  auto choose = [&](const QString& label) {
    QString id, layout;
    const QRegularExpression entry(R"(\((\d+), \{[^{}]*'label': <')" +
                                   QRegularExpression::escape(label) + "'>");
    bool found = QTest::qWaitFor(
        [&] {
          layout = gdbus({"-d", item, "-o", menu, "-m", "com.canonical.dbusmenu.GetLayout", "--",
                          "0", "-1", "[\"label\"]"});
          id = entry.match(layout).captured(1);
          return !id.isEmpty();
        },
        5000);
    EXPECT_TRUE(found) << label.toStdString() << " not in " << layout.left(600).toStdString();
    gdbus({"-d", item, "-o", menu, "-m", "com.canonical.dbusmenu.Event", "--", id, "clicked", "<0>",
           "0"});
    return found;
  };
  ASSERT_TRUE(choose("Launch Mac Tovalo"));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return bus.interface()->isServiceRegistered("com.nrvk.tvl").value(); }, 20000))
      << "Mac Tovalo did not start";
  ASSERT_TRUE(choose("Share My Screen"));

  // Mac Tovalo starts and shares this desktop with wayvnc, under the name the cover knows.
  QList<int> servers;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return (servers = testsupport::processesNamed("OSXvncserver")).size() == 1; }, 30000))
      << "no VNC server after Share My Screen";
  EXPECT_EQ(QFileInfo("/proc/" + QString::number(servers[0]) + "/exe").canonicalFilePath(),
            QFileInfo("/usr/bin/wayvnc").canonicalFilePath());
  EXPECT_TRUE(QTest::qWaitFor([] { return !testsupport::processesNamed("ssh").isEmpty(); }, 5000))
      << "no tunnel";
  EXPECT_TRUE(QTest::qWaitFor(
      [] { return !testsupport::processesNamed("tvl-cover-layer").isEmpty(); }, 10000))
      << "no cover";
  controller.kill();
  controller.waitForFinished();
}

#include "TrayWaylandTest.moc"

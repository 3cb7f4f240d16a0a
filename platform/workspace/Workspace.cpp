#include "platform/workspace/Workspace.h"

#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QProcess>

#include <utility>

#include "platform/bundle/Bundle.h"
#include "platform/workspace/ApplicationBus.h"

namespace tvl::workspace {

namespace {

QStringList wellKnownNames(QDBusConnection& bus) {
  QStringList names;
  if (!bus.isConnected()) return names;
  auto reply = bus.interface()->registeredServiceNames();
  if (!reply.isValid()) return names;
  for (const QString& n : reply.value())
    if (!n.startsWith(':') && n != QLatin1String("org.freedesktop.DBus")) names << n;
  return names;
}

// A call that never starts a service: a name that has gone away stays gone.
QDBusMessage call(const QString& service, const QString& interface, const QString& method) {
  QDBusMessage m = QDBusMessage::createMethodCall(service, kApplicationPath, interface, method);
  m.setAutoStartService(false);
  return m;
}

}  // namespace

std::vector<RunningApplication> SessionBusWorkspace::launchedApplications() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  std::vector<RunningApplication> apps;
  for (const QString& n : wellKnownNames(bus)) apps.push_back({n.toStdString()});
  return apps;
}

std::optional<std::string> SessionBusWorkspace::runningApplicationNamed(const std::string& name) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  // Ask every owner at once, then collect: one slow service costs one timeout, not many.
  std::vector<std::pair<QString, QDBusPendingCall>> pending;
  for (const QString& n : wellKnownNames(bus)) {
    QDBusMessage get =
        call(n, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QString(kApplicationInterface) << QString(kNameProperty);
    pending.emplace_back(n, bus.asyncCall(get, kCallTimeoutMs));
  }
  std::optional<std::string> found;
  for (auto& [service, p] : pending) {
    QDBusPendingReply<QDBusVariant> reply(p);
    reply.waitForFinished();
    if (!found && reply.isValid() &&
        reply.value().variant().toString() == QString::fromStdString(name))
      found = service.toStdString();
  }
  return found;
}

bool SessionBusWorkspace::openApplicationAtPath(const std::string& bundlePath) {
  bundle::Bundle app(bundlePath);
  QString identifier = QString::fromStdString(app.stringForInfoDictionaryKey("CFBundleIdentifier"));
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!identifier.isEmpty() && bus.isConnected()) {
    auto owned = bus.interface()->isServiceRegistered(identifier);
    if (owned.isValid() && owned.value()) {
      QDBusMessage reply = bus.call(call(identifier, kApplicationInterface, kActivateMethod),
                                    QDBus::Block, kCallTimeoutMs);
      return reply.type() == QDBusMessage::ReplyMessage;
    }
  }
  std::string executable = app.stringForInfoDictionaryKey("CFBundleExecutable");
  std::string path = app.pathForAuxiliaryExecutable(executable);
  if (path.empty() || ::access(path.c_str(), X_OK) != 0) return false;
  // Detached: the application outlives us and is never our child to reap.
  return QProcess::startDetached(QString::fromStdString(path), {}, QStringLiteral("/"));
}

}  // namespace tvl::workspace

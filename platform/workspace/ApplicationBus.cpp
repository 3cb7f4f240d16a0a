#include "platform/workspace/ApplicationBus.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>

namespace tvl::workspace {

// Exposes the server's handlers under the interface's names.
class ApplicationAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.nrvk.tvl.Application")
  Q_PROPERTY(QString Name READ name)

 public:
  explicit ApplicationAdaptor(ApplicationBusServer* server)
      : QDBusAbstractAdaptor(server), server_(server) {}
  QString name() const { return server_->name(); }

 public slots:
  void Activate() {
    if (server_->handlers().activate) server_->handlers().activate();
  }
  bool ExecuteScript(const QString& source, QString& text, int& items, QVariantMap& errorInfo) {
    ScriptReply reply;
    if (server_->handlers().executeScript) {
      reply = server_->handlers().executeScript(source);
    } else {
      reply.ok = false;
      reply.errorInfo = {
          {kErrorNumberKey, -1708},
          {kErrorMessageKey, QStringLiteral("The application doesn't run scripts.")}};
    }
    text = reply.text;
    items = reply.items;
    errorInfo = reply.errorInfo;
    return reply.ok;
  }
  void OpenLocation(const QString& url) {
    if (server_->handlers().openLocation) server_->handlers().openLocation(url);
  }

 private:
  ApplicationBusServer* server_;
};

// org.freedesktop.Application, as desktops call it: the platform data (start-up
// notification ids, activation tokens) is not used.
class FreedesktopApplication : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

 public:
  explicit FreedesktopApplication(ApplicationBusServer* server)
      : QObject(server), server_(server) {}

 public slots:
  void Activate(const QVariantMap&) {
    if (server_->handlers().activate) server_->handlers().activate();
  }
  void Open(const QStringList& uris, const QVariantMap&) {
    if (!server_->handlers().openLocation) return;
    for (const QString& uri : uris) server_->handlers().openLocation(uri);
  }
  void ActivateAction(const QString& name, const QVariantList&, const QVariantMap&) {
    sendErrorReply(QDBusError::InvalidArgs,
                   QStringLiteral("%1 has no action \"%2\"").arg(server_->name(), name));
  }

 private:
  ApplicationBusServer* server_;
};

QString freedesktopApplicationPath(const QString& busName) {
  QString path = busName;
  path.replace('.', '/').replace('-', '_');
  return '/' + path;
}

ApplicationBusServer::ApplicationBusServer(const QString& bundleIdentifier, const QString& name,
                                           ApplicationHandlers handlers, QObject* parent)
    : QObject(parent),
      bundleIdentifier_(bundleIdentifier),
      name_(name),
      handlers_(std::move(handlers)),
      freedesktop_(new FreedesktopApplication(this)) {
  new ApplicationAdaptor(this);  // owned by this object
}

ApplicationBusServer::~ApplicationBusServer() {
  if (registeredOn_.isEmpty()) return;
  QDBusConnection bus(registeredOn_);
  bus.unregisterService(bundleIdentifier_);
  bus.unregisterObject(kApplicationPath);
  bus.unregisterObject(freedesktopApplicationPath(bundleIdentifier_));
}

bool ApplicationBusServer::registerOn(QDBusConnection& bus) {
  if (!bus.isConnected()) return false;
  if (!bus.registerObject(kApplicationPath, this)) return false;
  // Both objects are there before the name: a desktop that started the application for a
  // call sends it as soon as the name is taken.
  const QString freedesktopPath = freedesktopApplicationPath(bundleIdentifier_);
  if (!bus.registerObject(freedesktopPath, freedesktop_, QDBusConnection::ExportAllSlots)) {
    bus.unregisterObject(kApplicationPath);
    return false;
  }
  // Not queued: a second instance must learn at once that the name is taken.
  auto reply = bus.interface()->registerService(bundleIdentifier_,
                                                QDBusConnectionInterface::DontQueueService,
                                                QDBusConnectionInterface::DontAllowReplacement);
  if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
    bus.unregisterObject(kApplicationPath);
    bus.unregisterObject(freedesktopPath);
    return false;
  }
  registeredOn_ = bus.name();
  return true;
}

}  // namespace tvl::workspace

#include "ApplicationBus.moc"

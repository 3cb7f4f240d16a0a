#include "platform/workspace/ApplicationBus.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>

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

ApplicationBusServer::ApplicationBusServer(const QString& bundleIdentifier, const QString& name,
                                           ApplicationHandlers handlers, QObject* parent)
    : QObject(parent),
      bundleIdentifier_(bundleIdentifier),
      name_(name),
      handlers_(std::move(handlers)) {
  new ApplicationAdaptor(this);  // owned by this object
}

ApplicationBusServer::~ApplicationBusServer() {
  if (registeredOn_.isEmpty()) return;
  QDBusConnection bus(registeredOn_);
  bus.unregisterService(bundleIdentifier_);
  bus.unregisterObject(kApplicationPath);
}

bool ApplicationBusServer::registerOn(QDBusConnection& bus) {
  if (!bus.isConnected()) return false;
  if (!bus.registerObject(kApplicationPath, this)) return false;
  // Not queued: a second instance must learn at once that the name is taken.
  auto reply = bus.interface()->registerService(bundleIdentifier_,
                                                QDBusConnectionInterface::DontQueueService,
                                                QDBusConnectionInterface::DontAllowReplacement);
  if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
    bus.unregisterObject(kApplicationPath);
    return false;
  }
  registeredOn_ = bus.name();
  return true;
}

}  // namespace tvl::workspace

#include "ApplicationBus.moc"

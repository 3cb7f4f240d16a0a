#include "platform/script/ApplicationServer.h"

#include <QDBusConnectionInterface>

namespace script {

ApplicationServer::ApplicationServer(ScriptHost& host,
                                     std::function<void(const QString&)> openLocation,
                                     QObject* parent)
    : QObject(parent), host_(host), openLocation_(std::move(openLocation)) {}

bool ApplicationServer::registerOn(QDBusConnection bus, const QString& busName) {
  if (!bus.isConnected()) return false;
  if (!bus.registerObject(kApplicationObjectPath, this,
                          QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties))
    return false;
  // The name comes last: once a client sees it, the object answers.
  if (!bus.registerService(busName)) {
    bus.unregisterObject(kApplicationObjectPath);
    return false;
  }
  return true;
}

void ApplicationServer::Activate() {
  host_.activate();
}

bool ApplicationServer::ExecuteScript(const QString& source, QString& text, int& items,
                                      QVariantMap& errorInfo) {
  ScriptResult r = executeScript(source, host_);
  text = r.text;
  items = r.items;
  errorInfo = r.errorInfo;
  return r.ok;
}

void ApplicationServer::OpenLocation(const QString& url) {
  if (openLocation_) openLocation_(url);
}

}  // namespace script

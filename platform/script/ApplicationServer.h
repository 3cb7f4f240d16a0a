// The server side of the application bus interface that every application of the product
// offers on the session bus: under its bundle identifier, object /Application, interface
// com.nrvk.tvl.Application with Activate(), ExecuteScript(s) -> (b, s, i, a{sv}),
// OpenLocation(s) and the property Name. Scripts sent to the application run here, in the
// application's main thread, through the script interpreter.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

#include "platform/script/ScriptInterpreter.h"

namespace script {

inline constexpr char kApplicationObjectPath[] = "/Application";
inline constexpr char kApplicationInterfaceName[] = "com.nrvk.tvl.Application";

class ApplicationServer : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.nrvk.tvl.Application")
  Q_PROPERTY(QString Name READ name)

 public:
  // host runs the scripts and answers Activate; openLocation receives the URLs.
  ApplicationServer(ScriptHost& host, std::function<void(const QString& url)> openLocation,
                    QObject* parent = nullptr);

  // Exports the object on bus and claims busName. False when the bus is unreachable or
  // another process already holds the name (the application runs already).
  bool registerOn(QDBusConnection bus, const QString& busName);

  QString name() const { return host_.applicationName(); }

 public slots:
  void Activate();
  bool ExecuteScript(const QString& source, QString& text, int& items, QVariantMap& errorInfo);
  void OpenLocation(const QString& url);

 private:
  ScriptHost& host_;
  std::function<void(const QString&)> openLocation_;
};

}  // namespace script

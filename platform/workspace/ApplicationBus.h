// The application bus interface: every application of the product owns, on the session
// bus, the well-known name that is its bundle identifier ("com.nrvk.tvl", "com.nrvk.tvlqc")
// and serves this object there:
//
//   object    /Application
//   interface com.nrvk.tvl.Application
//     Activate()                                  bring the application to the front
//     ExecuteScript(s source) -> (b ok, s text, i items, a{sv} errorInfo)
//                                                 run a script text unchanged; its result
//                                                 text, its item count (0 unless a list),
//                                                 and on failure ok false and errorInfo
//                                                 with kErrorNumberKey and kErrorMessageKey
//     OpenLocation(s url)                         handle a URL of the application's scheme
//     property Name (s, read)                     the application's name, e.g. "Mac Tovalo"
//
// and, for the desktops that start applications and hand them URLs over the bus (desktop
// entries with DBusActivatable=true), the freedesktop application interface on the object
// path made of the bus name ("/com/nrvk/tvl"):
//
//   interface org.freedesktop.Application
//     Activate(a{sv} platform_data)               as Activate above
//     Open(as uris, a{sv} platform_data)          OpenLocation for each URL, in order
//     ActivateAction(s name, av parameter, a{sv} platform_data)
//                                                 the applications have no actions: an
//                                                 error reply
#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

class QDBusConnection;

namespace tvl::workspace {

inline constexpr char kApplicationPath[] = "/Application";
inline constexpr char kApplicationInterface[] = "com.nrvk.tvl.Application";
inline constexpr char kActivateMethod[] = "Activate";
inline constexpr char kExecuteScriptMethod[] = "ExecuteScript";
inline constexpr char kOpenLocationMethod[] = "OpenLocation";
inline constexpr char kNameProperty[] = "Name";
inline constexpr char kFreedesktopApplicationInterface[] = "org.freedesktop.Application";

// The object path of the freedesktop interface for a bus name: "com.nrvk.tvl" ->
// "/com/nrvk/tvl" (dots become slashes, dashes underscores).
QString freedesktopApplicationPath(const QString& busName);

// Keys of errorInfo: an int and a string.
inline constexpr char kErrorNumberKey[] = "ErrorNumber";
inline constexpr char kErrorMessageKey[] = "ErrorMessage";

// What ExecuteScript answers.
struct ScriptReply {
  bool ok = true;
  QString text;
  int items = 0;
  QVariantMap errorInfo;
};

// The serving side, for an application that offers the interface. Handlers run on the
// thread of the object (the main thread); a missing handler makes the call a no-op
// (ExecuteScript: an error reply).
struct ApplicationHandlers {
  std::function<void()> activate;
  std::function<ScriptReply(const QString& source)> executeScript;
  std::function<void(const QString& url)> openLocation;
};

class ApplicationBusServer : public QObject {
  Q_OBJECT
 public:
  ApplicationBusServer(const QString& bundleIdentifier, const QString& name,
                       ApplicationHandlers handlers, QObject* parent = nullptr);
  ~ApplicationBusServer() override;

  // Exports /Application and takes the well-known name. False when the bus is unreachable
  // or another process owns the name already.
  bool registerOn(QDBusConnection& bus);

  const QString& bundleIdentifier() const { return bundleIdentifier_; }
  const QString& name() const { return name_; }
  const ApplicationHandlers& handlers() const { return handlers_; }

 private:
  QString bundleIdentifier_, name_;
  ApplicationHandlers handlers_;
  QString registeredOn_;  // the connection's name once registered
  QObject* freedesktop_;  // the object that serves org.freedesktop.Application
};

}  // namespace tvl::workspace

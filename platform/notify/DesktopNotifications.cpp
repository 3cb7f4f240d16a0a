#include "platform/notify/DesktopNotifications.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace tvl::notify {

DesktopNotifications::DesktopNotifications(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {}

DesktopNotifications* DesktopNotifications::defaultNotifications() {
  // Parented to the application so it goes away with it.
  static DesktopNotifications* notifications =
      new DesktopNotifications(QDBusConnection::sessionBus(), QCoreApplication::instance());
  return notifications;
}

void DesktopNotifications::notify(const DesktopNotification& n) {
  if (n.topic.isEmpty()) {
    send(n, 0);
    return;
  }
  Topic& topic = topics_[n.topic];
  if (topic.onItsWay) {
    topic.waiting = n;
    return;
  }
  topic.onItsWay = true;
  send(n, topic.shownId);
}

void DesktopNotifications::send(const DesktopNotification& n, uint replaces) {
  QDBusMessage call = QDBusMessage::createMethodCall(kNotificationsService, kNotificationsPath,
                                                     kNotificationsInterface, kNotifyMethod);
  QVariantMap hints;
  hints.insert("urgency", QVariant::fromValue(static_cast<uchar>(n.urgency)));
  if (!n.iconName.isEmpty()) hints.insert("desktop-entry", n.iconName);
  // Notify(s app_name, u replaces_id, s app_icon, s summary, s body, as actions,
  //        a{sv} hints, i expire_timeout); -1: the server's own display time.
  call << n.applicationName << replaces << n.iconName << n.summary << n.body << QStringList()
       << hints << int(-1);
  // The bus may start a server for the call (D-Bus activation), as a desktop expects.
  call.setAutoStartService(true);

  ++pending_;
  if (!bus_.isConnected()) {
    // No bus at all: Qt answers such a call at once and tells no watcher; the answer comes
    // through the event loop all the same, as every other answer does.
    QMetaObject::invokeMethod(
        this,
        [this, topic = n.topic] {
          --pending_;
          emit answered(0, "org.freedesktop.DBus.Error.Disconnected");
          if (!topic.isEmpty()) answeredFor(topic, 0);
        },
        Qt::QueuedConnection);
    return;
  }
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMilliseconds), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, topic = n.topic] {
    watcher->deleteLater();
    --pending_;
    QDBusPendingReply<uint> reply = *watcher;
    // An error (no server, or none that answered in time) means the notification is not
    // shown; what it said is the caller's to show elsewhere when it matters.
    const uint id = reply.isError() ? 0 : reply.value();
    emit answered(id, reply.isError() ? reply.error().name() : QString());
    if (!topic.isEmpty()) answeredFor(topic, id);
  });
}

void DesktopNotifications::answeredFor(const QString& name, uint id) {
  auto it = topics_.find(name);
  if (it == topics_.end()) return;
  Topic& topic = it->second;
  topic.onItsWay = false;
  if (id != 0) topic.shownId = id;
  if (topic.waiting) {
    DesktopNotification next = std::move(*topic.waiting);
    topic.waiting.reset();
    notify(next);
  }
}

}  // namespace tvl::notify

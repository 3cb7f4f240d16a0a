// Desktop notifications: the freedesktop notification service on the session bus
// (org.freedesktop.Notifications), which the desktop shows as a bubble or a banner.
//
// Sending never waits. The call goes out at once and its answer is taken when it comes,
// on the thread of the object (the main thread). When no server listens and none can be
// started, the bus answers with an error, which is dropped: nothing is shown, nothing hangs
// and nothing is printed. A server that the bus starts but that never answers costs one
// pending call until the call's timeout, nothing else.
//
// Notifications of one topic replace each other: a new one takes the place of the
// topic's bubble still on screen (the server's id of the last one), and while the topic's
// call is on its way, the newest one of the topic waits for its answer (an older one
// waiting is dropped). So a topic has at most one call on its way, and a flood of
// notifications costs one bubble, not a pile of them or of pending calls.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <map>
#include <optional>

namespace tvl::notify {

inline constexpr char kNotificationsService[] = "org.freedesktop.Notifications";
inline constexpr char kNotificationsPath[] = "/org/freedesktop/Notifications";
inline constexpr char kNotificationsInterface[] = "org.freedesktop.Notifications";
inline constexpr char kNotifyMethod[] = "Notify";

// The freedesktop notification protocol's urgency levels (hint "urgency", a byte).
// Servers keep a critical notification on screen until the user closes it.
enum class Urgency : unsigned char { Low = 0, Normal = 1, Critical = 2 };

struct DesktopNotification {
  // Who tells: the application's name as the user knows it ("Mac Tovalo"), and its icon's
  // name in the icon theme ("com.nrvk.tvl"), which is also the base name of the
  // application's desktop entry (hint "desktop-entry").
  QString applicationName;
  QString iconName;
  // What it says: a title, and a line or two of plain text.
  QString summary;
  QString body;
  Urgency urgency = Urgency::Normal;
  // Notifications of the same non-empty topic replace each other on screen: a "stopped"
  // takes the place of the "started" that is still shown, instead of piling up. Empty:
  // each notification is a bubble of its own.
  QString topic;
};

class DesktopNotifications : public QObject {
  Q_OBJECT
 public:
  // A call gets this long for its answer (a server the bus is still starting included).
  static constexpr int kCallTimeoutMilliseconds = 25000;

  explicit DesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus(),
                                QObject* parent = nullptr);

  // The process's notifications, on the session bus. Needs a QCoreApplication; goes away
  // with it.
  static DesktopNotifications* defaultNotifications();

  // Sends the notification, or for a topic whose call is on its way, keeps it to send
  // when the answer comes; returns at once. Call on the object's thread.
  void notify(const DesktopNotification& notification);

  // Calls sent whose answer has not come yet.
  int pendingCalls() const { return pending_; }

 signals:
  // A call's answer: the server's id for the notification, or 0 and the bus's error name
  // (no server, a timeout, ...).
  void answered(uint id, const QString& error);

 private:
  void send(const DesktopNotification& notification, uint replaces);
  void answeredFor(const QString& topic, uint id);

  struct Topic {
    uint shownId = 0;       // the server's id of the topic's last bubble; 0: none
    bool onItsWay = false;  // a call of the topic waits for its answer
    std::optional<DesktopNotification> waiting;  // the newest one sent after it
  };

  QDBusConnection bus_;
  int pending_ = 0;
  std::map<QString, Topic> topics_;
};

}  // namespace tvl::notify

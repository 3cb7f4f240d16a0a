// Notifications between the product's processes, on the D-Bus session bus: a
// notification is the signal Post(name, object) on /DistributedNotification, interface
// com.nrvk.tvl.DistributedNotificationCenter. Posting sends at once; every process of
// the session that observes the name and object receives it, the poster included.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <map>

namespace tvl::notify {

inline constexpr char kPath[] = "/DistributedNotification";
inline constexpr char kInterface[] = "com.nrvk.tvl.DistributedNotificationCenter";
inline constexpr char kSignal[] = "Post";

class DistributedNotificationCenter : public QObject {
  Q_OBJECT
 public:
  using Handler = std::function<void(const QString& name, const QString& object)>;

  // The process's centre, on the session bus. Needs a QCoreApplication.
  static DistributedNotificationCenter* defaultCenter();

  // Sends the notification now. False when there is no session bus to send it on.
  bool postNotificationName(const QString& name, const QString& object);

  // Calls handler on the thread of the centre (the main thread) for each notification
  // whose name and object equal the given ones; an empty name or object matches any.
  // Returns a token for removeObserver. False-y token 0 when the bus is unreachable.
  int addObserver(const QString& name, const QString& object, Handler handler);
  void removeObserver(int token);

 private slots:
  void receive(const QString& name, const QString& object);

 private:
  DistributedNotificationCenter() = default;
  bool listening_ = false;
  int nextToken_ = 1;
  struct Observer {
    QString name, object;
    Handler handler;
  };
  std::map<int, Observer> observers_;
};

}  // namespace tvl::notify

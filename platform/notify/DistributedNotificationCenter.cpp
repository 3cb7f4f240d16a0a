#include "platform/notify/DistributedNotificationCenter.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>

#include <vector>

namespace tvl::notify {

DistributedNotificationCenter* DistributedNotificationCenter::defaultCenter() {
  // Parented to the application so it goes away with it.
  static DistributedNotificationCenter* center = [] {
    auto* c = new DistributedNotificationCenter();
    c->setParent(QCoreApplication::instance());
    return c;
  }();
  return center;
}

bool DistributedNotificationCenter::postNotificationName(const QString& name,
                                                         const QString& object) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, kSignal);
  signal << name << object;
  // Qt's bus thread sends it at once; a poster that exits right after still delivers.
  return bus.send(signal);
}

int DistributedNotificationCenter::addObserver(const QString& name, const QString& object,
                                               Handler handler) {
  if (!listening_) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return 0;
    listening_ =
        bus.connect(QString(), kPath, kInterface, kSignal, this, SLOT(receive(QString, QString)));
    if (!listening_) return 0;
  }
  int token = nextToken_++;
  observers_.emplace(token, Observer{name, object, std::move(handler)});
  return token;
}

void DistributedNotificationCenter::removeObserver(int token) {
  observers_.erase(token);
}

void DistributedNotificationCenter::receive(const QString& name, const QString& object) {
  // A handler may add or remove observers: call from a snapshot.
  std::vector<Handler> matching;
  for (auto& [token, o] : observers_)
    if ((o.name.isEmpty() || o.name == name) && (o.object.isEmpty() || o.object == object))
      matching.push_back(o.handler);
  for (auto& h : matching) h(name, object);
}

}  // namespace tvl::notify

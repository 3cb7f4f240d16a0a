// What the notification server of tests/support/with-notification-server showed: its
// record file (TVL_NOTIFICATIONS_RECORD) holds one block of key=value lines per
// notification (app, summary, body, icon, urgency, desktop, id), each ended by "---".
#pragma once

#include <QFile>
#include <QString>

#include <map>
#include <vector>

namespace testsupport {

using ShownNotification = std::map<QString, QString>;

inline std::vector<ShownNotification> notificationsShownByServer() {
  std::vector<ShownNotification> all;
  QFile f(qEnvironmentVariable("TVL_NOTIFICATIONS_RECORD"));
  if (!f.open(QIODevice::ReadOnly)) return all;
  ShownNotification one;
  for (const QString& line : QString::fromUtf8(f.readAll()).split('\n')) {
    if (line == "---") {
      all.push_back(one);
      one.clear();
    } else if (int eq = line.indexOf('='); eq > 0) {
      one[line.left(eq)] = line.mid(eq + 1);
    }
  }
  return all;
}

}  // namespace testsupport

// Processes by command name, from /proc.
#pragma once

#include <sys/wait.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>

#include <memory>

namespace testsupport {

// The test program's application object, made by tests/support/QtTestMain.cpp.
inline QApplication* testApplication() {
  return qApp;
}

// The live processes whose command name is name. Exited children of this process (which
// is the namespace's first process and inherits every orphan) are reaped on the way.
inline QList<int> processesNamed(const QString& name) {
  QList<int> pids;
  for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
    bool ok = false;
    int pid = entry.toInt(&ok);
    if (!ok) continue;
    QFile stat("/proc/" + entry + "/stat");
    if (!stat.open(QIODevice::ReadOnly)) continue;
    QString text = QString::fromLocal8Bit(stat.readAll());
    qsizetype open = text.indexOf('('), close = text.lastIndexOf(')');
    if (open < 0 || close < open || text.mid(open + 1, close - open - 1) != name) continue;
    if (text.mid(close + 2, 1) == "Z") {
      ::waitpid(pid, nullptr, WNOHANG);
      continue;
    }
    pids << pid;
  }
  return pids;
}

}  // namespace testsupport

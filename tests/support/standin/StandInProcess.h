// Runs the stand-in application (tests/support/standin) as a separate process that owns
// `identifier` on the session bus, answers to `name`, and records what it receives in the
// file `record`. Needs STANDIN_APP (the stand-in's path) defined by the test target.
#pragma once

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>

#include <filesystem>

#include "support/QtTestSupport.h"

namespace testsupport {

// True when some process owns name on the session bus.
inline bool ownedOnSessionBus(const QString& name) {
  auto r = QDBusConnection::sessionBus().interface()->isServiceRegistered(name);
  return r.isValid() && r.value();
}

class StandInProcess {
 public:
  StandInProcess(const std::filesystem::path& record, const QString& identifier,
                 const QString& name, const QStringList& extraEnv = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TVL_STANDIN_RECORD", QString::fromStdString(record.string()));
    env.insert("TVL_STANDIN_IDENTIFIER", identifier);
    env.insert("TVL_STANDIN_NAME", name);
    for (const QString& kv : extraEnv) env.insert(kv.section('=', 0, 0), kv.section('=', 1));
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::ForwardedChannels);
    process_.start(STANDIN_APP, {});
    ready_ = process_.waitForStarted() && waitFor([&] { return ownedOnSessionBus(identifier); });
  }
  ~StandInProcess() {
    process_.kill();
    process_.waitForFinished();
  }
  bool ready() const { return ready_; }

 private:
  QProcess process_;
  bool ready_ = false;
};

}  // namespace testsupport

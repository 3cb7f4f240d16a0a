// What the desktop cover's watch asks of the machine and does to it. LiveSystem is the
// real one (process lookup on /proc, the shell utilities, the session bus, the Qt event
// loop); tests put a controllable one in its place.
#pragma once

#include <sys/types.h>

#include <QString>

#include <chrono>
#include <functional>
#include <string>

namespace tvl::cover {

class System {
 public:
  virtual ~System() = default;

  virtual pid_t GetPIDForProcessName(const char* name) = 0;
  virtual uid_t getUIDForPID(pid_t pid) = 0;
  virtual bool runningStateForApplication(const std::string& name) = 0;
  // Whether a process of this user (effective id) has exactly this command name.
  virtual bool isOwnProcessRunning(const char* name) = 0;
  // Removes the session folders this user's sessions left behind.
  virtual void removeSessionFolders() = 0;
  virtual std::string returnPIDForProcess(const std::string& text) = 0;
  // Runs the command through /bin/sh -c and waits for it; its outcome is ignored.
  virtual void doShellWithCommandNoReturn(const std::string& command) = 0;
  virtual void postDistributedNotification(const QString& name, const QString& object) = 0;
  // Asks the application to quit: the event loop ends and the termination hooks run.
  virtual void terminate() = 0;
  // Calls tick every interval from now on, the first time one interval from now, until
  // the process ends.
  virtual void scheduleRepeating(std::chrono::milliseconds interval,
                                 std::function<void()> tick) = 0;
};

class LiveSystem : public System {
 public:
  pid_t GetPIDForProcessName(const char* name) override;
  uid_t getUIDForPID(pid_t pid) override;
  bool runningStateForApplication(const std::string& name) override;
  bool isOwnProcessRunning(const char* name) override;
  void removeSessionFolders() override;
  std::string returnPIDForProcess(const std::string& text) override;
  void doShellWithCommandNoReturn(const std::string& command) override;
  void postDistributedNotification(const QString& name, const QString& object) override;
  void terminate() override;
  void scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> tick) override;
};

// Runs /bin/sh -c command and waits until it has ended; the exit status is ignored.
// Its standard output is discarded (an unread pipe would block a talkative command for
// ever); standard error stays the caller's.
void doShellWithCommandNoReturn(const std::string& command);

}  // namespace tvl::cover

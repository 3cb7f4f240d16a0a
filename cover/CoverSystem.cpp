#include "cover/CoverSystem.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>

#include <cerrno>

#include "common/SessionFolders.h"
#include "common/ShellUtilities.h"
#include "cover/ProcessLookup.h"
#include "platform/notify/DistributedNotificationCenter.h"

extern char** environ;

namespace tvl::cover {

void doShellWithCommandNoReturn(const std::string& command) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = -1;
  int spawned =
      ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return;
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

pid_t LiveSystem::GetPIDForProcessName(const char* name) {
  return tvl::GetPIDForProcessName(name);
}

uid_t LiveSystem::getUIDForPID(pid_t pid) {
  return tvl::getUIDForPID(pid);
}

bool LiveSystem::runningStateForApplication(const std::string& name) {
  return common::runningStateForApplication(name);
}

bool LiveSystem::isOwnProcessRunning(const char* name) {
  pid_t pids[256];
  unsigned int count = 0;
  const int result = GetAllPIDsForProcessName(name, pids, 256, &count, nullptr);
  if (result != kProcessLookupFound && result != kProcessLookupTooMany) return false;
  for (unsigned int i = 0; i < count; ++i)
    if (tvl::getUIDForPID(pids[i]) == ::geteuid()) return true;
  return false;
}

void LiveSystem::removeSessionFolders() {
  common::removeSessionFolders(common::sessionFolderBase());
}

std::string LiveSystem::returnPIDForProcess(const std::string& text) {
  return common::returnPIDForProcess(text);
}

void LiveSystem::doShellWithCommandNoReturn(const std::string& command) {
  cover::doShellWithCommandNoReturn(command);
}

void LiveSystem::postDistributedNotification(const QString& name, const QString& object) {
  notify::DistributedNotificationCenter::defaultCenter()->postNotificationName(name, object);
}

void LiveSystem::terminate() {
  QCoreApplication::quit();
}

void LiveSystem::scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> tick) {
  // Lives with the application, like a timer that is never invalidated.
  auto* timer = new QTimer(QCoreApplication::instance());
  timer->setInterval(interval);
  QObject::connect(timer, &QTimer::timeout, std::move(tick));
  timer->start();
}

}  // namespace tvl::cover

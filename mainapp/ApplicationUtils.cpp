#include "mainapp/ApplicationUtils.h"

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextStream>

#include <vector>

#include "platform/notify/DistributedNotificationCenter.h"

namespace tvl::mainapp {

int osVersionNumberFromWord(int32_t word) {
  // Formatting the nibble with %x and reading it back as a decimal number turns a-f into 0.
  int nibble = (word >> 4) & 0xF;
  return nibble <= 9 ? nibble : 0;
}

namespace {

struct PasswordEntry {
  QString name, gecos;
};

PasswordEntry currentUser() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found)
    return {qEnvironmentVariable("USER"), {}};
  return {QString::fromLocal8Bit(pw.pw_name), QString::fromLocal8Bit(pw.pw_gecos)};
}

}  // namespace

QString shortUserName() {
  return currentUser().name;
}

QString fullUserName() {
  PasswordEntry user = currentUser();
  QString full = user.gecos.section(',', 0, 0).trimmed();
  return full.isEmpty() ? user.name : full;
}

QString desktopEntryExecutable(const QString& exec) {
  // The first word; a quoted word keeps its blanks and has \" \` \$ \\ escaped.
  QString word;
  qsizetype i = 0;
  while (i < exec.size() && exec[i] == ' ') ++i;
  if (i < exec.size() && exec[i] == '"') {
    for (++i; i < exec.size() && exec[i] != '"'; ++i) {
      if (exec[i] == '\\' && i + 1 < exec.size()) ++i;
      word += exec[i];
    }
  } else {
    while (i < exec.size() && exec[i] != ' ') word += exec[i++];
  }
  return word;
}

QString bundlePathForExecutable(const QString& executablePath) {
  QString folder = QFileInfo(executablePath).absolutePath();
  const QString inBundle = "/Contents/MacOS";
  if (folder.endsWith(inBundle) && folder.size() > inBundle.size())
    return folder.left(folder.size() - inBundle.size());
  return folder;
}

QString applicationPathForIdentifier(const QString& identifier) {
  if (identifier.isEmpty() || identifier.contains('/') || identifier.startsWith('.'))
    return kNotFound;
  const QStringList folders =
      QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
  for (const QString& folder : folders) {
    QFile file(folder + "/applications/" + identifier + ".desktop");
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) continue;
    QTextStream in(&file);
    bool inEntry = false;
    while (!in.atEnd()) {
      QString line = in.readLine().trimmed();
      if (line.startsWith('[')) inEntry = line == "[Desktop Entry]";
      if (!inEntry || !line.startsWith("Exec=")) continue;
      QString executable = desktopEntryExecutable(line.mid(5));
      if (!QFileInfo(executable).isAbsolute()) break;
      // A command in bin is a link to the program in its bundle.
      const QString program = QFileInfo(executable).canonicalFilePath();
      return bundlePathForExecutable(program.isEmpty() ? executable : program);
    }
  }
  return kNotFound;
}

void postDistributedNotification(const QString& name, const QString& object) {
  notify::DistributedNotificationCenter::defaultCenter()->postNotificationName(name, object);
}

}  // namespace tvl::mainapp

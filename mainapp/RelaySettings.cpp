#include "mainapp/RelaySettings.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include <algorithm>

#include "mainapp/Localized.h"

namespace tvl::mainapp {

QStringList relaySettingsFiles() {
  QStringList files;
  QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
  QStringList systemDirs = dirs.split(':', Qt::SkipEmptyParts);
  if (systemDirs.isEmpty()) systemDirs << "/etc/xdg";
  // The first folder listed is the most important one: read it last.
  for (auto it = systemDirs.crbegin(); it != systemDirs.crend(); ++it)
    files << *it + "/" + kRelaySettingsFile;
  QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (home.isEmpty()) home = QDir::homePath() + "/.config";
  files << home + "/" + kRelaySettingsFile;
  return files;
}

namespace {

RelaySettingsResult readRelaySection(const QStringList& files, const QString& group) {
  RelaySettingsResult result;
  RelaySettings& s = result.settings;
  bool found = false;
  QString portText, timeoutText, loginText;
  for (const QString& file : files) {
    if (!QFileInfo(file).isFile()) continue;
    QSettings ini(file, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
      result.error = localized("The relay settings in %1 can't be read.").arg(file);
      return result;
    }
    found = true;
    if (!ini.childGroups().contains(group)) continue;
    ini.beginGroup(group);
    auto take = [&](const char* key, QString& into) {
      if (ini.contains(key)) into = ini.value(key).toString().trimmed();
    };
    take("host", s.host);
    take("port", portText);
    take("user", s.user);
    take("hostkey", s.hostKey);
    take("identity", s.identity);
    take("connecttimeout", timeoutText);
    take("login", loginText);
  }
  if (!found) {
    result.error =
        localized("No support relay is set up on this computer. Ask your support organisation.");
    return result;
  }
  auto bad = [&](const char* what) {
    result.error = localized("The relay settings have an invalid %1.").arg(localized(what));
    return result;
  };
  static const QRegularExpression hostPattern(R"(^[A-Za-z0-9][A-Za-z0-9.:-]*$)");
  static const QRegularExpression userPattern(R"(^[a-z_][a-z0-9_.-]*$)");
  static const QRegularExpression keyPattern(R"(^[a-z0-9@.-]+ [A-Za-z0-9+/]+=*$)");
  if (!hostPattern.match(s.host).hasMatch()) return bad("host");
  if (!userPattern.match(s.user).hasMatch()) return bad("user");
  if (!keyPattern.match(s.hostKey).hasMatch()) return bad("host key");
  bool ok = true;
  if (!portText.isEmpty()) s.port = portText.toInt(&ok);
  if (!ok || s.port < 1 || s.port > 65535) return bad("port");
  if (!timeoutText.isEmpty()) s.connectTimeout = timeoutText.toInt(&ok);
  if (!ok || s.connectTimeout < 1 || s.connectTimeout > 60) return bad("connection timeout");
  if (!s.identity.isEmpty() && (!QFileInfo(s.identity).isAbsolute() || s.identity.contains('\n') ||
                                s.identity.contains('"')))
    return bad("identity path");
  if (!loginText.isEmpty() && loginText != "register" && loginText != "forward")
    return bad("login");
  s.registers = loginText != "forward";
  if (group.startsWith("relay.")) s.name = group.mid(6);
  return result;
}

}  // namespace

RelaySettingsResult loadRelaySettings(const QStringList& files) {
  return readRelaySection(files, "relay");
}

RelayListResult loadRelayList(const QStringList& files) {
  static const QRegularExpression named(R"(^relay\.[a-z][a-z0-9]{0,15}$)");
  QStringList groups;
  for (const QString& file : files) {
    if (!QFileInfo(file).isFile()) continue;
    for (const QString& g : QSettings(file, QSettings::IniFormat).childGroups())
      if ((g == "relay" || named.match(g).hasMatch()) && !groups.contains(g)) groups << g;
  }
  std::sort(groups.begin(), groups.end(), [](const QString& a, const QString& b) {
    return (a == "relay") != (b == "relay") ? a == "relay" : a < b;
  });
  RelayListResult list;
  for (const QString& g : groups) {
    RelaySettingsResult r = readRelaySection(files, g);
    if (!r.error.isEmpty()) {
      if (list.error.isEmpty()) list.error = r.error;
      continue;
    }
    list.relays << r.settings;
  }
  if (list.relays.isEmpty() && list.error.isEmpty())
    list.error =
        localized("No support relay is set up on this computer. Ask your support organisation.");
  return list;
}

}  // namespace tvl::mainapp

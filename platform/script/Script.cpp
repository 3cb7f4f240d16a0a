#include "platform/script/Script.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QVariantMap>

#include <cctype>

#include "platform/workspace/ApplicationBus.h"
#include "platform/workspace/Workspace.h"

namespace tvl::script {

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Consumes word (any letter case) followed by white space or a quote.
bool takeWord(std::string_view& s, std::string_view word) {
  if (s.size() < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != word[i]) return false;
  s.remove_prefix(word.size());
  if (!s.empty() && !isSpace(s.front()) && s.front() != '"') return false;
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return true;
}

Result failure(int number, std::string message) {
  Result r;
  r.ok = false;
  r.errorNumber = number;
  r.errorMessage = std::move(message);
  return r;
}

}  // namespace

std::optional<std::string> targetApplicationName(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  if (!takeWord(s, "tell") || !takeWord(s, "application")) return std::nullopt;
  if (s.empty() || s.front() != '"') return std::nullopt;
  s.remove_prefix(1);
  size_t end = s.find('"');
  if (end == std::string_view::npos || end == 0) return std::nullopt;
  std::string name(s.substr(0, end));
  if (name.find_first_of("\r\n") != std::string::npos) return std::nullopt;
  return name;
}

Result ApplicationScriptRunner::executeScript(const std::string& source) {
  bool blank = true;
  for (char c : source) blank = blank && isSpace(c);
  if (blank) return Result{};

  auto target = targetApplicationName(source);
  if (!target) return failure(kErrorNoTarget, "The script names no application to tell.");
  auto identifier = workspace_.runningApplicationNamed(*target);
  if (!identifier) return failure(kErrorApplicationNotRunning, *target + " isn't running.");

  QDBusMessage call = QDBusMessage::createMethodCall(
      QString::fromStdString(*identifier), workspace::kApplicationPath,
      workspace::kApplicationInterface, workspace::kExecuteScriptMethod);
  call.setAutoStartService(false);  // never a launch
  call << QString::fromStdString(source);
  QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, kScriptTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
      return failure(kErrorApplicationNotRunning, *target + " isn't running.");
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply"))
      return failure(kErrorNoAnswer, *target + " got an error: the script timed out.");
    return failure(kErrorNoAnswer, reply.errorMessage().toStdString());
  }
  const QList<QVariant> args = reply.arguments();
  if (args.size() != 4 || !args[0].canConvert<bool>())
    return failure(kErrorNoAnswer, *target + " answered in an unknown form.");
  Result r;
  r.ok = args[0].toBool();
  r.stringValue = args[1].toString().toStdString();
  r.numberOfItems = args[2].toInt();
  if (!r.ok) {
    QVariantMap info = qdbus_cast<QVariantMap>(args[3]);
    r.errorNumber = info.value(workspace::kErrorNumberKey, -1).toInt();
    r.errorMessage = info.value(workspace::kErrorMessageKey).toString().toStdString();
  }
  return r;
}

}  // namespace tvl::script

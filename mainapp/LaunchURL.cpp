#include "mainapp/LaunchURL.h"

#include <cstring>
#include <memory>
#include <vector>

#include <QTabWidget>
#include <QVariant>
#include <QWidget>

#include "platform/script/ScriptInterpreter.h"
#include "platform/system/Log.h"

namespace tvl::mainapp {

namespace {

constexpr char kControlItem[] =
    "of tab view item \"control\" of tab view \"tvlremotetabs\" of window \"tvlremote\"";

void logError(const char* format, const script::ScriptResult& r) {
  QStringList parts;
  for (auto it = r.errorInfo.begin(); it != r.errorInfo.end(); ++it)
    parts << it.key() + " = " + it.value().toString();
  tvl::NSLog(format, ("{" + parts.join("; ") + "}").toUtf8().constData());
}

}  // namespace

void takeArgumentsOffCommandLine(int argc, char** argv) {
  static std::vector<std::unique_ptr<char[]>> copies;
  for (int i = 1; i < argc && argv[i]; ++i) {
    const size_t length = std::strlen(argv[i]);
    auto copy = std::make_unique<char[]>(length + 1);
    std::memcpy(copy.get(), argv[i], length + 1);
    // Not optimised away: the kernel reads these bytes for every reader of the command line.
    ::explicit_bzero(argv[i], length);
    argv[i] = copy.get();
    copies.push_back(std::move(copy));
  }
}

QString setFieldsScript(const QString& thecrap, const QString& secret, const QString& key) {
  using script::quotedString;
  return QString(
             "set thecrap to %1\r"
             "set contents of text field \"remotesecret\" %2 to %3\r"
             "set contents of text field \"remotekey\" %2 to %4\r")
      .arg(quotedString(thecrap), kControlItem, quotedString(secret), quotedString(key));
}

QString pressControlStartScript() {
  return QString(
             "if enabled of button \"screencontrolstart\" %1 is true then \r"
             "tell button \"screencontrolstart\" %1 to perform action \r"
             "end if")
      .arg(kControlItem);
}

QString openElsewhereScript(const QString& url) {
  return "tell application \"System Events\"\ropen location " + script::quotedString(url) +
         "\rend tell\r";
}

void handleOpenLocation(const QString& url, QTabWidget* tabControl, QWidget* windowSharing,
                        script::ScriptHost& host) {
  if (url.isEmpty()) return;
  if (tabControl) tabControl->setCurrentIndex(1);
  QStringList fields = url.split(':');
  if (fields[0] == kLaunchURLScheme) {
    // Without a secret and a key there is nothing to fill in or start.
    if (fields.size() < 4) return;
    script::ScriptResult r =
        script::executeScript(setFieldsScript(fields[1], fields[2], fields[3]), host);
    if (!r.ok) logError("errorInfo %s", r);
    if (windowSharing) windowSharing->setVisible(true);
    r = script::executeScript(pressControlStartScript(), host);
    if (!r.ok) logError("goerrorInfo %s", r);
  } else {
    script::ScriptResult r = script::executeScript(openElsewhereScript(url), host);
    if (!r.ok) logError("errorInfo %s", r);
  }
}

}  // namespace tvl::mainapp

// A stand-in for an application of the product on the session bus: it owns its bundle
// identifier, serves the application bus interface, and appends one line per call it
// receives to a record file, so that a test can see exactly what reached it.
//
// Its identity comes from its bundle's Info dictionary (CFBundleIdentifier, CFBundleName)
// when it runs as a bundle's executable; the environment may override it:
//   TVL_STANDIN_IDENTIFIER, TVL_STANDIN_NAME   identity
//   TVL_STANDIN_RECORD                         file the calls are appended to
//   TVL_STANDIN_REPLY_TEXT, TVL_STANDIN_REPLY_ITEMS, TVL_STANDIN_REPLY_ERROR
//                                              what ExecuteScript answers
// Record lines: "Activate", "OpenLocation <url>", "ExecuteScript <source>" with \r, \n and
// \\ written as escapes, and "Started" once the name is owned.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>

#include <cstdio>
#include <cstdlib>

#include "platform/bundle/Bundle.h"
#include "platform/workspace/ApplicationBus.h"

using namespace tvl;

namespace {

QString env(const char* name, const QString& fallback) {
  const char* v = std::getenv(name);
  return v ? QString::fromUtf8(v) : fallback;
}

void record(const QString& line) {
  QString path = env("TVL_STANDIN_RECORD", QString());
  if (path.isEmpty()) return;
  QFile f(path);
  if (f.open(QIODevice::Append)) f.write((line + "\n").toUtf8());
}

QString escaped(QString s) {
  return s.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n");
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const auto& bundle = bundle::Bundle::mainBundle();
  QString identifier =
      env("TVL_STANDIN_IDENTIFIER",
          QString::fromStdString(bundle.stringForInfoDictionaryKey("CFBundleIdentifier")));
  QString name = env("TVL_STANDIN_NAME",
                     QString::fromStdString(bundle.stringForInfoDictionaryKey("CFBundleName")));

  workspace::ApplicationHandlers handlers;
  handlers.activate = [] { record("Activate"); };
  handlers.openLocation = [](const QString& url) { record("OpenLocation " + url); };
  handlers.executeScript = [](const QString& source) {
    record("ExecuteScript " + escaped(source));
    workspace::ScriptReply reply;
    reply.text = env("TVL_STANDIN_REPLY_TEXT", QString());
    reply.items = env("TVL_STANDIN_REPLY_ITEMS", "0").toInt();
    QString error = env("TVL_STANDIN_REPLY_ERROR", QString());
    if (!error.isEmpty()) {
      reply.ok = false;
      reply.errorInfo = {{workspace::kErrorNumberKey, -1728}, {workspace::kErrorMessageKey, error}};
    }
    return reply;
  };
  workspace::ApplicationBusServer server(identifier, name, handlers);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!server.registerOn(bus)) {
    std::fprintf(stderr, "stand-in: can't own %s\n", qPrintable(identifier));
    return 1;
  }
  record("Started");
  return app.exec();
}

// The application's "open location" events and the script host its handlers run scripts
// in. URLs reach the application over the application bus (OpenLocation) and are handed
// to whichever handler registered last.
#pragma once

#include <QString>

#include <functional>

namespace tvl::script {
class ScriptHost;
}

namespace tvl::mainapp {

class AppleEventManager {
 public:
  using OpenLocationHandler = std::function<void(const QString& url)>;

  static AppleEventManager* sharedAppleEventManager();

  // Replaces any earlier handler.
  void setOpenLocationHandler(OpenLocationHandler handler) { handler_ = std::move(handler); }
  // Hands url to the handler; nothing happens without a handler or without a URL.
  void dispatchOpenLocation(const QString& url) const;

 private:
  OpenLocationHandler handler_;
};

// The application's own script host: the scripts of its event handlers run there, as
// scripts run inside the application that executes them. Null before the application
// exists.
script::ScriptHost* applicationScriptHost();
void setApplicationScriptHost(script::ScriptHost* host);

}  // namespace tvl::mainapp

#include "mainapp/AppleEventManager.h"

#include "platform/system/SharedInstance.h"

namespace tvl::mainapp {

namespace {
script::ScriptHost* gApplicationScriptHost = nullptr;
}  // namespace

AppleEventManager* AppleEventManager::sharedAppleEventManager() {
  return &tvl::SharedInstance<AppleEventManager>::init();
}

void AppleEventManager::dispatchOpenLocation(const QString& url) const {
  if (handler_ && !url.isEmpty()) handler_(url);
}

script::ScriptHost* applicationScriptHost() {
  return gApplicationScriptHost;
}

void setApplicationScriptHost(script::ScriptHost* host) {
  gApplicationScriptHost = host;
}

}  // namespace tvl::mainapp

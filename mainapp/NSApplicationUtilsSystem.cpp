// The application object's script-callable utilities other than the keychain ones.
#include "mainapp/ApplicationUtils.h"
#include "mainapp/NSApplicationUtils.h"
#include "platform/system/SystemVersion.h"

namespace tvl::mainapp {

int NSApplicationUtils::osVersionNumber() {
  return osVersionNumberFromWord(tvl::gestaltSystemVersion());
}

std::string NSApplicationUtils::getShortUser() {
  return shortUserName().toStdString();
}

std::string NSApplicationUtils::getFullUser() {
  return fullUserName().toStdString();
}

std::string NSApplicationUtils::checkForApplicationIdentifier(const std::string& identifier) {
  return applicationPathForIdentifier(QString::fromStdString(identifier)).toStdString();
}

void NSApplicationUtils::sendNotification(const std::string& name, const std::string& object) {
  // The application object observes nothing on the distributed center, so there is no
  // registration of its own to remove afterwards.
  postDistributedNotification(QString::fromStdString(name), QString::fromStdString(object));
}

}  // namespace tvl::mainapp

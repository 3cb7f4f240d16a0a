#include "mainapp/NSApplicationUtils.h"

#include "mainapp/AppController.h"

namespace tvl::mainapp {

std::optional<std::string> NSApplicationUtils::getSharingKeychainPassword(const std::string& user) {
  return AppController::sharedController()->getSharingPasswordFromKeychain(user);
}

void NSApplicationUtils::getSharingKeychainMethod(const std::string& user,
                                                  const std::string& password) {
  AppController::sharedController()->addSharingItemToKeychain(user, password);
}

std::optional<std::string> NSApplicationUtils::getKeychainPassword(const std::string& user) {
  return AppController::sharedController()->getPasswordFromKeychain(user);
}

void NSApplicationUtils::getKeychainMethod(const std::string& user, const std::string& password) {
  AppController::sharedController()->addItemToKeychain(user, password);
}

}  // namespace tvl::mainapp

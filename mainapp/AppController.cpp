#include "mainapp/AppController.h"

#include <QString>

#include "mainapp/AGKeychain.h"
#include "platform/system/SharedInstance.h"

namespace tvl::mainapp {

AppController* AppController::sharedController() {
  return &tvl::SharedInstance<AppController>::init();
}

void AppController::addSharingItemToKeychain(const std::string& user, const std::string& password) {
  if (AGKeychain::checkForExistanceOfKeychainItem(kItemName, kSharingItemKind, user))
    AGKeychain::modifyKeychainItem(kItemName, kSharingItemKind, user, password);
  else
    AGKeychain::addSharingKeychainItem(kItemName, kSharingItemKind, user, password);
}

void AppController::addItemToKeychain(const std::string& user, const std::string& password) {
  if (AGKeychain::checkForExistanceOfKeychainItem(kItemName, kControlItemKind, user))
    AGKeychain::modifyKeychainItem(kItemName, kControlItemKind, user, password);
  else
    AGKeychain::addKeychainItem(kItemName, kControlItemKind, user, password);
}

std::optional<std::string> AppController::getSharingPasswordFromKeychain(const std::string& user) {
  return passwordFromKeychain(kSharingItemKind, user);
}

std::optional<std::string> AppController::getPasswordFromKeychain(const std::string& user) {
  return passwordFromKeychain(kControlItemKind, user);
}

std::optional<std::string> AppController::passwordFromKeychain(const char* kind,
                                                               const std::string& user) {
  if (!AGKeychain::checkForExistanceOfKeychainItem(kItemName, kind, user)) return std::nullopt;
  // The item may have gone or become unreadable since the check; then there is no
  // password to show (the keychain's stand-in texts are not passwords).
  std::optional<std::string> password =
      AGKeychain::copyPasswordFromKeychainItem(kItemName, kind, user);
  if (password && passwordTextField)
    passwordTextField->setText(
        QString::fromUtf8(password->data(), static_cast<qsizetype>(password->size())));
  return password;
}

}  // namespace tvl::mainapp

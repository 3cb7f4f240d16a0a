// The main application's passwords in the user's keychain: generic-password items
// identified by name (label), kind (description) and user (account). Class methods
// only, no state. Failures are log lines and a false, "error" or empty result; nothing
// is shown to the user.
#pragma once

#include <optional>
#include <string>

#include "platform/keychain/Keychain.h"

namespace tvl::mainapp {

class AGKeychain {
 public:
  AGKeychain() = delete;

  // True when one or more matching items exist. Logs "%d items found".
  static bool checkForExistanceOfKeychainItem(const std::string& name, const std::string& kind,
                                              const std::string& user);
  // The password of the first matching item, or "error" when none matches (or the
  // search could not be made).
  static std::string getPasswordFromKeychainItem(const std::string& name, const std::string& kind,
                                                 const std::string& user);
  // True when the item was created; false (status logged) when an item with the same
  // name, kind and user exists, or the keychain refused.
  static bool addKeychainItem(const std::string& name, const std::string& kind,
                              const std::string& user, const std::string& password);
  static bool addSharingKeychainItem(const std::string& name, const std::string& kind,
                                     const std::string& user, const std::string& password);
  // True when the password of the first matching item was replaced; false when none
  // matches.
  static bool modifyKeychainItem(const std::string& name, const std::string& kind,
                                 const std::string& user, const std::string& password);
  // True when the last matching item was deleted or nothing matched.
  static bool deleteKeychainItem(const std::string& name, const std::string& kind,
                                 const std::string& user);
  // The password stored in the item: at most its first 1023 bytes, up to the first
  // zero byte. Empty when it cannot be read ("Error = %d" on standard output).
  static std::string getPasswordFromSecKeychainItemRef(const keychain::Item& item);

  // Like getPasswordFromKeychainItem, but without a stand-in text: nothing when no item
  // matches or its password cannot be read, so a caller never takes "error" or an
  // unreadable item for a password.
  static std::optional<std::string> copyPasswordFromKeychainItem(const std::string& name,
                                                                 const std::string& kind,
                                                                 const std::string& user);

 private:
  static keychain::Status readPassword(const keychain::Item& item, std::string& password);
};

}  // namespace tvl::mainapp

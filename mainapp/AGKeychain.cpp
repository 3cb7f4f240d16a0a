#include "mainapp/AGKeychain.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/system/Log.h"

using tvl::NSLog;

namespace tvl::mainapp {

namespace {

// Attribute order as the keychain takes it: account, label, description.
keychain::Attributes attributeList(const std::string& name, const std::string& kind,
                                   const std::string& user) {
  return keychain::Attributes{user, name, kind};
}

constexpr size_t kPasswordBufferSize = 1024;  // a password reads back as at most 1023 bytes

// The first item in search order with these attributes; logs a search that failed.
bool firstMatchingItem(const std::string& name, const std::string& kind, const std::string& user,
                       keychain::Item& item) {
  keychain::Search search(attributeList(name, kind, user));
  if (search.status() != keychain::errSecSuccess)
    NSLog("status %d from SecKeychainSearchCreateFromAttributes\n", search.status());
  return search.copyNext(item) == keychain::errSecSuccess;
}

}  // namespace

bool AGKeychain::checkForExistanceOfKeychainItem(const std::string& name, const std::string& kind,
                                                 const std::string& user) {
  keychain::Search search(attributeList(name, kind, user));
  if (search.status() != keychain::errSecSuccess)
    NSLog("status %d from SecKeychainSearchCreateFromAttributes\n", search.status());
  int count = 0;
  keychain::Item item;
  while (search.copyNext(item) == keychain::errSecSuccess) ++count;
  NSLog("%d items found\n", count);
  return count != 0;
}

std::string AGKeychain::getPasswordFromKeychainItem(const std::string& name,
                                                    const std::string& kind,
                                                    const std::string& user) {
  keychain::Item item;
  if (!firstMatchingItem(name, kind, user, item)) return "error";
  return getPasswordFromSecKeychainItemRef(item);
}

std::optional<std::string> AGKeychain::copyPasswordFromKeychainItem(const std::string& name,
                                                                    const std::string& kind,
                                                                    const std::string& user) {
  keychain::Item item;
  if (!firstMatchingItem(name, kind, user, item)) return std::nullopt;
  std::string password;
  if (readPassword(item, password) != keychain::errSecSuccess) return std::nullopt;
  return password;
}

bool AGKeychain::addKeychainItem(const std::string& name, const std::string& kind,
                                 const std::string& user, const std::string& password) {
  const keychain::Status status = keychain::createItem(attributeList(name, kind, user), password);
  if (status != keychain::errSecSuccess) NSLog("Error creating new item: %d\n", status);
  return status == keychain::errSecSuccess;
}

bool AGKeychain::addSharingKeychainItem(const std::string& name, const std::string& kind,
                                        const std::string& user, const std::string& password) {
  return addKeychainItem(name, kind, user, password);
}

bool AGKeychain::modifyKeychainItem(const std::string& name, const std::string& kind,
                                    const std::string& user, const std::string& password) {
  const keychain::Attributes attributes = attributeList(name, kind, user);
  keychain::Search search(attributes);
  keychain::Item item;
  // With nothing to modify the status is the search's (or "not found"), and it is
  // logged like any other failure rather than passing for success.
  keychain::Status status = search.status();
  if (status == keychain::errSecSuccess) status = search.copyNext(item);
  if (status == keychain::errSecSuccess) status = item.modifyContent(attributes, password);
  if (status != keychain::errSecSuccess) NSLog("Error modifying item: %d", status);
  return status == keychain::errSecSuccess;
}

bool AGKeychain::deleteKeychainItem(const std::string& name, const std::string& kind,
                                    const std::string& user) {
  keychain::Search search(attributeList(name, kind, user));
  // A search that could not be made must not pass for "nothing matched".
  keychain::Status status = search.status();
  if (status == keychain::errSecSuccess) {
    keychain::Item last, item;
    while (search.copyNext(item) == keychain::errSecSuccess) last = item;
    if (last) status = last.deleteItem();
  }
  if (status != keychain::errSecSuccess) NSLog("Error deleting item: %d\n", status);
  return status == keychain::errSecSuccess;
}

std::string AGKeychain::getPasswordFromSecKeychainItemRef(const keychain::Item& item) {
  std::string password;
  readPassword(item, password);
  return password;
}

keychain::Status AGKeychain::readPassword(const keychain::Item& item, std::string& password) {
  std::string data;
  const keychain::Status status = item.copyContent(data);
  if (status != keychain::errSecSuccess) {
    std::printf("Error = %d\n", status);
    std::fflush(stdout);
  }
  // Like a C string read into a fixed buffer: cut to 1023 bytes, stop at a zero byte.
  const size_t length = std::min(data.size(), kPasswordBufferSize - 1);
  password.assign(data.data(), strnlen(data.data(), length));
  return status;
}

}  // namespace tvl::mainapp

// Methods that the main application's scripts call on the application object. The
// keychain methods forward to the shared controller.
#pragma once

#include <optional>
#include <string>

namespace mainapp {

class NSApplicationUtils {
 public:
  // The user's screen-sharing password, or nothing when none is stored.
  std::optional<std::string> getSharingKeychainPassword(const std::string& user);
  // Stores the user's screen-sharing password (creates or changes the item).
  void getSharingKeychainMethod(const std::string& user, const std::string& password);
  // The user's remote-control password, or nothing when none is stored.
  std::optional<std::string> getKeychainPassword(const std::string& user);
  // Stores the user's remote-control password (creates or changes the item).
  void getKeychainMethod(const std::string& user, const std::string& password);
};

}  // namespace mainapp

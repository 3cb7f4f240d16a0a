// Methods that the main application's scripts call on the application object. The
// keychain methods forward to the shared controller.
#pragma once

#include <optional>
#include <string>

namespace tvl::mainapp {

class NSApplicationUtils {
 public:
  // The minor version of the operating system (10.x), 0 for a minor version above 9.
  int osVersionNumber();
  // The login name of the current user.
  std::string getShortUser();
  // The full name of the current user (the login name when the account has none).
  std::string getFullUser();
  // The bundle path of the installed application with that identifier, or "Not Found".
  std::string checkForApplicationIdentifier(const std::string& identifier);
  // Posts the notification with the object to the other programs of the session, at once.
  void sendNotification(const std::string& name, const std::string& object);

  // The user's screen-sharing password, or nothing when none is stored.
  std::optional<std::string> getSharingKeychainPassword(const std::string& user);
  // Stores the user's screen-sharing password (creates or changes the item).
  void getSharingKeychainMethod(const std::string& user, const std::string& password);
  // The user's remote-control password, or nothing when none is stored.
  std::optional<std::string> getKeychainPassword(const std::string& user);
  // Stores the user's remote-control password (creates or changes the item).
  void getKeychainMethod(const std::string& user, const std::string& password);
};

}  // namespace tvl::mainapp

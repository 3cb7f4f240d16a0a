// The main application's controller. One lives in the main interface file with its
// outlets connected; the keychain methods that the scripts reach through the
// application object run on the shared controller.
#pragma once

#include <QLineEdit>
#include <QPointer>
#include <QString>
#include <QTabWidget>
#include <QWidget>

#include <optional>
#include <string>

namespace tvl::mainapp {

// What the application keeps in the keychain, under the item name kItemName.
inline constexpr char kItemName[] = "Mac Tovalo";
inline constexpr char kSharingItemKind[] = "Mac Tovalo Sharing";  // screen-sharing password
inline constexpr char kControlItemKind[] = "Mac Tovalo Control";  // remote-control password

class AppController {
 public:
  // Becomes the receiver of the application's launch URLs (setupEventHandlers).
  AppController();
  AppController(const AppController&) = delete;
  AppController& operator=(const AppController&) = delete;

  // The shared controller, made by the first call and kept for the life of the process.
  // It has no outlets connected unless the application connects them.
  static AppController* sharedController();

  // Stores the password of the user's screen-sharing item: changes the existing item's
  // password, or creates the item. Failures are logged by the keychain, not returned.
  void addSharingItemToKeychain(const std::string& user, const std::string& password);
  // The same for the remote-control item.
  void addItemToKeychain(const std::string& user, const std::string& password);

  // The password of the user's screen-sharing item, also shown in passwordTextField.
  // Nothing (and no change to the field) when the user has no such item or its password
  // cannot be read. With no field connected the password is only returned.
  std::optional<std::string> getSharingPasswordFromKeychain(const std::string& user);
  // The same for the remote-control item.
  std::optional<std::string> getPasswordFromKeychain(const std::string& user);

  // Registers this controller as the handler of the application's "open location" events;
  // a later registration replaces it.
  void setupEventHandlers();
  // One launch URL: the control tab is selected; a URL of the application's scheme fills
  // in the remote secret and key, shows windowSharing and presses the control start
  // button; any other URL goes to the desktop. Failures are logged.
  void handleOpenLocationAppleEvent(const QString& url);
  // Docks a window of the application after it moved (its delegate callback). optionHeld:
  // whether Option (Alt) was down when the move ended, which turns docking off.
  void windowDidMove(QWidget* window, bool optionHeld = false);

  // Outlets, connected by the interface file; null when not connected (or the field was
  // destroyed).
  QPointer<QLineEdit> passwordTextField;
  QPointer<QWidget> windowSharing;  // shown for a launch URL
  QPointer<QTabWidget> tabControl;  // switched to its second item by every launch URL

 private:
  std::optional<std::string> passwordFromKeychain(const char* kind, const std::string& user);
};

}  // namespace tvl::mainapp

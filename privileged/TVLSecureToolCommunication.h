// The controller's one gate to root: it owns the preferences window's administrator lock,
// keeps the auto-connect button enabled only while the lock is open, and carries out one
// privileged request at a time through the set-user-ID helper tool.
//
// Runs on the main thread. The slow parts of a request (the authorization dialog, the
// blessing of the tool, the exchange with it) run while the main thread keeps handling
// events, so the menus and windows stay alive; the caller keeps its controls disabled
// meanwhile.
#pragma once

#include <QPointer>

#include <functional>
#include <optional>
#include <string>

#include "platform/auth/Authorization.h"
#include "platform/authview/AuthorizationView.h"
#include "platform/cf/PropertyList.h"
#include "privileged/ToolRequest.h"

class QPushButton;

namespace tvl {

// Shows an alert and answers the code of the button that closed it.
using TVLAlertFunction =
    std::function<int(const std::string& message, const std::string& informativeText,
                      const std::optional<std::string>& defaultButton,
                      const std::optional<std::string>& alternateButton,
                      const std::optional<std::string>& otherButton)>;

// The English text's translation in the controller's strings (the text itself when none).
using TVLLocalizeFunction = std::function<std::string(const std::string& english)>;

// The defaults of both privileged classes: a warning alert of the platform, and the
// controller bundle's strings keyed by the English text.
TVLAlertFunction TVLDefaultAlert();
TVLLocalizeFunction TVLDefaultLocalize();

class TVLSecureToolCommunication {
 public:
  // Response keys read here.
  static constexpr char kErrorNumberKey[] = "com.apple.dts.MoreIsBetter.MoreSec.ErrorNumber";
  static constexpr auto& kReturnStringKey = kTVLReturnStringKey;
  static constexpr auto& kErrorPrefix = kTVLErrorPrefix;
  static constexpr char kAdminRight[] = "system.privilege.admin";
  static constexpr double kLockRecheckInterval = 60.0;

  struct Services {
    // Finds or installs the tool's working copy in the folder type given ('asup',
    // 'temp'); MoreSecCopyHelperToolURLAndCheckBundled on the controller's bundle.
    std::function<int(uint32_t folderType, cf::Ref<cf::String>* tool)> locateTool;
    // Blesses the copy when needed and serves the request
    // (MoreSecExecuteRequestInHelperTool). Runs off the main thread.
    std::function<int(const cf::String* tool, auth::AuthorizationRef auth,
                      const cf::Dictionary* request, cf::Ref<cf::Dictionary>* response)>
        executeRequest;
    TVLAlertFunction alert;
    TVLLocalizeFunction localized;
    // Brings the controller ahead of other applications.
    std::function<void()> activate;
    // The folder of the bundle whose identifier is "com.nrvk.tvlqc" (the controller's
    // own), which carries the tool's template. Empty: the running program's bundle.
    std::string toolBundlePath;
  };

  // The process's one instance: init records the first one made and answers it to every
  // later call (a second set of services is dropped); sharedInstance makes one with the
  // real services when none exists yet.
  static TVLSecureToolCommunication& init(Services services);
  static TVLSecureToolCommunication& sharedInstance();
  static void releaseSharedInstance();

  // An instance that is not the shared one (tests).
  explicit TVLSecureToolCommunication(Services services);
  ~TVLSecureToolCommunication();

  // Outlets, connected when the preferences window is loaded.
  QPointer<authview::AuthorizationView> authorisationView;
  QPointer<QPushButton> startStopButton;

  // Sets the lock up once the window is loaded; it starts locked.
  void awakeFromNib();
  void deauthorize();
  authview::AuthorizationView* authorizationView() const { return authorisationView.data(); }

  // Sends one request. Null only when no folder can hold the tool (after an alert);
  // otherwise a dictionary the caller owns: the tool's response, or a description of
  // why there is none that hasAuthenticated and hasError recognise.
  cf::Ref<cf::Dictionary> performCommandAuthenticated(const cf::Dictionary* request);
  // False, after an alert, when the response says the authorization was refused or
  // cancelled.
  bool hasAuthenticated(const cf::Dictionary* response);
  // True when the response's return string begins with "TVLQC Error:".
  static bool hasError(const cf::Dictionary* response);

  // The lock's delegate.
  void authorizationViewDidAuthorize(authview::AuthorizationView& view);
  void authorizationViewDidDeauthorize(authview::AuthorizationView& view);

 private:
  auth::AuthorizationRef authorization();

  Services services_;
  // Stands in for the lock's authorization when no window is loaded.
  auth::UniqueAuthorization ownAuthorization_;
};

}  // namespace tvl

#include "privileged/TVLSecureToolCommunication.h"

#include <QApplication>
#include <QPushButton>

#include <memory>

#include "platform/bundle/Bundle.h"
#include "platform/system/Paths.h"
#include "platform/system/SharedInstance.h"
#include "platform/ui/Application.h"
#include "privileged/MoreSecurity.h"
#include "privileged/MoreUNIX.h"

namespace tvl {

namespace {

constexpr char kToolTemplateName[] = "TVLQCSecureToolTemplate";
constexpr char kToolFolderName[] = "NRVK";
constexpr char kToolName[] = ".TVLQCSecureTool";

bool isAuthorizationRefusal(int32_t err) {
  return err == auth::errAuthorizationDenied || err == auth::errAuthorizationCanceled;
}

// Why a request never reached the tool, or the tool failed without saying why.
std::string describeFailure(int err) {
  std::string what;
  switch (err) {
    case -4960:
      what = "the helper tool's template is missing";
      break;
    case kHelperToolRepairFailedErr:
      what = "the helper tool could not be installed or repaired";
      break;
    case kHelperToolNotRootErr:
      what = "the helper tool is not set-user-ID root";
      break;
    default:
      what = "the helper tool could not be run";
  }
  return std::string(TVLSecureToolCommunication::kErrorPrefix) + " " + what + " (status " +
         std::to_string(err) + ")";
}

TVLSecureToolCommunication::Services withDefaults(TVLSecureToolCommunication::Services s) {
  if (!s.locateTool) {
    s.locateTool = [bundlePath = s.toolBundlePath](uint32_t folderType, cf::Ref<cf::String>* tool) {
      std::string path =
          bundlePath.empty() ? bundle::Bundle::mainBundle().bundlePath() : bundlePath;
      cf::String* raw = nullptr;
      int err = MoreSecCopyHelperToolURLAndCheckBundled(
          cf::String::create(path).get(), cf::String::create(kToolTemplateName).get(), folderType,
          cf::String::create(kToolFolderName).get(), cf::String::create(kToolName).get(), &raw);
      if (err == 0) *tool = cf::Ref<cf::String>::adopt(raw);
      return err;
    };
  }
  if (!s.executeRequest) {
    s.executeRequest = [](const cf::String* tool, auth::AuthorizationRef auth,
                          const cf::Dictionary* request, cf::Ref<cf::Dictionary>* response) {
      cf::Dictionary* raw = nullptr;
      int err = MoreSecExecuteRequestInHelperTool(tool, auth, request, &raw);
      if (raw != nullptr) {
        // No request of ours asks for descriptors: close any that came along.
        MoreSecCloseDescriptorArray(cf::arrayForKey(raw, kMoreSecFileDescriptorsKey));
        *response = cf::Ref<cf::Dictionary>::adopt(raw);
      }
      return err;
    };
  }
  if (!s.alert) s.alert = TVLDefaultAlert();
  if (!s.localized) s.localized = TVLDefaultLocalize();
  if (!s.activate) {
    s.activate = [] {
      if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        ui::Application::sharedApplication().activateIgnoringOtherApps(true);
    };
  }
  return s;
}

}  // namespace

TVLAlertFunction TVLDefaultAlert() {
  return
      [](const std::string& message, const std::string& info, const std::optional<std::string>& b1,
         const std::optional<std::string>& b2, const std::optional<std::string>& b3) {
        return ui::runAlert(ui::AlertStyle::Warning, message, info, b1, b2, b3);
      };
}

TVLLocalizeFunction TVLDefaultLocalize() {
  return [](const std::string& english) {
    return bundle::Bundle::mainBundle().localizedStringForKey(english, "");
  };
}

TVLSecureToolCommunication& TVLSecureToolCommunication::init(Services services) {
  return tvl::SharedInstance<TVLSecureToolCommunication>::init(std::move(services));
}

TVLSecureToolCommunication& TVLSecureToolCommunication::sharedInstance() {
  TVLSecureToolCommunication* shared = tvl::SharedInstance<TVLSecureToolCommunication>::existing();
  return shared ? *shared : init(Services{});
}

void TVLSecureToolCommunication::releaseSharedInstance() {
  tvl::SharedInstance<TVLSecureToolCommunication>::release();
}

TVLSecureToolCommunication::TVLSecureToolCommunication(Services services)
    : services_(withDefaults(std::move(services))) {}

TVLSecureToolCommunication::~TVLSecureToolCommunication() = default;

void TVLSecureToolCommunication::awakeFromNib() {
  authview::AuthorizationView* view = authorisationView.data();
  if (!view) return;
  view->setString(kAdminRight);
  view->setAutoupdate(true, kLockRecheckInterval);
  // No check of the current state here: the lock is closed right below whatever polkit
  // would answer, so asking would only cost a round trip at every start.
  view->setDelegate({[this](auto& v) { authorizationViewDidAuthorize(v); },
                     [this](auto& v) { authorizationViewDidDeauthorize(v); }});
  view->deauthorize();
}

void TVLSecureToolCommunication::deauthorize() {
  if (authorisationView) authorisationView->deauthorize();
}

void TVLSecureToolCommunication::authorizationViewDidAuthorize(authview::AuthorizationView&) {
  services_.activate();
  if (startStopButton) startStopButton->setEnabled(true);
}

void TVLSecureToolCommunication::authorizationViewDidDeauthorize(authview::AuthorizationView&) {
  services_.activate();
  if (startStopButton) startStopButton->setEnabled(false);
}

auth::AuthorizationRef TVLSecureToolCommunication::authorization() {
  if (authorisationView) return authorisationView->authorizationRef();
  if (!ownAuthorization_) {
    auth::AuthorizationRef ref = nullptr;
    if (auth::AuthorizationCreate(nullptr, auth::kAuthorizationFlagDefaults, &ref) == 0)
      ownAuthorization_.reset(ref);
  }
  return ownAuthorization_.get();
}

cf::Ref<cf::Dictionary> TVLSecureToolCommunication::performCommandAuthenticated(
    const cf::Dictionary* request) {
  int err = MoreUNIXIgnoreSIGPIPE();

  // A refusal here is not acted on: the tool asks again and its answer says so.
  if (authorisationView &&
      authorisationView->authorizationState() != authview::SFAuthorizationViewUnlockedState)
    authorisationView->authorize();

  cf::Ref<cf::String> tool;
  if (err == 0) {
    err = services_.locateTool(tvl::system::kApplicationSupportFolderType, &tool);
    if (err == kHelperToolFolderUnsuitableErr) {
      tool = {};
      err = services_.locateTool(tvl::system::kTemporaryFolderType, &tool);
    }
    if (err == kHelperToolFolderUnsuitableErr) {
      services_.alert(
          services_.localized(
              "Your home directory is on a volume that does not support privileged helper tools"),
          "", services_.localized("OK"), std::nullopt, std::nullopt);
      return {};
    }
  }

  cf::Ref<cf::Dictionary> result = cf::Dictionary::create();
  if (request == nullptr || cf::as<cf::Number>(request->valueForKey("task")) == nullptr) {
    result->setValue(kReturnStringKey, cf::String::create(kErrorPrefix).get());
    return result;
  }

  cf::Ref<cf::Dictionary> response;
  if (err == 0) {
    auth::AuthorizationRef ref = authorization();
    if (ref == nullptr) {
      err = auth::errAuthorizationInternal;
    } else {
      ui::runWhileHandlingEvents(
          [&] { err = services_.executeRequest(tool.get(), ref, request, &response); });
    }
  }
  if (response) result = response->mutableCopy();

  // A request that went nowhere must not read as done: the caller shows its error alert,
  // or, when it was the authorization that failed (the blessing's dialog), that alert.
  int32_t recorded = 0;
  bool hasNumber = cf::sint32ForKey(result.get(), kErrorNumberKey, &recorded);
  if (err != 0 && !hasNumber) {
    result->setValue(kErrorNumberKey, cf::Number::createSInt32(err).get());
    recorded = err;
  }
  if (recorded != 0 && !isAuthorizationRefusal(recorded) && !hasError(result.get()))
    result->setValue(kReturnStringKey, cf::String::create(describeFailure(recorded)).get());
  return result;
}

bool TVLSecureToolCommunication::hasAuthenticated(const cf::Dictionary* response) {
  int32_t err = 0;
  if (response && !cf::sint32ForKey(response, kErrorNumberKey, &err)) err = 0;
  if (!isAuthorizationRefusal(err)) return true;
  services_.alert(
      services_.localized("You failed to authenticate so you cannot perform the action"), "",
      services_.localized("OK"), std::nullopt, std::nullopt);
  return false;
}

bool TVLSecureToolCommunication::hasError(const cf::Dictionary* response) {
  const cf::String* text = response ? cf::stringForKey(response, kReturnStringKey) : nullptr;
  if (text == nullptr) return false;
  constexpr size_t kPrefixLength = sizeof kErrorPrefix - 1;
  return text->str().size() >= kPrefixLength &&
         text->str().compare(0, kPrefixLength, kErrorPrefix) == 0;
}

}  // namespace tvl

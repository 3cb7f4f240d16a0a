// The switches of the auto-connect service, one request to the helper tool each: start
// and stop of the startup item (systems before 10.4, with the service's flag in the host
// configuration), load and unload of its launchd property list on 10.4, and of another
// one on 10.5 and 10.6. A failure is reported in an alert; the caller learns the outcome
// by watching for the daemon.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/cf/PropertyList.h"
#include "privileged/TVLSecureToolCommunication.h"
#include "privileged/ToolRequest.h"

namespace tvl {

class TVLActionController {
 public:
  // Request keys, as the tool reads them.
  static constexpr auto& kTaskKey = kTVLTaskKey;
  static constexpr auto& kFilenameKey = kTVLFilenameKey;
  static constexpr auto& kFolderKey = kTVLFolderKey;
  // The service's setting in the host configuration.
  static constexpr char kHostConfigSetting[] = "TVLD";
  static constexpr char kHostConfigPath[] = "/private/etc/hostconfig";
  static constexpr char kTempHostConfigPath[] = "/private/tmp/hostconfig";

  struct Services {
    // Null: the shared instance.
    TVLSecureToolCommunication* communication = nullptr;
    TVLAlertFunction alert;
    TVLLocalizeFunction localized;
    // Told the alert's message when a request fails, just before the alert shows (TVLQC:
    // a desktop notification). May be empty.
    std::function<void(const std::string& message)> requestFailed;
    // The host configuration and the edited copy; empty: the fixed paths above, as this
    // system names them.
    std::string hostConfigPath;
    std::string tempHostConfigPath;
  };

  static TVLActionController& init(Services services);
  static TVLActionController& sharedInstance();
  static void releaseSharedInstance();

  explicit TVLActionController(Services services);

  // The sender is ignored; each returns once the request is done and any alert closed.
  void startAction();
  void stopAction();
  void loadTigerAction();
  void unloadTigerAction();
  void loadLeopardAction();
  void unloadLeopardAction();
  void changeTvldPerms();

  // Builds the request from the objects and keys, pair by pair, sends it, and shows the
  // "An unknown error occurred when trying to %@ %@" alert (errorString, errorPath) when
  // the tool answers with an error.
  void prepareAndRunAuthenticatedCommand(const std::vector<cf::Ref<const cf::Object>>& objects,
                                         const std::vector<std::string>& keys,
                                         const std::string& errorString,
                                         const std::string& errorPath);

  // Writes a copy of the host configuration in which every line that contains name reads
  // name=-YES- (setting true) or name=-NO-. Nothing is written when no line contains it or
  // the file can't be read. The copy replaces the old one atomically, through a temporary
  // file whose name nobody can guess.
  void writeNewTempHostConfigFileWith(const std::string& name, bool setting);

 private:
  void run(TVLTask task, const char* filename, int32_t folder, const std::string& errorString);
  TVLSecureToolCommunication& communication();

  Services services_;
};

// Fills each "%@" of format, in order, with the next argument; "%1$@", "%2$@" name one by
// position, so a translation may reorder them. "%%" is a percent sign.
std::string TVLFormat(const std::string& format, const std::vector<std::string>& arguments);

}  // namespace tvl

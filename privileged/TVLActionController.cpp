#include "privileged/TVLActionController.h"

#include <fstream>
#include <iterator>
#include <memory>

#include "platform/system/Files.h"
#include "platform/system/Paths.h"
#include "platform/system/SharedInstance.h"

namespace tvl {

namespace {

constexpr char kLaunchDaemonsPath[] = "/Library/LaunchDaemons";
constexpr size_t kMaxHostConfigSize = 1 << 20;

bool readWholeFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad() && text->size() <= kMaxHostConfigSize;
}

}  // namespace

std::string TVLFormat(const std::string& format, const std::vector<std::string>& arguments) {
  std::string out;
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 >= format.size()) {
      out += format[i];
      continue;
    }
    if (format[i + 1] == '%') {
      out += '%';
      ++i;
    } else if (format[i + 1] == '@') {
      if (next < arguments.size()) out += arguments[next];
      ++next;
      ++i;
    } else if (format[i + 1] >= '1' && format[i + 1] <= '9' && i + 3 < format.size() &&
               format[i + 2] == '$' && format[i + 3] == '@') {
      size_t index = size_t(format[i + 1] - '1');
      if (index < arguments.size()) out += arguments[index];
      i += 3;
    } else {
      out += format[i];
    }
  }
  return out;
}

TVLActionController& TVLActionController::init(Services services) {
  return tvl::SharedInstance<TVLActionController>::init(std::move(services));
}

TVLActionController& TVLActionController::sharedInstance() {
  TVLActionController* shared = tvl::SharedInstance<TVLActionController>::existing();
  return shared ? *shared : init(Services{});
}

void TVLActionController::releaseSharedInstance() {
  tvl::SharedInstance<TVLActionController>::release();
}

TVLActionController::TVLActionController(Services services) : services_(std::move(services)) {
  if (!services_.alert) services_.alert = TVLDefaultAlert();
  if (!services_.localized) services_.localized = TVLDefaultLocalize();
  if (services_.hostConfigPath.empty())
    services_.hostConfigPath = tvl::system::mapPlatformPath(kHostConfigPath);
  if (services_.tempHostConfigPath.empty())
    services_.tempHostConfigPath = tvl::system::mapPlatformPath(kTempHostConfigPath);
}

TVLSecureToolCommunication& TVLActionController::communication() {
  return services_.communication ? *services_.communication
                                 : TVLSecureToolCommunication::sharedInstance();
}

void TVLActionController::run(TVLTask task, const char* filename, int32_t folder,
                              const std::string& errorString) {
  std::vector<cf::Ref<const cf::Object>> objects{
      cf::Number::createSInt32(static_cast<int32_t>(task))};
  std::vector<std::string> keys{kTaskKey};
  if (filename) {
    objects.push_back(cf::String::create(filename));
    keys.push_back(kFilenameKey);
    objects.push_back(cf::Number::createSInt32(folder));
    keys.push_back(kFolderKey);
  }
  prepareAndRunAuthenticatedCommand(objects, keys, errorString, kLaunchDaemonsPath);
}

void TVLActionController::startAction() {
  writeNewTempHostConfigFileWith(kHostConfigSetting, true);
  run(TVLTask::StartStartupItem, nullptr, 0, "start");
}

void TVLActionController::stopAction() {
  writeNewTempHostConfigFileWith(kHostConfigSetting, false);
  run(TVLTask::StopStartupItem, nullptr, 0, "stop");
}

void TVLActionController::loadTigerAction() {
  run(TVLTask::LoadTiger, "com.nrvk.atv.plist", kTVLLaunchDaemonsFolder, "load-tiger");
}

void TVLActionController::unloadTigerAction() {
  run(TVLTask::UnloadTiger, "com.nrvk.atv.plist", kTVLLaunchDaemonsFolder, "unload-tiger");
}

void TVLActionController::loadLeopardAction() {
  run(TVLTask::LoadLeopard, "com.nrvk.sweeper.plist", kTVLLaunchDaemonsFolder, "load-leopard");
}

void TVLActionController::unloadLeopardAction() {
  run(TVLTask::UnloadLeopard, "com.nrvk.sweeper.plist", kTVLLaunchDaemonsFolder, "unload-leopard");
}

void TVLActionController::changeTvldPerms() {
  run(TVLTask::UnloadLeopard, "com.nrvk.sweeper.plist", 2, "unload-leopard");
}

void TVLActionController::prepareAndRunAuthenticatedCommand(
    const std::vector<cf::Ref<const cf::Object>>& objects, const std::vector<std::string>& keys,
    const std::string& errorString, const std::string& errorPath) {
  cf::Ref<cf::Dictionary> request = cf::Dictionary::create();
  for (size_t i = 0; i < objects.size() && i < keys.size(); ++i)
    if (objects[i]) request->setValue(keys[i], objects[i].get());

  TVLSecureToolCommunication& tool = communication();
  cf::Ref<cf::Dictionary> response = tool.performCommandAuthenticated(request.get());
  if (!tool.hasAuthenticated(response.get())) return;
  if (!TVLSecureToolCommunication::hasError(response.get())) return;
  auto localized = [this](const std::string& english) {
    return services_.localized ? services_.localized(english) : english;
  };
  std::string message = TVLFormat(localized("An unknown error occurred when trying to %@ %@"),
                                  {errorString, errorPath});
  if (services_.requestFailed) services_.requestFailed(message);
  if (services_.alert)
    services_.alert(message, localized("Please try again"), localized("OK"), std::nullopt,
                    std::nullopt);
}

void TVLActionController::writeNewTempHostConfigFileWith(const std::string& name, bool setting) {
  std::string text;
  if (name.empty() || !readWholeFile(services_.hostConfigPath, &text)) return;
  std::vector<std::string> lines;
  for (size_t start = 0;;) {
    size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  bool matched = false;
  for (std::string& line : lines) {
    if (line.find(name) == std::string::npos) continue;
    line = name + (setting ? "=-YES-" : "=-NO-");
    matched = true;
  }
  if (!matched) return;
  std::string joined;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) joined += '\n';
    joined += lines[i];
  }
  // Not checked: the tool refuses a copy that doesn't say what the request asks for.
  tvl::system::writeFileAtomically(services_.tempHostConfigPath, joined);
}

}  // namespace tvl

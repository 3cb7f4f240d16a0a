// A controller on test doubles of the services a unit test can't run for real: a clock
// the test moves, a workspace and a script runner that record, file and process
// probes from sets. Its bundle is the built TVLQC.app (for its strings and images),
// reached through a folder tree of the test's choice so that the edition follows the name.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "controller/AppController.h"
#include "platform/script/Script.h"
#include "platform/ui/Application.h"
#include "platform/ui/ManualClock.h"
#include "platform/workspace/Workspace.h"
#include "support/ChildProcess.h"
#include "support/Files.h"

using namespace tvl;

namespace testsupport {

class RecordingWorkspace final : public workspace::Workspace {
 public:
  std::vector<workspace::RunningApplication> launchedApplications() override {
    std::lock_guard lock(mutex);
    std::vector<workspace::RunningApplication> apps;
    for (auto& id : running) apps.push_back({id});
    return apps;
  }
  std::optional<std::string> runningApplicationNamed(const std::string&) override {
    return std::nullopt;
  }
  bool openApplicationAtPath(const std::string& path) override {
    std::lock_guard lock(mutex);
    events.push_back("open " + path);
    return true;
  }
  std::mutex mutex;
  std::vector<std::string> running;
  std::vector<std::string> events;  // shared with the script runner: the order counts
};

class RecordingScripts final : public script::ScriptRunner {
 public:
  explicit RecordingScripts(RecordingWorkspace& ws) : ws_(ws) {}
  script::Result executeScript(const std::string& source) override {
    std::lock_guard lock(ws_.mutex);
    ws_.events.push_back("script " + source);
    return reply;
  }
  script::Result reply;

 private:
  RecordingWorkspace& ws_;
};

inline std::filesystem::path builtControllerBundle() {
  const char* build = std::getenv("TVL_BUILD_DIR");
  return std::filesystem::path(build ? build : ".") /
         "Applications/Mac Tovalo.app/Contents/Resources/TVLQC.app";
}

struct Harness {
  // enclosingFolder: the third ancestor's name ("Mac Tovalo.app"); "" puts the controller
  // bundle right below the temporary folder (fewer than three ancestors below it).
  explicit Harness(const std::string& enclosingFolder = "Mac Tovalo.app") {
    namespace fs = std::filesystem;
    fs::path at = enclosingFolder.empty()
                      ? dir.path() / "TVLQC.app"
                      : dir.path() / enclosingFolder / "Contents/Resources/TVLQC.app";
    fs::create_directories(at.parent_path());
    fs::create_directory_symlink(builtControllerBundle(), at);
    bundlePath = at.string();
    enclosingPath = (dir.path() / enclosingFolder).string();
  }

  AppControllerServices services() {
    AppControllerServices s;
    s.bundle = bundle::Bundle(bundlePath);
    s.timers = &clock;
    s.workspace = &workspace;
    s.scripts = &scripts;
    s.application = &application;
    s.fileExistsAtPath = [this](const std::string& p) { return files.count(p) > 0; };
    s.runningStateForApplication = [this](const std::string& n) { return processes.count(n) > 0; };
    s.gestaltSystemVersion = [this] { return systemVersion; };
    return s;
  }

  // A controller that has finished launching, as after start-up.
  AppController& launch() {
    controller = std::make_unique<AppController>(services());
    controller->awakeFromNib();
    controller->applicationDidFinishLaunching();
    return *controller;
  }

  std::vector<std::string> events() {
    std::lock_guard lock(workspace.mutex);
    return workspace.events;
  }

  TempDir dir;
  std::string bundlePath, enclosingPath;
  ui::ManualClock clock;
  RecordingWorkspace workspace;
  RecordingScripts scripts{workspace};
  ui::Application application;
  std::set<std::string> files, processes;
  int32_t systemVersion = 0x1062;
  std::unique_ptr<AppController> controller;
};

}  // namespace testsupport

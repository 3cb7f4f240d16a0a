// An installed product in a temporary folder for the controller's integration tests: a main
// application bundle of the chosen edition whose executable is the stand-in application,
// with the built TVLQC.app in its resources (linked, so its strings and images are the
// build's).
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/controller/ControllerHarness.h"

using namespace tvl;

namespace testsupport {

struct InstalledProduct {
  // edition: "Mac Tovalo" or "Mac Brisca"; standInApp: the stand-in's executable.
  explicit InstalledProduct(const std::string& standInApp,
                            const std::string& edition = "Mac Tovalo")
      : mainApp(dir.path() / (edition + ".app")) {
    namespace fs = std::filesystem;
    fs::create_directories(mainApp / "Contents/MacOS");
    fs::create_directories(mainApp / "Contents/Resources");
    std::ofstream(mainApp / "Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>com.nrvk.tvl</string>"
           "<key>CFBundleName</key><string>"
        << edition
        << "</string>"
           "<key>CFBundleExecutable</key><string>Mac Tovalo</string></dict></plist>\n";
    fs::copy_file(standInApp, mainApp / "Contents/MacOS/Mac Tovalo");
    fs::create_directory_symlink(builtControllerBundle(), mainApp / "Contents/Resources/TVLQC.app");
  }
  std::string controllerBundle() const {
    return (mainApp / "Contents/Resources/TVLQC.app").string();
  }
  std::string controllerExecutable() const { return controllerBundle() + "/Contents/MacOS/TVLQC"; }

  TempDir dir;
  std::filesystem::path mainApp;
  std::filesystem::path record = dir.path() / "record.txt";
};

}  // namespace testsupport

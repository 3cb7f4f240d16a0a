// The workspace: which applications run, and opening an application bundle.
// A running application is a process that owns, on the session bus, the well-known name
// that is its bundle identifier (see ApplicationBus.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tvl::workspace {

struct RunningApplication {
  std::string bundleIdentifier;
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  // Every running application, in the bus's order. Any thread.
  virtual std::vector<RunningApplication> launchedApplications() = 0;
  // The bundle identifier of the running application whose Name is name, if any. Any thread.
  virtual std::optional<std::string> runningApplicationNamed(const std::string& name) = 0;
  // Opens the application bundle at bundlePath: asks it to come to the front when it runs
  // (Activate), else starts Contents/MacOS/<CFBundleExecutable> of its Info dictionary.
  // False when neither could be done. Any thread.
  virtual bool openApplicationAtPath(const std::string& bundlePath) = 0;
};

// The real one, on the session bus. Needs a QCoreApplication.
class SessionBusWorkspace final : public Workspace {
 public:
  std::vector<RunningApplication> launchedApplications() override;
  std::optional<std::string> runningApplicationNamed(const std::string& name) override;
  bool openApplicationAtPath(const std::string& bundlePath) override;
};

// How long a call to another application may take before it counts as not answering.
inline constexpr int kCallTimeoutMs = 5000;

}  // namespace tvl::workspace

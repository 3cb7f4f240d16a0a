// Scripts to other applications. A script's text travels unchanged to the application
// that its `tell application "..."` names, over the application bus interface
// (platform/workspace/ApplicationBus.h), and is run there; its result comes back.
// An application that doesn't run is an error: running a script never launches one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tvl::workspace {
class Workspace;
}

namespace tvl::script {

// Error numbers of a failed run.
inline constexpr int kErrorApplicationNotRunning = -600;
inline constexpr int kErrorNoTarget = -2741;  // the text names no application to tell
inline constexpr int kErrorNoAnswer = -1712;  // the application didn't answer in time

struct Result {
  bool ok = true;
  std::string stringValue;  // the result as text
  int numberOfItems = 0;    // items of a list result; 0 for any other result
  int errorNumber = 0;
  std::string errorMessage;
};

// The name X of a script whose first statement is `tell application "X"` (keywords in any
// letter case, \r or \n line ends). None for any other text.
std::optional<std::string> targetApplicationName(std::string_view source);

class ScriptRunner {
 public:
  virtual ~ScriptRunner() = default;
  // Runs source and returns its result. Any thread; blocks until the answer comes.
  // An empty (or blank) script does nothing and succeeds.
  virtual Result executeScript(const std::string& source) = 0;
};

// The real runner: finds the target among the running applications by their Name and
// calls its ExecuteScript. Needs a QCoreApplication.
class ApplicationScriptRunner final : public ScriptRunner {
 public:
  explicit ApplicationScriptRunner(workspace::Workspace& workspace) : workspace_(workspace) {}
  Result executeScript(const std::string& source) override;

 private:
  workspace::Workspace& workspace_;
};

// How long a script may run in the target application.
inline constexpr int kScriptTimeoutMs = 30000;

}  // namespace tvl::script

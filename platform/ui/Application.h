// The application object: the Qt application's event loop with a delegate hook that runs
// once the loop has started, termination, and modal alerts.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tvl::ui {

// Codes of the button that closed an alert: the first button added, the second, the third.
inline constexpr int kAlertFirstButtonReturn = 1000;
inline constexpr int kAlertSecondButtonReturn = 1001;
inline constexpr int kAlertThirdButtonReturn = 1002;

enum class AlertStyle { Warning, Informational, Critical };

// Shows a modal alert with the message, the informative text and a button for each title
// given, in order (an alert given no button gets one "OK"). Returns the code of the button
// that closed it. Needs a QApplication; blocks in a nested event loop.
int runAlert(AlertStyle style, const std::string& message, const std::string& informativeText,
             const std::optional<std::string>& defaultButton,
             const std::optional<std::string>& alternateButton = std::nullopt,
             const std::optional<std::string>& otherButton = std::nullopt);

// Runs work to its end on a thread of its own while the calling (main) thread goes on
// handling events, so that a slow call (an authorization dialog, a privileged request)
// leaves the menus, windows and timers alive. Returns when work has returned. Without a
// Qt application, or off the main thread, work simply runs on the calling thread.
// The caller guards against being entered again through the events handled meanwhile.
void runWhileHandlingEvents(const std::function<void()>& work);

class Application {
 public:
  // The process's application object; the QApplication must exist.
  static Application& sharedApplication();

  // Runs once the event loop has started (the application has finished launching).
  void setDelegate(std::function<void()> applicationDidFinishLaunching);
  // Runs the event loop until terminate; returns the exit code.
  int run();
  // Ends the event loop (at once when it runs; at its start otherwise).
  void terminate();
  bool isTerminating() const { return terminating_; }

  // A tray application has no window to raise: both are requests that the desktop may or
  // may not honour, and nothing waits for them.
  void requestUserAttention();
  void activateIgnoringOtherApps(bool flag);

 private:
  std::function<void()> didFinishLaunching_;
  bool terminating_ = false;
};

}  // namespace tvl::ui

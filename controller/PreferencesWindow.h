// Loads the preferences window from its interface file and connects it: the controller's
// and the privileged side's outlets by object name, the buttons to their actions.
#pragma once

#include <memory>
#include <string>

class QWidget;

namespace tvl {

class AppController;
class TVLSecureToolCommunication;

// The window of the interface file at path, with every outlet it has connected; null (and
// a line on standard error) when the file can't be loaded. The caller owns the window.
std::unique_ptr<QWidget> loadPreferencesWindow(const std::string& path, AppController& controller,
                                               TVLSecureToolCommunication& communication);

}  // namespace tvl

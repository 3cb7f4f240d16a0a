// Launch URLs of the application's scheme, "tovalo:<any>:<remote secret>:<remote key>":
// the values go into the remote window's control tab and its start button is pressed.
// Any other URL goes back to the desktop to open.
#pragma once

#include <QString>
#include <QStringList>

class QTabWidget;
class QWidget;

namespace tvl::script {
class ScriptHost;
}

namespace tvl::mainapp {

inline constexpr char kLaunchURLScheme[] = "tovalo";

// The script that puts fields 1 to 3 of a URL of the scheme into "thecrap", "remotesecret"
// and "remotekey". Each field is a quoted string literal, so any text arrives as given
// and none can add commands of its own.
QString setFieldsScript(const QString& thecrap, const QString& secret, const QString& key);
// The script that presses "screencontrolstart" when it is enabled.
QString pressControlStartScript();
// The script that hands a foreign URL to the desktop.
QString openElsewhereScript(const QString& url);

// A link's secret must not be readable by other accounts: the process's command line
// (/proc/PID/cmdline, which every local account reads) shows the memory that argv's strings
// were in for as long as the process runs. Copies the arguments after the program's name
// to memory of the process's own, points argv at the copies (which live as long as the
// process) and blanks the originals. Called first thing in main.
void takeArgumentsOffCommandLine(int argc, char** argv);

// Handles one URL: selects the second tab of tabControl, then for a URL of the scheme with
// at least four fields sets the fields, shows windowSharing and presses the start button;
// a URL of the scheme with fewer fields stops after the tab switch; any other URL is
// opened elsewhere. Scripts run in host; failures are logged, not reported.
void handleOpenLocation(const QString& url, QTabWidget* tabControl, QWidget* windowSharing,
                        script::ScriptHost& host);

}  // namespace tvl::mainapp

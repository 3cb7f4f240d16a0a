// The main application: the program entry's two steps (the scripting initializer, then
// the application main) and the application itself, which loads the main interface file,
// answers scripts and launch URLs on the application bus interface, docks its windows and
// runs the workflow that its scripts stand in for.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTabWidget>
#include <QTimer>

#include <memory>
#include <vector>

#include "common/ProductContract.h"
#include "mainapp/ProblemReports.h"
#include "mainapp/WhiteDesktop.h"
#include "mainapp/session/SupportSession.h"
#include "platform/script/ScriptInterpreter.h"

namespace tvl::workspace {
class ApplicationBusServer;
}

namespace tvl::mainapp {

inline constexpr auto& kBundleIdentifier = product::kMainAppBundleIdentifier;
inline constexpr auto& kNotificationObject = product::kNotificationObject;
inline constexpr char kInterfaceFile[] = "MainMenu.ui";
inline constexpr int kDockingSettleMilliseconds = 150;

// Calls "_ASKInitialize" when the process defines it (the scripting framework's
// initializer, which must run before the application exists). True when it was called.
bool callScriptingInitializer();

// Runs the application; the result is the process's exit status. A second start hands its
// launch URL (or, without one, an activation) to the running application and ends.
int NSApplicationMain(int argc, char** argv);

// What the application reads of its own bundle (the folder above Contents/MacOS).
struct MainBundleInfo {
  QString bundlePath, resourcePath;
  QString name;        // CFBundleName, "Mac Tovalo" when missing
  QString identifier;  // CFBundleIdentifier, "com.nrvk.tvl" when missing
  // CFBundleIconName: the edition's icon in the icon theme, also its desktop entry's name;
  // "com.nrvk.tvl" when missing.
  QString iconName;
};
MainBundleInfo mainBundleInfo(const QString& executablePath);

// Gives the preferences file at path the keys "probreport" ("1") and "maxtime" ("30") when
// it lacks them, keeping every key that is there; a file that is not a dictionary is left
// alone. False when the file could not be read or written.
bool ensurePreferencesFile(const QString& path);

// Why the fields of a launch URL can't start a session (empty when they can): the secret
// is printable ASCII without blanks, the key a relay port from 1024 to 65535.
QString checkLinkFields(const QString& secret, const QString& key);

// The session length the preferences file at path asks for ("maxtime", minutes; 30 when
// it is missing or not a positive number).
int sessionLengthFromPreferences(const QString& path);

class MainApplication : public QObject, public script::ScriptHost {
  Q_OBJECT
 public:
  explicit MainApplication(MainBundleInfo bundle);
  ~MainApplication() override;

  // Loads the interface file and connects the workflow. False when the file is missing
  // or lacks a window the workflow needs.
  bool loadInterface(const QString& uiFile);
  // Offers the application bus interface; false when another process offers it already.
  bool registerOnBus();
  void showMainWindow();

  // ScriptHost
  QString applicationName() const override { return bundle_.name; }
  QList<QWidget*> windows() const override;
  void activate() override;
  bool openLocation(const QString& url) override;

  // As a launch URL from outside: to the handler of the application's URL events.
  void handleLaunchURL(const QString& url);

  // The workflow of the scripts.
  void startSharing();
  void stopSharing();
  void startControl();
  bool isSharing() const { return sharing_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* window(const char* name) const;
  template <class T>
  T* child(const char* name) const;
  // Both ways in run the same session; false when it did not begin.
  void beginSession(session::SupportSession::Request request);
  void sessionEnded(const QString& reason);
  void showSessionState();
  // A desktop notification in the application's name and with its icon; never waits.
  void notifyUser(const QString& summary, const QString& body);

  MainBundleInfo bundle_;
  std::vector<std::unique_ptr<QWidget>> windows_;
  WhiteDesktop cover_;
  std::unique_ptr<workspace::ApplicationBusServer> server_;
  session::SupportSession session_;
  // A session that fails on the user's side is reported to the organisation (when the
  // user's preference allows it); reports that wait go with the next session.
  ProblemReporter reporter_;
  // Docking runs once a window has come to rest, not at every step of a drag.
  QTimer dockTimer_;
  QPointer<QWidget> lastMoved_;
  bool optionHeldAtMove_ = false;
  bool sharing_ = false;
};

}  // namespace tvl::mainapp

// Starts and stops the desktop cover, which travels in the main application's resources
// as TVLDesktopwhite.app (executable TVLDesktop), from the interface's actions.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

namespace tvl::mainapp {

inline constexpr char kCoverBundle[] = "/TVLDesktopwhite.app";
inline constexpr char kCoverExecutable[] = "/Contents/MacOS/TVLDesktop";
inline constexpr char kKillallProgram[] = "/usr/bin/killall";
inline constexpr char kCoverProcessName[] = "TVLDesktop";

class WhiteDesktop {
 public:
  // resourcePath: the main bundle's resource folder (may contain blanks).
  explicit WhiteDesktop(QString resourcePath) : resourcePath_(std::move(resourcePath)) {}

  // Actions of the interface; the sender is not used.
  void getPath(QObject* sender = nullptr);
  void quitPath(QObject* sender = nullptr);
  void openWindow(QObject* sender = nullptr);

  void doWindow();
  void closeWindow();
  void tvlDesktop();
  void quitDesktop();

  // The path of the cover bundle that tvlDesktop opens.
  QString coverBundlePath() const { return resourcePath_ + kCoverBundle; }

  int thePID = 0;                // the started cover's process id; 0 when it did not start
  QPointer<QWidget> quitWindow;  // brought to the front when the cover starts
  QPointer<QWidget> closeQuit;   // closed when the cover stops

 private:
  QString resourcePath_;
};

}  // namespace tvl::mainapp

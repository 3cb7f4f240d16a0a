// Mac Tovalo: the scripting framework's initializer first, then the application.
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include "common/CommandLine.h"
#include "mainapp/LaunchURL.h"
#include "mainapp/MainApplication.h"

using namespace tvl;

namespace {

// Answered by this process, not handed to a running copy, and without a display. The
// edition's name comes from the bundle the program runs in.
std::optional<int> answerCommandLine(int argc, char** argv) {
  if (commandline::askedOf(argc, argv) == commandline::Question::None) return std::nullopt;
  const QString executable = QFileInfo(QFile::decodeName("/proc/self/exe")).canonicalFilePath();
  const std::string name = mainapp::mainBundleInfo(executable).name.toStdString();
  const std::string command = name == "Mac Brisca" ? "mac-brisca" : "mac-tovalo";
  return commandline::answer(
      argc, argv,
      {name, command + " [URL]",
       name +
           ": remote support. Lets your support person see or control your screen during\n"
           "a support session, through your organisation's relay. Without a URL it opens its\n"
           "window (or brings the running one forward). With a tovalo: link from your\n"
           "support person (tovalo:x:SECRET:KEY) it fills in the session's details and\n"
           "starts it; a running " +
           name +
           " gets the link instead. A URL of any other scheme goes to the\n"
           "desktop's handler of that scheme.\n"});
}

}  // namespace

int main(int argc, char** argv) {
  if (auto status = answerCommandLine(argc, argv)) return *status;
  // A link's secret must not stay readable on the command line.
  mainapp::takeArgumentsOffCommandLine(argc, argv);
  // The program's name, not the command's that started it (mac-tovalo, mac-brisca): Qt would
  // take that for the window class and the data folders.
  QCoreApplication::setApplicationName(QStringLiteral("Mac Tovalo"));
  mainapp::callScriptingInitializer();
  return mainapp::NSApplicationMain(argc, argv);
}

// The assembled application on its own X server: the main window shows (a screenshot is
// kept in the build folder), and sharing on a computer without a relay set up says so
// and leaves no VNC server running (the session with a relay: the product scenario). A
// screen reader finds every control named, and the keyboard alone shares and closes.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <memory>

#include "support/AtSpi.h"
#include "support/Polling.h"

using testsupport::waitFor;

namespace {

QString sendScript(const QString& source) {
  QDBusInterface app("com.nrvk.tvl", "/Application", "com.nrvk.tvl.Application",
                     QDBusConnection::sessionBus());
  QDBusMessage m = app.call("ExecuteScript", source);
  return m.arguments().size() == 4 && m.arguments()[0].toBool() ? m.arguments()[1].toString()
                                                                : "<failed>";
}

// The process id of a running process with that command name, or "" when there is none.
QString processNamed(const QString& name) {
  for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
    QFile comm("/proc/" + pid + "/comm");
    if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name.toUtf8()) return pid;
  }
  return {};
}

class MainWindow : public ::testing::Test {
 protected:
  virtual QString locale() const { return "C.UTF-8"; }
  virtual QString edition() const { return "Mac Tovalo"; }
  virtual bool screenReader() const { return false; }
  void SetUp() override {
    if (screenReader()) testsupport::atspi::enable();
    // Xvfb picks a free display and writes its number to the descriptor we give it.
    xvfb.setProgram("sh");
    xvfb.setArguments({"-c", "exec Xvfb -displayfd 1 -screen 0 1024x700x24 -nolisten tcp"});
    xvfb.start();
    ASSERT_TRUE(waitFor([&] { return xvfb.canReadLine() || xvfb.waitForReadyRead(100); }));
    display = ":" + QString::fromLatin1(xvfb.readLine()).trimmed();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    // The language comes from the locale alone, whatever the machine's own settings.
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) env.remove(name);
    env.insert("LANG", locale());
    // Sanitized builds: libxkbcommon-x11 hands strndup a buffer bounded by its length, not
    // by a NUL, which is correct but what strict string checks refuse.
    if (env.contains("ASAN_OPTIONS"))
      env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":strict_string_checks=0");
    app.setProcessEnvironment(env);
    app.setProgram(qEnvironmentVariable("TVL_BUILD_DIR") + "/Applications/" + edition() +
                   ".app/Contents/MacOS/Mac Tovalo");
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    app.start();
    ASSERT_TRUE(app.waitForStarted());
    ASSERT_TRUE(waitFor([] {
      return QDBusConnection::sessionBus().interface()->isServiceRegistered("com.nrvk.tvl");
    }));
  }
  void TearDown() override {
    app.terminate();
    if (!app.waitForFinished(5000)) app.kill();
    xvfb.terminate();
    xvfb.waitForFinished();
  }
  QString x(const QString& program, const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    p.setProcessEnvironment(env);
    p.start(program, args);
    p.waitForFinished();
    return QString::fromUtf8(p.readAllStandardOutput());
  }

  QProcess xvfb, app;
  QString display;
};

TEST_F(MainWindow, ShowsAndSharesNothingWithoutARelay) {
  ASSERT_TRUE(waitFor([&] {
    return x("xwininfo", {"-root", "-tree"}).contains("\"Mac Tovalo\"") &&
           sendScript("get visible of window \"tvlremote\"") == "true";
  }));
  QTest::qWait(300);  // let it paint
  QString shot = qEnvironmentVariable("TVL_BUILD_DIR") + "/mainapp-main-window.png";
  QFile::remove(shot);
  x("import", {"-window", "root", shot});
  EXPECT_GT(QFileInfo(shot).size(), 1000);

  sendScript(
      "tell application \"Mac Tovalo\"\ractivate\rshow window \"tvlremote\"\rhide window "
      "\"mocktail\"\rtell button \"screensharingstart\" of tab view item \"share\" of tab view "
      "\"tvlremotetabs\" of window \"tvlremote\"\rperform action\rend tell\rend tell\r");
  // No relay settings here: the session ends at once, says why, and starts no server.
  ASSERT_TRUE(waitFor([] {
    return sendScript("get contents of text field \"sharingstatus\" of window \"sharingsheet\"")
        .contains("No support relay is set up");
  }));
  EXPECT_TRUE(processNamed("OSXvncserver").isEmpty());
  sendScript("tell button \"stopsharingnow\" of window \"sharingsheet\" to perform action");
  EXPECT_EQ(sendScript("get visible of window \"sharingsheet\""), "false");
}

// The same windows and session texts for a German user of the other edition: the interface
// file's texts and the session's come from de.lproj, while scripts still find every control
// by its name; the main window bears the edition's name.
class MainWindowInGerman : public MainWindow {
 protected:
  QString locale() const override { return "de_DE.UTF-8"; }
  QString edition() const override { return "Mac Brisca"; }
};

TEST_F(MainWindowInGerman, ShowsWindowsAndSessionTextsInGerman) {
  const QString shareButton =
      "button \"screensharingstart\" of tab view item \"share\" of tab view \"tvlremotetabs\" "
      "of window \"tvlremote\"";
  ASSERT_TRUE(waitFor([&] { return sendScript("get visible of window \"tvlremote\"") == "true"; }));
  EXPECT_EQ(sendScript("get title of window \"tvlremote\""), "Mac Brisca");
  EXPECT_EQ(sendScript("get title of " + shareButton), "Freigabe starten");
  EXPECT_EQ(sendScript("get title of window \"mocktail\""), "Willkommen");
  EXPECT_EQ(sendScript("get title of button \"openremote\" of window \"mocktail\""),
            QString::fromUtf8("Fernsteuerungsfenster öffnen"));

  sendScript("tell " + shareButton + " to perform action");
  // The reason comes from the session's strings table, inside its translated frame.
  ASSERT_TRUE(waitFor([] {
    return sendScript("get contents of text field \"sharingstatus\" of window \"sharingsheet\"")
        .startsWith("Freigabe beendet. Auf diesem Computer ist kein Support-Relay eingerichtet.");
  }));
  EXPECT_EQ(sendScript("get title of button \"stopsharingnow\" of window \"sharingsheet\""),
            QString::fromUtf8("Schließen"));
}

// What a screen reader reads of the windows, and the keyboard alone: Tab to Start Sharing,
// Space, and Return on the sharing window's default button closes it.
class MainWindowForScreenReader : public MainWindow {
 protected:
  bool screenReader() const override { return true; }
  static std::optional<testsupport::atspi::Object> focused() {
    return testsupport::atspi::focused("Mac Tovalo");
  }
};

TEST_F(MainWindowForScreenReader, NamesEveryControlAndWorksByKeyboard) {
  namespace atspi = testsupport::atspi;
  std::vector<atspi::Object> tree;
  ASSERT_TRUE(waitFor([&] {
    tree = atspi::tree("Mac Tovalo");
    return atspi::find(tree, "push button", "Start Sharing") != nullptr;
  })) << "the main window is not on the accessibility bus";
  EXPECT_EQ(atspi::unnamedControls(tree), std::vector<std::string>{});
  for (const char* tab : {"Share", "Control"}) EXPECT_TRUE(atspi::find(tree, "page tab", tab));
  for (const char* field : {"Remote secret", "Remote key"}) {
    const atspi::Object* f = atspi::find(tree, "text", field);
    ASSERT_TRUE(f) << field;
    EXPECT_FALSE(f->description.empty()) << field;
  }

  bool reached = false;
  for (int i = 0; i < 8 && !reached; ++i) {
    reached = waitFor(
        [] {
          auto f = focused();
          return f && f->name == "Start Sharing";
        },
        600);
    if (!reached) x("xdotool", {"key", "Tab"});
  }
  ASSERT_TRUE(reached) << "Start Sharing is not reached by Tab";
  x("xdotool", {"key", "space"});
  // No relay here: the session ends at once and the window offers Close, its default button.
  ASSERT_TRUE(waitFor([&] {
    tree = atspi::tree("Mac Tovalo");
    return atspi::find(tree, "push button", "Close") != nullptr;
  })) << "Space on Start Sharing opened no sharing window";
  EXPECT_EQ(atspi::unnamedControls(tree), std::vector<std::string>{});
  EXPECT_TRUE(atspi::find(tree, "text", "Session code"));
  EXPECT_TRUE(atspi::find(tree, "push button", "Close")->has("default"));
  // The focus is in the sharing window (on the code, whose Return is the window's, or Close).
  ASSERT_TRUE(waitFor([] {
    auto f = focused();
    return f && (f->name == "Session code" || f->name == "Close");
  })) << "the sharing window did not keep the focus; it is on "
      << (focused() ? focused()->role + " " + focused()->name : "nothing");
  x("xdotool", {"key", "Return"});
  EXPECT_TRUE(waitFor([] {
    return sendScript("get visible of window \"sharingsheet\"") == "false";
  })) << "Return did not press Close";
}

}  // namespace

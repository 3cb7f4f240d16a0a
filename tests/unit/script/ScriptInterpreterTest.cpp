// The interpreter against the main application's real interface file: the scripts that
// the controller and the launch-URL handler send, and the errors of bad scripts.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTabWidget>
#include <QUiLoader>

#include <memory>
#include <string_view>
#include <vector>

#include "platform/script/ScriptInterpreter.h"
#include "platform/workspace/ApplicationBus.h"

using namespace tvl;

using script::executeScript;
using script::quotedString;
using script::ScriptResult;

namespace {

// The application object comes from tests/support/QtTestMain.cpp.
QApplication* app() {
  return qApp;
}

class TestHost : public script::ScriptHost {
 public:
  QString applicationName() const override { return "Mac Tovalo"; }
  void activate() override { ++activations; }
  bool openLocation(const QString& url) override {
    opened << url;
    return true;
  }
  int activations = 0;
  QStringList opened;
};

class Interpreter : public ::testing::Test {
 protected:
  void SetUp() override {
    app();
    QFile file(qEnvironmentVariable("TVL_SOURCE_DIR") + "/mainapp/resources/MainMenu.ui");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QUiLoader loader;
    std::unique_ptr<QWidget> root(loader.load(&file));
    ASSERT_TRUE(root);
    // The windows are the root's children, taken out as top-level windows.
    for (QWidget* w : root->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      w->setParent(nullptr, Qt::Window);
      windows.emplace_back(w);
    }
    ASSERT_EQ(windows.size(), 3u);
  }
  QWidget* window(const char* name) {
    for (auto& w : windows)
      if (w->objectName() == name) return w.get();
    return nullptr;
  }
  template <class T>
  T* child(const char* name) {
    for (auto& w : windows)
      if (auto* c = w->findChild<T*>(name)) return c;
    return nullptr;
  }
  ScriptResult run(const QString& source) { return executeScript(source, host); }

  TestHost host;
  std::vector<std::unique_ptr<QWidget>> windows;
};

// The error information travels in ExecuteScript's reply under the interface's keys.
static_assert(std::string_view(script::kErrorNumberKey) == workspace::kErrorNumberKey);
static_assert(std::string_view(script::kErrorMessageKey) == workspace::kErrorMessageKey);

int errorNumber(const ScriptResult& r) {
  return r.errorInfo.value(script::kErrorNumberKey).toInt();
}

TEST_F(Interpreter, BringToFrontActivatesOnlyForItsOwnName) {
  ScriptResult r = run("tell application \"Mac Tovalo\"\ractivate\rend tell\r");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(host.activations, 1);
  r = run("tell application \"Mac Brisca\"\ractivate\rend tell\r");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(errorNumber(r), script::kApplicationNotRunningError);
  EXPECT_EQ(host.activations, 1);
}

TEST_F(Interpreter, StartSharingScriptShowsHidesAndPresses) {
  window("mocktail")->show();
  QSignalSpy pressed(child<QAbstractButton>("screensharingstart"), &QAbstractButton::clicked);
  ScriptResult r =
      run("tell application \"Mac Tovalo\"\ractivate\rshow window \"tvlremote\"\rhide window "
          "\"mocktail\"\rtell button \"screensharingstart\" of tab view item \"share\" of tab view "
          "\"tvlremotetabs\" of window \"tvlremote\"\rperform action\rend tell\rend tell\r");
  ASSERT_TRUE(r.ok) << r.errorInfo.value(script::kErrorMessageKey).toString().toStdString();
  EXPECT_EQ(host.activations, 1);
  EXPECT_TRUE(window("tvlremote")->isVisible());
  EXPECT_FALSE(window("mocktail")->isVisible());
  EXPECT_EQ(pressed.count(), 1);
}

TEST_F(Interpreter, StopSharingScriptPressesTheSheetButton) {
  QSignalSpy pressed(child<QAbstractButton>("stopsharingnow"), &QAbstractButton::clicked);
  ScriptResult r =
      run("tell application \"Mac Tovalo\"\ractivate\rshow window \"tvlremote\"\rhide window "
          "\"mocktail\"\rtell button \"stopsharingnow\" of window \"sharingsheet\"\rperform "
          "action\rend tell\rend tell\r");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(pressed.count(), 1);
}

TEST_F(Interpreter, SharingProbeAnswersTheSheetsVisibility) {
  const char* probe =
      "tell application \"Mac Tovalo\"\rget visible of window \"sharingsheet\"\rend tell\r";
  ScriptResult r = run(probe);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.text, "false");
  EXPECT_EQ(r.items, 0);
  window("sharingsheet")->show();
  EXPECT_EQ(run(probe).text, "true");
}

TEST_F(Interpreter, LaunchUrlScriptsFillFieldsAndPressIfEnabled) {
  ScriptResult r =
      run("set thecrap to \"x\"\rset contents of text field \"remotesecret\" of tab view item "
          "\"control\" of tab view \"tvlremotetabs\" of window \"tvlremote\" to \"SECRET\"\rset "
          "contents of text field \"remotekey\" of tab view item \"control\" of tab view "
          "\"tvlremotetabs\" of window \"tvlremote\" to \"KEY\"\r");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(child<QLineEdit>("remotesecret")->text(), "SECRET");
  EXPECT_EQ(child<QLineEdit>("remotekey")->text(), "KEY");

  const char* press =
      "if enabled of button \"screencontrolstart\" of tab view item \"control\" of tab view "
      "\"tvlremotetabs\" of window \"tvlremote\" is true then \rtell button "
      "\"screencontrolstart\" of tab view item \"control\" of tab view \"tvlremotetabs\" of "
      "window \"tvlremote\" to perform action \rend if";
  auto* button = child<QAbstractButton>("screencontrolstart");
  QSignalSpy pressed(button, &QAbstractButton::clicked);
  EXPECT_TRUE(run(press).ok);
  EXPECT_EQ(pressed.count(), 1);
  button->setEnabled(false);
  EXPECT_TRUE(run(press).ok);
  EXPECT_EQ(pressed.count(), 1);
}

TEST_F(Interpreter, ForeignUrlGoesToTheDesktopOpener) {
  ScriptResult r = run(
      "tell application \"System Events\"\ropen location \"https://example.org/a?b\"\rend tell\r");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(host.opened, QStringList{"https://example.org/a?b"});
}

TEST_F(Interpreter, BadScriptsReportErrorsAndChangeNothing) {
  auto* secret = child<QLineEdit>("remotesecret");
  secret->setText("before");
  struct Case {
    const char* source;
    int number;
  } cases[] = {
      // A field pasted unquoted with a double quote in it: no longer compiles.
      {"set contents of text field \"remotesecret\" of tab view item \"control\" of tab view "
       "\"tvlremotetabs\" of window \"tvlremote\" to \"a\"b\"\r",
       script::kSyntaxError},
      {"tell application \"Mac Tovalo\"\rshow window \"tvlremote\"\r", script::kSyntaxError},
      {"show window \"tvlremote\"\rset contents of text field \"remotesecret\" of window "
       "\"tvlremote\" to \"x\"\rfrobnicate window \"tvlremote\"\r",
       script::kSyntaxError},
      {"set contents of text field \"remotesecret\" of window \"tvlremote\" to \"\\q\"",
       script::kSyntaxError},
      {"set contents of text field \"remotesecret\" of window \"tvlremote\" to \"open",
       script::kSyntaxError},
      // Runs only after every object was found: the first line must not happen.
      {"set contents of text field \"remotesecret\" of window \"tvlremote\" to \"x\"\rshow "
       "window \"tvlremote\"\rtell button \"nosuchbutton\" of window \"sharingsheet\" to perform "
       "action\r",
       script::kNoSuchObjectError},
      {"hide window \"nosuchwindow\"", script::kNoSuchObjectError},
      // The right name on the wrong kind of object.
      {"tell button \"remotesecret\" of window \"tvlremote\" to perform action",
       script::kNoSuchObjectError},
      {"tell text field \"remotesecret\" of window \"tvlremote\" to perform action",
       script::kNotUnderstoodError},
      {"set contents of text field \"remotesecret\" of window \"tvlremote\" to undefinedvar",
       script::kUndefinedVariableError},
      {"if contents of text field \"remotesecret\" of window \"tvlremote\" then\ractivate\rend if",
       script::kNotUnderstoodError},
  };
  for (const Case& c : cases) {
    ScriptResult r = run(c.source);
    EXPECT_FALSE(r.ok) << c.source;
    EXPECT_EQ(errorNumber(r), c.number) << c.source;
    EXPECT_FALSE(r.errorInfo.value(script::kErrorMessageKey).toString().isEmpty());
  }
  EXPECT_EQ(secret->text(), "before");
  EXPECT_FALSE(window("tvlremote")->isVisible());
  EXPECT_EQ(host.activations, 0);
}

TEST_F(Interpreter, NestedTellsVariablesAndLineEnds) {
  // Relative objects inside tell blocks, \n and \r\n line ends, variables, else, comments.
  ScriptResult r =
      run("tell application \"Mac Tovalo\"\r\n"
          "  set v to \"two\\nlines\" -- a comment\n"
          "  tell window \"tvlremote\"\n"
          "    tell tab view item \"control\" of tab view \"tvlremotetabs\"\n"
          "      set contents of text field \"remotekey\" to v\n"
          "    end tell\n"
          "    if visible is true then\n      hide window \"tvlremote\"\n"
          "    else\n      get name of tab view \"tvlremotetabs\"\n    end if\n"
          "  end tell\nend tell");
  ASSERT_TRUE(r.ok) << r.errorInfo.value(script::kErrorMessageKey).toString().toStdString();
  EXPECT_EQ(child<QLineEdit>("remotekey")->text(), "two\nlines");
  EXPECT_EQ(r.text, "tvlremotetabs");
}

TEST(QuotedString, AnyTextSurvivesAsOneLiteral) {
  app();
  TestHost host;
  QWidget window;
  window.setObjectName("w");
  auto* field = new QLineEdit(&window);  // owned by the window
  field->setObjectName("f");
  const QString texts[] = {"plain",
                           "",
                           "quote \" inside",
                           "back\\slash\\",
                           "\\\"",
                           "cr\rlf\ntab\t",
                           "\" to \"x\"\rhide window \"w\"\rset contents of text field \"f\" "
                           "of window \"w\" to \"pwned",
                           QString::fromUtf8("Grüße ✓")};
  for (const QString& t : texts) {
    ScriptResult r = executeScript(
        "set contents of text field \"f\" of window \"w\" to " + quotedString(t), host);
    ASSERT_TRUE(r.ok) << t.toStdString();
    EXPECT_EQ(field->text(), t);
  }
  EXPECT_EQ(quotedString("a\"b\\c\r"), "\"a\\\"b\\\\c\\r\"");
}

}  // namespace

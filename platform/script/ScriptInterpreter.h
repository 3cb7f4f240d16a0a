// The interpreter of the script language that the product's applications send each other:
// tell blocks, showing and hiding windows, pressing buttons, reading and setting the
// properties of windows, tab views, buttons and text fields, variables, if blocks and
// "open location". Objects are the application's widgets, found by objectName:
//   window        a top-level widget
//   tab view      a QTabWidget          tab view item   one of its pages
//   button        a QAbstractButton     text field      a QLineEdit
// A script is compiled and all its object references are checked before any of it runs,
// so a script that does not compile or names a missing object changes nothing.
#pragma once

#include <QList>
#include <QString>
#include <QVariantMap>

class QWidget;

namespace tvl::script {

// Keys (those of the application bus interface) and numbers of the error information of
// a failed run.
inline constexpr char kErrorMessageKey[] = "ErrorMessage";
inline constexpr char kErrorNumberKey[] = "ErrorNumber";
inline constexpr int kSyntaxError = -2741;         // the text does not compile
inline constexpr int kNoSuchObjectError = -1728;   // a named object does not exist
inline constexpr int kNotUnderstoodError = -1708;  // the object does not do that
inline constexpr int kApplicationNotRunningError = -600;
inline constexpr int kUndefinedVariableError = -2753;
inline constexpr int kOpenLocationError = -10814;

struct ScriptResult {
  bool ok = false;
  QString text;   // the string value of the script's result ("" when it has none)
  int items = 0;  // the number of items when the result is a list (this language makes none)
  QVariantMap errorInfo;  // message and number when !ok
};

// What a script reaches of the application it runs in.
class ScriptHost {
 public:
  virtual ~ScriptHost() = default;
  // The name that `tell application "..."` uses for this application.
  virtual QString applicationName() const = 0;
  // The windows the script can name; by default the application's top-level widgets.
  virtual QList<QWidget*> windows() const;
  // Brings the application to the front.
  virtual void activate() = 0;
  // Hands url to the desktop's opener; false when it could not be handed over.
  virtual bool openLocation(const QString& url) = 0;
};

// Compiles and runs source in host. Never throws for a bad script: the result says.
ScriptResult executeScript(const QString& source, ScriptHost& host);

// text as a string literal of the language: in double quotes, with backslash, double
// quote, carriage return, line feed and tab escaped, so that any text survives as one
// value whatever it contains.
QString quotedString(const QString& text);

}  // namespace tvl::script

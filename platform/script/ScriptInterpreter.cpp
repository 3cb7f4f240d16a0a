#include "platform/script/ScriptInterpreter.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QStackedWidget>
#include <QTabWidget>
#include <QVariant>
#include <QWidget>

#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace tvl::script {

QList<QWidget*> ScriptHost::windows() const {
  return QApplication::topLevelWidgets();
}

QString quotedString(const QString& text) {
  QString out = "\"";
  for (QChar c : text) {
    switch (c.unicode()) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out + "\"";
}

namespace {

// A failed compile or run; caught at the top and turned into error information.
struct ScriptError {
  int number;
  QString message;
};

// ---- Lexer ----

struct Token {
  enum Kind { Word, String, Newline, End } kind;
  QString text;  // a word in lower case, or the decoded string
  int line;
};

std::vector<Token> tokenize(const QString& s) {
  std::vector<Token> tokens;
  int line = 1;
  auto newline = [&] {
    if (tokens.empty() || tokens.back().kind != Token::Newline)
      tokens.push_back({Token::Newline, {}, line});
    ++line;
  };
  for (qsizetype i = 0; i < s.size();) {
    QChar c = s[i];
    if (c == '\r' || c == '\n') {
      // \r\n is one line end.
      if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
      newline();
      ++i;
    } else if (c == ' ' || c == '\t') {
      ++i;
    } else if (c == QChar(0x00AC)) {
      // Continuation character: the statement goes on on the next line.
      ++i;
      while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
      if (i < s.size() && s[i] == '\r') ++i;
      if (i < s.size() && s[i] == '\n') ++i;
      ++line;
    } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
      while (i < s.size() && s[i] != '\r' && s[i] != '\n') ++i;
    } else if (c == '"') {
      QString text;
      int startLine = line;
      ++i;
      for (;;) {
        if (i >= s.size())
          throw ScriptError{
              kSyntaxError,
              QString("Expected \"\"\" but found end of script (line %1).").arg(startLine)};
        QChar d = s[i++];
        if (d == '"') break;
        if (d == '\\') {
          if (i >= s.size()) continue;  // reported as unterminated on the next round
          QChar e = s[i++];
          switch (e.unicode()) {
            case '\\':
              text += '\\';
              break;
            case '"':
              text += '"';
              break;
            case 'r':
              text += '\r';
              break;
            case 'n':
              text += '\n';
              break;
            case 't':
              text += '\t';
              break;
            default:
              throw ScriptError{
                  kSyntaxError,
                  QString("Unknown escape \\%1 in a string (line %2).").arg(e).arg(line)};
          }
        } else {
          if (d == '\r' || d == '\n') ++line;  // a string may span lines
          text += d;
        }
      }
      tokens.push_back({Token::String, text, startLine});
    } else if (c.isLetter() || c == '_') {
      qsizetype start = i;
      while (i < s.size() && (s[i].isLetterOrNumber() || s[i] == '_')) ++i;
      tokens.push_back({Token::Word, s.mid(start, i - start).toLower(), line});
    } else {
      throw ScriptError{kSyntaxError,
                        QString("Unexpected character \"%1\" (line %2).").arg(c).arg(line)};
    }
  }
  newline();
  tokens.push_back({Token::End, {}, line});
  return tokens;
}

// ---- Syntax tree ----

enum class ObjectClass { Window, TabView, TabViewItem, Button, TextField };

QString className(ObjectClass k) {
  switch (k) {
    case ObjectClass::Window:
      return "window";
    case ObjectClass::TabView:
      return "tab view";
    case ObjectClass::TabViewItem:
      return "tab view item";
    case ObjectClass::Button:
      return "button";
    case ObjectClass::TextField:
      return "text field";
  }
  return {};
}

// `button "b" of tab view "t" of window "w"`: parts from the innermost out.
struct Specifier {
  std::vector<std::pair<ObjectClass, QString>> parts;
  QString describe() const {
    QStringList s;
    for (auto& [k, name] : parts) s << className(k) + " \"" + name + "\"";
    return s.join(" of ");
  }
};

enum class Property { Visible, Enabled, Contents, Title, Name };

struct Expr {
  enum Kind { Text, Boolean, Variable, PropertyOf, Object, Equals, NotEquals } kind;
  QString text;  // Text, Variable
  bool boolean = false;
  Property property{};
  std::optional<Specifier> spec;  // PropertyOf (absent: the current tell target), Object
  std::unique_ptr<Expr> lhs, rhs;
};

struct Stmt {
  enum Kind {
    TellApplication,
    TellObject,
    If,
    Activate,
    Show,
    Hide,
    PerformAction,
    Get,
    SetVariable,
    SetProperty,
    OpenLocation,
    Evaluate
  } kind;
  QString name;  // application or variable name
  std::optional<Specifier> spec;
  Property property{};
  std::unique_ptr<Expr> expr;
  std::vector<Stmt> body, elseBody;
};

// ---- Parser ----

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : t_(std::move(tokens)) {}

  std::vector<Stmt> parseScript() {
    std::vector<Stmt> body = parseBlock();
    if (peek().kind != Token::End) fail("end of script");
    return body;
  }

 private:
  const Token& peek(size_t ahead = 0) const { return t_[std::min(pos_ + ahead, t_.size() - 1)]; }
  bool isWord(const char* w, size_t ahead = 0) const {
    return peek(ahead).kind == Token::Word && peek(ahead).text == w;
  }
  bool accept(const char* w) {
    if (!isWord(w)) return false;
    ++pos_;
    return true;
  }
  [[noreturn]] void fail(const QString& expected) const {
    const Token& t = peek();
    QString found = t.kind == Token::Word      ? "\"" + t.text + "\""
                    : t.kind == Token::String  ? "a string"
                    : t.kind == Token::Newline ? "line end"
                                               : "end of script";
    throw ScriptError{
        kSyntaxError,
        QString("Expected %1 but found %2 (line %3).").arg(expected, found).arg(t.line)};
  }
  void expect(const char* w) {
    if (!accept(w)) fail(QString("\"%1\"").arg(w));
  }
  QString expectString() {
    if (peek().kind != Token::String) fail("a string");
    return t_[pos_++].text;
  }
  void expectLineEnd() {
    if (peek().kind == Token::Newline) {
      ++pos_;
      return;
    }
    if (peek().kind != Token::End) fail("line end");
  }
  void skipNewlines() {
    while (peek().kind == Token::Newline) ++pos_;
  }

  // Statements until "end", "else" or the end of the script.
  std::vector<Stmt> parseBlock() {
    std::vector<Stmt> body;
    for (skipNewlines(); peek().kind != Token::End && !isWord("end") && !isWord("else");
         skipNewlines()) {
      body.push_back(parseStatement(true));
    }
    return body;
  }

  void parseBlockEnd(const char* what) {
    expect("end");
    accept(what);  // "end tell" or just "end"
    expectLineEnd();
  }

  std::optional<ObjectClass> parseClass() {
    if (accept("window")) return ObjectClass::Window;
    if (accept("button")) return ObjectClass::Button;
    if (isWord("text") && isWord("field", 1)) {
      pos_ += 2;
      return ObjectClass::TextField;
    }
    if (isWord("tab") && isWord("view", 1)) {
      pos_ += 2;
      return accept("item") ? ObjectClass::TabViewItem : ObjectClass::TabView;
    }
    return std::nullopt;
  }
  bool atClass() const {
    return isWord("window") || isWord("button") || (isWord("text") && isWord("field", 1)) ||
           (isWord("tab") && isWord("view", 1));
  }

  Specifier parseSpecifier() {
    Specifier spec;
    do {
      auto k = parseClass();
      if (!k) fail("an object class");
      spec.parts.emplace_back(*k, expectString());
    } while (accept("of"));
    return spec;
  }

  std::optional<Property> propertyWord() const {
    static const std::map<QString, Property> words = {{"visible", Property::Visible},
                                                      {"enabled", Property::Enabled},
                                                      {"contents", Property::Contents},
                                                      {"title", Property::Title},
                                                      {"name", Property::Name}};
    if (peek().kind != Token::Word) return std::nullopt;
    auto it = words.find(peek().text);
    return it == words.end() ? std::nullopt : std::optional(it->second);
  }

  std::unique_ptr<Expr> parsePrimary() {
    auto e = std::make_unique<Expr>();
    if (peek().kind == Token::String) {
      e->kind = Expr::Text;
      e->text = t_[pos_++].text;
    } else if (isWord("true") || isWord("false")) {
      e->kind = Expr::Boolean;
      e->boolean = t_[pos_++].text == "true";
    } else if (auto p = propertyWord()) {
      ++pos_;
      e->kind = Expr::PropertyOf;
      e->property = *p;
      if (accept("of")) e->spec = parseSpecifier();
    } else if (atClass()) {
      e->kind = Expr::Object;
      e->spec = parseSpecifier();
    } else if (peek().kind == Token::Word && !isKeyword(peek().text)) {
      e->kind = Expr::Variable;
      e->text = t_[pos_++].text;
    } else {
      fail("an expression");
    }
    return e;
  }

  std::unique_ptr<Expr> parseExpression() {
    auto lhs = parsePrimary();
    if (!accept("is")) return lhs;
    auto e = std::make_unique<Expr>();
    e->kind = accept("not") ? Expr::NotEquals : Expr::Equals;
    e->lhs = std::move(lhs);
    e->rhs = parsePrimary();
    return e;
  }

  static bool isKeyword(const QString& w) {
    static const QStringList words = {"tell", "end",  "if",       "then",   "else", "to",
                                      "of",   "is",   "not",      "set",    "get",  "show",
                                      "hide", "open", "activate", "perform"};
    return words.contains(w);
  }

  // One statement; multiLine is false for the command of "tell ... to" and one-line "if".
  Stmt parseStatement(bool multiLine) {
    Stmt s{};
    if (accept("tell")) {
      if (accept("application")) {
        s.kind = Stmt::TellApplication;
        s.name = expectString();
      } else {
        s.kind = Stmt::TellObject;
        s.spec = parseSpecifier();
      }
      if (accept("to")) {
        s.body.push_back(parseStatement(false));
        if (multiLine) expectLineEnd();
      } else {
        if (!multiLine) fail("\"to\"");
        expectLineEnd();
        s.body = parseBlock();
        parseBlockEnd("tell");
      }
      return s;
    }
    if (accept("if")) {
      s.kind = Stmt::If;
      s.expr = parseExpression();
      expect("then");
      if (peek().kind == Token::Newline && multiLine) {
        expectLineEnd();
        s.body = parseBlock();
        if (accept("else")) {
          expectLineEnd();
          s.elseBody = parseBlock();
        }
        parseBlockEnd("if");
      } else {
        s.body.push_back(parseStatement(false));
        if (multiLine) expectLineEnd();
      }
      return s;
    }
    if (accept("activate")) {
      s.kind = Stmt::Activate;
    } else if (accept("show")) {
      s.kind = Stmt::Show;
      s.spec = parseSpecifier();
    } else if (accept("hide")) {
      s.kind = Stmt::Hide;
      s.spec = parseSpecifier();
    } else if (accept("perform")) {
      expect("action");
      s.kind = Stmt::PerformAction;
      if (accept("of")) s.spec = parseSpecifier();
    } else if (accept("get")) {
      s.kind = Stmt::Get;
      s.expr = parseExpression();
    } else if (accept("set")) {
      if (auto p = propertyWord(); p && isWord("of", 1)) {
        pos_ += 2;
        s.kind = Stmt::SetProperty;
        s.property = *p;
        s.spec = parseSpecifier();
      } else {
        if (peek().kind != Token::Word || isKeyword(peek().text) || propertyWord())
          fail("a variable name");
        s.kind = Stmt::SetVariable;
        s.name = t_[pos_++].text;
      }
      expect("to");
      s.expr = parseExpression();
    } else if (accept("open")) {
      expect("location");
      s.kind = Stmt::OpenLocation;
      s.expr = parseExpression();
    } else {
      s.kind = Stmt::Evaluate;
      s.expr = parseExpression();
    }
    if (multiLine) expectLineEnd();
    return s;
  }

  std::vector<Token> t_;
  size_t pos_ = 0;
};

// ---- Evaluation ----

// A value: nothing, a text or a truth value.
using Value = QVariant;

QString textOf(const Value& v) {
  if (v.typeId() == QMetaType::Bool) return v.toBool() ? "true" : "false";
  return v.toString();
}

struct Target {
  enum Kind { Application, OtherApplication, Object } kind;
  QWidget* object = nullptr;
};

// Runs the syntax tree. With dryRun it resolves every object and evaluates every
// expression (both branches of each if) but changes nothing, so that a script whose
// objects do not all exist is refused before it touches anything.
class Runner {
 public:
  Runner(ScriptHost& host, bool dryRun) : host_(host), dryRun_(dryRun) {}

  void run(const std::vector<Stmt>& body) {
    for (const Stmt& s : body) runStatement(s);
  }
  const Value& result() const { return result_; }

 private:
  const Target& current() const { return targets_.back(); }

  void requireApplication(const char* what) const {
    if (current().kind == Target::OtherApplication)
      throw ScriptError{kApplicationNotRunningError,
                        QString("The application can't be reached to %1.").arg(what)};
  }

  QWidget* resolve(const Specifier& spec) const {
    requireApplication("resolve an object");
    QWidget* container = nullptr;
    size_t i = spec.parts.size();
    if (spec.parts.back().first == ObjectClass::Window) {
      const QString& name = spec.parts.back().second;
      for (QWidget* w : host_.windows())
        if (w->isWindow() && w->objectName() == name) container = w;
      if (!container) throw missing(spec, spec.parts.size() - 1);
      --i;
    } else {
      container = current().object;  // relative to the object that is being told
      if (!container) throw missing(spec, spec.parts.size() - 1);
    }
    while (i-- > 0) {
      auto [k, name] = spec.parts[i];
      QWidget* found = nullptr;
      for (QWidget* w : container->findChildren<QWidget*>(name)) {
        if (isOfClass(w, k)) {
          found = w;
          break;
        }
      }
      if (!found) throw missing(spec, i);
      container = found;
    }
    return container;
  }

  static bool isOfClass(QWidget* w, ObjectClass k) {
    switch (k) {
      case ObjectClass::Window:
        return w->isWindow();
      case ObjectClass::TabView:
        return qobject_cast<QTabWidget*>(w) != nullptr;
      case ObjectClass::TabViewItem: {
        // A page of a tab widget lives in the tab widget's stack.
        auto* stack = qobject_cast<QStackedWidget*>(w->parentWidget());
        return stack && qobject_cast<QTabWidget*>(stack->parentWidget());
      }
      case ObjectClass::Button:
        return qobject_cast<QAbstractButton*>(w) != nullptr;
      case ObjectClass::TextField:
        // A label is a text field that can't be edited, as on the platform of the scripts.
        return qobject_cast<QLineEdit*>(w) != nullptr || qobject_cast<QLabel*>(w) != nullptr;
    }
    return false;
  }

  static ScriptError missing(const Specifier& spec, size_t part) {
    Specifier tail;
    tail.parts.assign(spec.parts.begin() + static_cast<std::ptrdiff_t>(part), spec.parts.end());
    return {kNoSuchObjectError, "Can't get " + tail.describe() + "."};
  }

  [[noreturn]] static void notUnderstood(const QString& what) {
    throw ScriptError{kNotUnderstoodError, what};
  }

  QWidget* targetOf(const std::optional<Specifier>& spec) const {
    if (spec) return resolve(*spec);
    requireApplication("get a property");
    if (!current().object) notUnderstood("The application has no such property.");
    return current().object;
  }

  Value getProperty(QWidget* w, Property p) const {
    switch (p) {
      case Property::Visible:
        return w->isVisible();
      case Property::Enabled:
        return w->isEnabled();
      case Property::Name:
        return w->objectName();
      case Property::Contents:
        if (auto* field = qobject_cast<QLineEdit*>(w)) return field->text();
        if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
        notUnderstood("Only a text field has contents.");
      case Property::Title:
        if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
        return w->windowTitle();
    }
    return {};
  }

  void setProperty(QWidget* w, Property p, const Value& v) {
    bool isBool = v.typeId() == QMetaType::Bool;
    switch (p) {
      case Property::Visible:
      case Property::Enabled:
        if (!isBool) notUnderstood("Can't make \"" + textOf(v) + "\" into a boolean.");
        if (dryRun_) return;
        if (p == Property::Visible)
          w->setVisible(v.toBool());
        else
          w->setEnabled(v.toBool());
        return;
      case Property::Contents:
        if (auto* field = qobject_cast<QLineEdit*>(w)) {
          if (!dryRun_) field->setText(textOf(v));
          return;
        }
        if (auto* label = qobject_cast<QLabel*>(w)) {
          if (!dryRun_) label->setText(textOf(v));
          return;
        }
        notUnderstood("Only a text field has contents.");
      case Property::Title:
      case Property::Name:
        notUnderstood("That property can't be set.");
    }
  }

  Value evaluate(const Expr& e) {
    switch (e.kind) {
      case Expr::Text:
        return e.text;
      case Expr::Boolean:
        return e.boolean;
      case Expr::Variable: {
        auto it = variables_.find(e.text);
        if (it == variables_.end())
          throw ScriptError{kUndefinedVariableError,
                            QString("The variable %1 is not defined.").arg(e.text)};
        return it->second;
      }
      case Expr::PropertyOf:
        return getProperty(targetOf(e.spec), e.property);
      case Expr::Object:
        return resolve(*e.spec)->objectName();
      case Expr::Equals:
      case Expr::NotEquals: {
        Value a = evaluate(*e.lhs), b = evaluate(*e.rhs);
        bool same = a.typeId() == b.typeId() && a == b;
        return e.kind == Expr::Equals ? same : !same;
      }
    }
    return {};
  }

  void runStatement(const Stmt& s) {
    switch (s.kind) {
      case Stmt::TellApplication: {
        Target::Kind k = Target::OtherApplication;
        if (s.name == host_.applicationName()) k = Target::Application;
        // "System Events" is the desktop itself: it only opens locations here.
        if (k == Target::OtherApplication && s.name != "System Events")
          throw ScriptError{kApplicationNotRunningError,
                            QString("Application \"%1\" isn't running.").arg(s.name)};
        targets_.push_back({k, nullptr});
        run(s.body);
        targets_.pop_back();
        return;
      }
      case Stmt::TellObject:
        targets_.push_back({Target::Object, resolve(*s.spec)});
        run(s.body);
        targets_.pop_back();
        return;
      case Stmt::If: {
        Value c = evaluate(*s.expr);
        if (c.typeId() != QMetaType::Bool)
          notUnderstood("Can't make \"" + textOf(c) + "\" into a boolean.");
        if (dryRun_) {
          run(s.body);
          run(s.elseBody);
        } else {
          run(c.toBool() ? s.body : s.elseBody);
        }
        return;
      }
      case Stmt::Activate:
        requireApplication("activate");
        if (!dryRun_) host_.activate();
        result_ = {};
        return;
      case Stmt::Show:
      case Stmt::Hide: {
        QWidget* w = resolve(*s.spec);
        if (!dryRun_) {
          if (s.kind == Stmt::Show) {
            w->show();
            w->raise();
          } else {
            w->hide();
          }
        }
        result_ = {};
        return;
      }
      case Stmt::PerformAction: {
        QWidget* w = targetOf(s.spec);
        auto* button = qobject_cast<QAbstractButton*>(w);
        if (!button) notUnderstood("Only a button can perform an action.");
        if (!dryRun_) button->click();
        result_ = {};
        return;
      }
      case Stmt::Get:
      case Stmt::Evaluate:
        result_ = evaluate(*s.expr);
        return;
      case Stmt::SetVariable:
        variables_[s.name] = evaluate(*s.expr);
        result_ = variables_[s.name];
        return;
      case Stmt::SetProperty: {
        Value v = evaluate(*s.expr);
        setProperty(resolve(*s.spec), s.property, v);
        result_ = v;
        return;
      }
      case Stmt::OpenLocation: {
        QString url = textOf(evaluate(*s.expr));
        if (!dryRun_ && !host_.openLocation(url))
          throw ScriptError{kOpenLocationError, "Can't open location \"" + url + "\"."};
        result_ = {};
        return;
      }
    }
  }

  ScriptHost& host_;
  bool dryRun_;
  std::vector<Target> targets_{{Target::Application, nullptr}};
  std::map<QString, Value> variables_;
  Value result_;
};

}  // namespace

ScriptResult executeScript(const QString& source, ScriptHost& host) {
  ScriptResult r;
  try {
    std::vector<Stmt> script = Parser(tokenize(source)).parseScript();
    Runner(host, true).run(script);
    Runner runner(host, false);
    runner.run(script);
    r.ok = true;
    r.text = textOf(runner.result());
  } catch (const ScriptError& e) {
    r.errorInfo.insert(kErrorMessageKey, e.message);
    r.errorInfo.insert(kErrorNumberKey, e.number);
  }
  return r;
}

}  // namespace tvl::script

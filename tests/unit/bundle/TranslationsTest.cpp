// The translations shipped in the assembled bundles: every language folder beside
// English.lproj has a text for every key of every English table and for every text of every
// interface file, keeps the placeholders the program fills in, and carries no key that names
// nothing (a renamed widget or a misspelt key would show English silently). A failure lists
// what a translator has to add or fix.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/bundle/Bundle.h"
#include "platform/bundle/QtTranslations.h"

using namespace tvl;

namespace fs = std::filesystem;
using bundle::StringTable;

namespace {

fs::path applications() {
  return fs::path(std::getenv("TVL_BUILD_DIR")) / "Applications";
}

StringTable readTable(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  StringTable table;
  std::string error;
  EXPECT_TRUE(bundle::parseStringsFile(text.str(), &table, &error)) << file << ": " << error;
  return table;
}

// "objectName.property" of each text of an interface file that a user reads.
std::set<std::string> interfaceTexts(const fs::path& ui) {
  QFile file(QString::fromStdString(ui.string()));
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << ui;
  QXmlStreamReader xml(&file);
  std::vector<std::string> widgets;
  std::vector<QString> elements;
  std::string property;
  int listItems = 0;  // entries of a combo box (numbers here, the same in every language)
  std::set<std::string> keys;
  while (!xml.atEnd()) {
    xml.readNext();
    if (xml.isStartElement()) {
      const QString name = xml.name().toString();
      // A widget's own <item> is a list entry; a layout's holds a widget.
      if (name == "item" && !elements.empty() && elements.back() == "widget") ++listItems;
      if (name == "widget")
        widgets.push_back(xml.attributes().value("name").toString().toStdString());
      if (name == "property" || name == "attribute")
        property = xml.attributes().value("name").toString().toStdString();
      if (name == "string" && listItems == 0 && !widgets.empty() &&
          xml.attributes().value("notr") != u"true") {
        if (!xml.readElementText().trimmed().isEmpty())
          keys.insert(widgets.back() + "." + property);
        continue;  // the reader stands on </string> now
      }
      elements.push_back(name);
    } else if (xml.isEndElement()) {
      elements.pop_back();
      if (xml.name() == u"widget") widgets.pop_back();
      if (xml.name() == u"item" && !elements.empty() && elements.back() == "widget" &&
          listItems > 0)
        --listItems;
    }
  }
  EXPECT_FALSE(xml.hasError()) << ui << ": " << xml.errorString().toStdString();
  return keys;
}

// The placeholders a text is filled in with, in order: "%@", "%1", "%d"...
std::vector<std::string> placeholders(const std::string& text) {
  static const QRegularExpression pattern(R"(%(\d+\$)?[@dsi]|%\d)");
  std::vector<std::string> found;
  for (auto it = pattern.globalMatch(QString::fromStdString(text)); it.hasNext();)
    found.push_back(it.next().captured().toStdString());
  return found;
}

std::vector<fs::path> bundles() {
  std::vector<fs::path> found;
  for (const char* edition : {"Mac Tovalo.app", "Mac Brisca.app"}) {
    found.push_back(applications() / edition);
    for (const auto& entry :
         fs::directory_iterator(applications() / edition / "Contents/Resources"))
      if (entry.path().extension() == ".app") found.push_back(entry.path());
  }
  return found;
}

}  // namespace

TEST(Translations, EveryLanguageHasEveryTextOfEveryBundle) {
  int tablesChecked = 0;
  for (const fs::path& app : bundles()) {
    const fs::path resources = app / "Contents/Resources";
    std::map<std::string, std::set<std::string>> englishKeys;  // table -> keys
    std::map<std::string, StringTable> english;
    std::error_code noEnglish;
    for (const auto& e : fs::directory_iterator(resources / "English.lproj", noEnglish))
      if (e.path().extension() == ".strings") {
        english[e.path().stem()] = readTable(e.path());
        for (const auto& [key, text] : english[e.path().stem()])
          englishKeys[e.path().stem()].insert(key);
      }
    for (const fs::path& folder : {resources, resources / "English.lproj"}) {
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.path().extension() == ".ui") englishKeys[e.path().stem()] = interfaceTexts(e.path());
    }
    if (englishKeys.empty()) continue;  // a bundle that shows no text (the cover)
    // German is complete in every bundle that shows texts; other languages are checked alike.
    EXPECT_TRUE(fs::is_directory(resources / "de.lproj")) << app;
    for (const auto& lproj : fs::directory_iterator(resources)) {
      if (lproj.path().extension() != ".lproj" || lproj.path().filename() == "English.lproj")
        continue;
      for (const auto& [table, keys] : englishKeys) {
        const fs::path file = lproj.path() / (table + ".strings");
        StringTable translated = fs::exists(file) ? readTable(file) : StringTable{};
        ++tablesChecked;
        for (const std::string& key : keys) {
          auto it = translated.find(key);
          EXPECT_NE(it, translated.end()) << file << " lacks \"" << key << "\"";
          if (it != translated.end() && english.count(table)) {
            EXPECT_EQ(placeholders(it->second), placeholders(english[table][key]))
                << file << ": \"" << key << "\" must keep the placeholders of the English text";
          }
        }
        for (const auto& [key, text] : translated)
          EXPECT_TRUE(keys.count(key)) << file << ": \"" << key << "\" names no English text";
      }
    }
  }
  EXPECT_GE(tablesChecked, 4);  // Localizable and the interface file of TVLQC and the main app
}

// The texts the programs look up by their English text ("localized(...)", "text(...)") are
// in English.lproj, so that the test above shows a translator each new one.
TEST(Translations, EveryTextTheProgramsLookUpByItsEnglishIsInEnglishLproj) {
  const fs::path source = std::getenv("TVL_SOURCE_DIR");
  const fs::path tvlqc = applications() / "Mac Tovalo.app/Contents/Resources/TVLQC.app";
  struct Program {
    fs::path bundle;
    QString calls;  // the functions that look a text up
    std::vector<fs::path> files;
  } programs[] = {
      {tvlqc, "localized|text", {"controller", "platform/authview/AuthorizationView.cpp"}},
      {applications() / "Mac Tovalo.app", "localized", {"mainapp"}},
  };
  // A folder stands for every source file in it, so that a new file is checked too.
  auto sourceFiles = [&](const fs::path& entry) {
    std::vector<fs::path> files;
    if (!fs::is_directory(source / entry)) return std::vector<fs::path>{entry};
    for (const auto& f : fs::recursive_directory_iterator(source / entry))
      if (f.path().extension() == ".cpp") files.push_back(fs::relative(f.path(), source));
    return files;
  };
  static const QRegularExpression literal(R"re("((?:[^"\\]|\\.)*)")re");
  int found = 0;
  for (const Program& program : programs) {
    const QRegularExpression call("(?<![A-Za-z_])(?:" + program.calls + ")\\(");
    const StringTable table =
        readTable(program.bundle / "Contents/Resources/English.lproj/Localizable.strings");
    std::vector<fs::path> files;
    for (const fs::path& entry : program.files)
      for (const fs::path& file : sourceFiles(entry)) files.push_back(file);
    for (const fs::path& file : files) {
      std::ifstream in(source / file);
      std::stringstream text;
      text << in.rdbuf();
      const QString code = QString::fromStdString(text.str());
      for (auto calls = call.globalMatch(code); calls.hasNext();) {
        // The argument up to its closing parenthesis: literals side by side are one text,
        // those of a choice (a ? "x" : "y") are several.
        int at = calls.next().capturedEnd(), depth = 1;
        int end = at;
        for (bool quoted = false; end < code.size() && depth > 0; ++end) {
          QChar c = code[end];
          if (c == '\\' && quoted)
            ++end;
          else if (c == '"')
            quoted = !quoted;
          else if (!quoted && c == '(')
            ++depth;
          else if (!quoted && c == ')')
            --depth;
        }
        const QString argument = code.mid(at, end - at - 1);
        QString joined;
        int last = -1;
        auto flush = [&] {
          if (last < 0) return;
          ++found;
          EXPECT_TRUE(table.count(joined.toStdString()))
              << file << ": \"" << joined.toStdString() << "\" is not in English.lproj";
          joined.clear();
        };
        for (auto it = literal.globalMatch(argument); it.hasNext();) {
          auto m = it.next();
          const QString before =
              argument.mid(last < 0 ? 0 : last, m.capturedStart() - std::max(last, 0)).trimmed();
          if (before.endsWith("==") || before.endsWith("!=")) continue;  // a comparison
          if (last >= 0 && !before.isEmpty()) flush();
          joined += m.captured(1).replace("\\'", "'").replace("\\\"", "\"");
          last = m.capturedEnd();
        }
        flush();
      }
    }
  }
  EXPECT_GE(found, 60);
}

// Qt's own texts (the standard buttons of alerts and button boxes, a text field's context
// menu) come in the language the bundle chose, from the system's Qt translations.
TEST(Translations, QtsOwnTextsFollowTheLanguageTheBundleChose) {
  int argc = 1;
  char name[] = "translations_unit";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) ::unsetenv(variable);
  const fs::path tvlqc = applications() / "Mac Tovalo.app/Contents/Resources/TVLQC.app";

  ::setenv("LANG", "C.UTF-8", 1);
  EXPECT_FALSE(bundle::installQtTranslations(bundle::Bundle(tvlqc.string())));
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Cancel");

  ::setenv("LANG", "de_DE.UTF-8", 1);
  bundle::Bundle german(tvlqc.string());
  ::unsetenv("LANG");
  ASSERT_EQ(german.localization(), "de.lproj");
  ASSERT_TRUE(bundle::installQtTranslations(german)) << "no Qt translation for German";
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Abbrechen");
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "OK"), "OK");
  EXPECT_EQ(QCoreApplication::translate("QLineEdit", "&Paste"), "Einf&ügen");
}

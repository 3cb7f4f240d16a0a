#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "platform/bundle/Bundle.h"
#include "support/ChildProcess.h"
#include "support/Files.h"

using namespace tvl;

namespace fs = std::filesystem;
using bundle::Bundle;
using bundle::StringTable;

namespace {

void write(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text;
}

// A bundle tree like the build assembles.
fs::path makeBundle(const fs::path& at) {
  write(at / "Contents/Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>CFBundleIdentifier</key><string>com.example.app</string>"
        "<key>CFBundleVersion</key><string>1.2.3</string>"
        "<key>Count</key><integer>7</integer></dict></plist>\n");
  write(at / "Contents/MacOS/App", "#!/bin/sh\n");
  write(at / "Contents/MacOS/Helper", "#!/bin/sh\n");
  write(at / "Contents/Resources/tvl.png", "png");
  write(at / "Contents/Resources/prefs.svg", "svg");
  write(at / "Contents/Resources/notes.txt", "text");
  write(at / "Contents/Resources/English.lproj/Localizable.strings",
        "/* Launch */\n\"sLaunch\" = \"Launch \\\"It\\\"\";\n// other\n\"sTwo\" = \"a\\nb\";\n");
  write(at / "Contents/Resources/English.lproj/Other.strings", "\"k\" = \"other table\";");
  return at;
}

}  // namespace

TEST(StringsFile, ParsesEntriesEscapesAndComments) {
  StringTable t;
  std::string error;
  ASSERT_TRUE(bundle::parseStringsFile(
      "\xEF\xBB\xBF/* c */ \"a\" = \"x\\\"y\\\\z\\t\"; // end\n b_c = \"\\U00e9\";\n\"solo\";", &t,
      &error))
      << error;
  EXPECT_EQ(t.size(), 3u);
  EXPECT_EQ(t["a"], "x\"y\\z\t");
  EXPECT_EQ(t["b_c"], "\xC3\xA9");
  EXPECT_EQ(t["solo"], "solo");
}

TEST(StringsFile, RejectsBrokenTextAndKeepsNothing) {
  for (const char* bad : {"\"a\" = \"x\"", "\"a\" \"x\";", "\"a\" = \"x;", "/* open", "\"a\" = ;",
                          "\"a\" = \"\\U00\";"}) {
    StringTable t{{"old", "value"}};
    std::string error;
    EXPECT_FALSE(bundle::parseStringsFile(bad, &t, &error)) << bad;
    EXPECT_TRUE(t.empty()) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(Bundle, PathForExecutableIsTheFolderAboveContentsMacOS) {
  EXPECT_EQ(Bundle::bundlePathForExecutable("/A/Mac Tovalo.app/Contents/MacOS/Mac Tovalo"),
            "/A/Mac Tovalo.app");
  EXPECT_EQ(Bundle::bundlePathForExecutable("/usr/bin/tool"), "/usr/bin");
  EXPECT_EQ(Bundle::bundlePathForExecutable("/x/MacOS/tool"), "/x/MacOS");
}

TEST(Bundle, MainBundleIsTheTestProgramsFolder) {
  // The test binary lies in no bundle: its own folder stands for one.
  EXPECT_EQ(Bundle::mainBundle().bundlePath(),
            fs::read_symlink("/proc/self/exe").parent_path().string());
  EXPECT_EQ(Bundle::mainBundle().infoDictionary(), nullptr);
}

TEST(Bundle, InfoDictionaryExecutablesAndResources) {
  testsupport::TempDir dir;
  Bundle b(makeBundle(dir.path() / "X.app").string() + "/");
  EXPECT_EQ(b.bundlePath(), (dir.path() / "X.app").string());
  ASSERT_NE(b.infoDictionary(), nullptr);
  EXPECT_EQ(b.stringForInfoDictionaryKey("CFBundleVersion"), "1.2.3");
  EXPECT_EQ(b.stringForInfoDictionaryKey("Count"), "");  // not a string
  EXPECT_NE(b.objectForInfoDictionaryKey("Count"), nullptr);
  EXPECT_EQ(b.objectForInfoDictionaryKey("Missing"), nullptr);

  EXPECT_EQ(b.pathForAuxiliaryExecutable("Helper"), b.bundlePath() + "/Contents/MacOS/Helper");
  EXPECT_EQ(b.pathForAuxiliaryExecutable("Nothing"), "");
  EXPECT_EQ(b.pathForAuxiliaryExecutable("../Info.plist"), "");

  EXPECT_EQ(b.pathForResource("notes", "txt"), b.resourcePath() + "/notes.txt");
  EXPECT_EQ(b.pathForResource("../Info.plist"), "");
  EXPECT_EQ(b.pathForResource("Localizable.strings"),
            b.resourcePath() + "/English.lproj/Localizable.strings");
}

TEST(Bundle, ImagesResolveByNameWithOrWithoutExtension) {
  testsupport::TempDir dir;
  Bundle b(makeBundle(dir.path() / "X.app").string());
  EXPECT_EQ(b.pathForImageResource("tvl.tif"), b.resourcePath() + "/tvl.png");
  EXPECT_EQ(b.pathForImageResource("tvl"), b.resourcePath() + "/tvl.png");
  EXPECT_EQ(b.pathForImageResource("tvl.png"), b.resourcePath() + "/tvl.png");
  EXPECT_EQ(b.pathForImageResource("prefs"), b.resourcePath() + "/prefs.svg");
  EXPECT_EQ(b.pathForImageResource("green"), "");
  EXPECT_EQ(b.pathForImageResource("notes"), "");  // a resource, but no image
}

TEST(Bundle, LocalizedStringsFromEnglishLproj) {
  testsupport::TempDir dir;
  Bundle b(makeBundle(dir.path() / "X.app").string());
  EXPECT_EQ(b.localizedStringForKey("sLaunch", ""), "Launch \"It\"");
  EXPECT_EQ(b.localizedStringForKey("sTwo", ""), "a\nb");
  EXPECT_EQ(b.localizedStringForKey("k", "", "Other"), "other table");
  EXPECT_TRUE(b.hasLocalizedStringForKey("sLaunch"));
  // Missing: the value when one is given, else the key itself.
  EXPECT_FALSE(b.hasLocalizedStringForKey("sMissing"));
  EXPECT_EQ(b.localizedStringForKey("sMissing", ""), "sMissing");
  EXPECT_EQ(b.localizedStringForKey("sMissing", "fallback"), "fallback");
  EXPECT_EQ(b.localizedStringForKey("sLaunch", "", "NoSuchTable"), "sLaunch");
}

TEST(Bundle, BrokenStringsFileAndMissingBundleGiveKeys) {
  testsupport::TempDir dir;
  auto at = makeBundle(dir.path() / "X.app");
  write(at / "Contents/Resources/English.lproj/Localizable.strings", "\"sLaunch\" = \"half");
  Bundle broken(at.string());
  EXPECT_EQ(broken.localizedStringForKey("sLaunch", ""), "sLaunch");

  Bundle none((dir.path() / "Nothing.app").string());
  EXPECT_EQ(none.infoDictionary(), nullptr);
  EXPECT_EQ(none.localizedStringForKey("sLaunch", ""), "sLaunch");
  EXPECT_EQ(none.pathForImageResource("tvl.tif"), "");
}

namespace {

// The locale variables for one test, restored afterwards.
class Locale {
 public:
  Locale(const char* language, const char* all, const char* messages, const char* lang) {
    const char* values[] = {language, all, messages, lang};
    for (size_t i = 0; i < std::size(kNames); ++i) {
      const char* old = std::getenv(kNames[i]);
      saved_[i] = old ? std::optional<std::string>(old) : std::nullopt;
      if (values[i])
        ::setenv(kNames[i], values[i], 1);
      else
        ::unsetenv(kNames[i]);
    }
  }
  ~Locale() {
    for (size_t i = 0; i < std::size(kNames); ++i) {
      if (saved_[i])
        ::setenv(kNames[i], saved_[i]->c_str(), 1);
      else
        ::unsetenv(kNames[i]);
    }
  }

 private:
  static constexpr const char* kNames[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
  std::optional<std::string> saved_[4];
};

using Languages = std::vector<std::string>;

}  // namespace

TEST(Languages, ComeFromLanguageListThenTheLocaleAndCMeansEnglish) {
  struct Case {
    const char *language, *all, *messages, *lang;
    Languages expected;
  } cases[] = {
      {nullptr, nullptr, nullptr, "de_DE.UTF-8", {"de_DE", "de"}},
      {nullptr, nullptr, nullptr, "de_AT.UTF-8@euro", {"de_AT", "de"}},
      {"fr:de_CH", nullptr, nullptr, "de_DE.UTF-8", {"fr", "de_CH", "de", "de_DE", "de"}},
      {nullptr, "fr_FR.UTF-8", "de_DE.UTF-8", "it_IT.UTF-8", {"fr_FR", "fr"}},
      {nullptr, nullptr, "de_DE.UTF-8", "it_IT.UTF-8", {"de_DE", "de"}},
      // The C locale is untranslated whatever LANGUAGE says, as gettext has it.
      {"de", "C", nullptr, "de_DE.UTF-8", {"en"}},
      {"de", nullptr, nullptr, "C.UTF-8", {"en"}},
      {"de", nullptr, nullptr, "POSIX", {"en"}},
      {"de", nullptr, nullptr, nullptr, {"en"}},
  };
  for (const Case& c : cases) {
    Locale locale(c.language, c.all, c.messages, c.lang);
    EXPECT_EQ(bundle::preferredLanguages(), c.expected)
        << (c.language ? c.language : "-") << " " << (c.all ? c.all : "-") << " "
        << (c.messages ? c.messages : "-") << " " << (c.lang ? c.lang : "-");
  }
}

TEST(Languages, TheFirstCarriedLanguageServesEachTextWithEnglishForTheRest) {
  testsupport::TempDir dir;
  auto at = makeBundle(dir.path() / "X.app");
  write(at / "Contents/Resources/de.lproj/Localizable.strings", "\"sLaunch\" = \"Starten\";");
  write(at / "Contents/Resources/de.lproj/Window.ui", "german layout");
  write(at / "Contents/Resources/English.lproj/Window.ui", "layout");
  write(at / "Contents/Resources/fr.lproj/Other.strings", "\"k\" = \"autre\";");
  {
    Locale german(nullptr, nullptr, nullptr, "de_DE.UTF-8");
    Bundle b(at.string());
    EXPECT_EQ(b.localization(), "de.lproj");
    EXPECT_EQ(b.localizedStringForKey("sLaunch", ""), "Starten");
    // A text the translation lacks shows in English; one no table has, as its key.
    EXPECT_EQ(b.localizedStringForKey("sTwo", ""), "a\nb");
    EXPECT_EQ(b.localizedStringForKey("k", "", "Other"), "other table");
    EXPECT_EQ(b.localizedStringForKey("sMissing", ""), "sMissing");
    EXPECT_TRUE(b.hasLocalizedStringForKey("sTwo"));
    ASSERT_NE(b.translationTable("Localizable"), nullptr);
    EXPECT_EQ(b.translationTable("Localizable")->count("sTwo"), 0u);
    EXPECT_EQ(b.pathForResource("Window", "ui"), b.resourcePath() + "/de.lproj/Window.ui");
  }
  {
    // Italian is not carried: French, the next choice, is.
    Locale list("it:fr:de", nullptr, nullptr, "de_DE.UTF-8");
    Bundle b(at.string());
    EXPECT_EQ(b.localization(), "fr.lproj");
    EXPECT_EQ(b.localizedStringForKey("k", "", "Other"), "autre");
    EXPECT_EQ(b.localizedStringForKey("sLaunch", ""), "Launch \"It\"");
  }
  for (const char* english : {"C.UTF-8", "en_GB.UTF-8", "ja_JP.UTF-8"}) {
    Locale locale(nullptr, nullptr, nullptr, english);
    Bundle b(at.string());
    EXPECT_EQ(b.localization(), "English.lproj") << english;
    EXPECT_EQ(b.localizedStringForKey("sLaunch", ""), "Launch \"It\"") << english;
    EXPECT_EQ(b.translationTable("Localizable"), nullptr) << english;
    EXPECT_EQ(b.pathForResource("Window", "ui"), b.resourcePath() + "/English.lproj/Window.ui");
  }
}

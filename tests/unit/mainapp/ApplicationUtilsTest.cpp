// Script-callable utilities, the scripting initializer lookup and the preferences file.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <ostream>

#include "mainapp/ApplicationUtils.h"
#include "mainapp/MainApplication.h"
#include "mainapp/NSApplicationUtils.h"
#include "platform/cf/PropertyList.h"
#include "platform/cf/PropertyListXML.h"

using namespace tvl;

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

int gInitializerCalls = 0;

}  // namespace

// The scripting framework's initializer, exported from this test program.
extern "C" __attribute__((visibility("default"), used)) void _ASKInitialize() {
  ++gInitializerCalls;
}

namespace {

TEST(ScriptingInitializer, IsFoundInTheProcessAndCalledOnce) {
  EXPECT_TRUE(mainapp::callScriptingInitializer());
  EXPECT_EQ(gInitializerCalls, 1);
}

TEST(OsVersionNumber, MinorNibbleWithLettersAsZero) {
  EXPECT_EQ(mainapp::osVersionNumberFromWord(0x104B), 4);  // 10.4.11 reads 10.4.9+
  EXPECT_EQ(mainapp::osVersionNumberFromWord(0x1049), 4);
  EXPECT_EQ(mainapp::osVersionNumberFromWord(0x1050), 5);
  EXPECT_EQ(mainapp::osVersionNumberFromWord(0x1068), 6);
  EXPECT_EQ(mainapp::osVersionNumberFromWord(0x10A0), 0);
  EXPECT_EQ(mainapp::osVersionNumberFromWord(0x10F3), 0);
  // Without a system version file the system counts as 10.6.8.
  if (!QFile::exists("/System/Library/CoreServices/SystemVersion.plist")) {
    EXPECT_EQ(mainapp::NSApplicationUtils().osVersionNumber(), 6);
  }
}

TEST(UserNames, ShortNameIsTheLoginName) {
  QProcess id;
  id.start("id", {"-un"});
  ASSERT_TRUE(id.waitForFinished());
  EXPECT_EQ(mainapp::shortUserName(), QString::fromLocal8Bit(id.readAllStandardOutput()).trimmed());
  EXPECT_FALSE(mainapp::fullUserName().isEmpty());
}

TEST(ApplicationForIdentifier, FoundThroughDesktopEntriesOfTheDataFolders) {
  QTemporaryDir home, system;
  qputenv("XDG_DATA_HOME", home.path().toUtf8());
  qputenv("XDG_DATA_DIRS", system.path().toUtf8());
  auto write = [](const QString& folder, const QString& name, const QByteArray& text) {
    QDir().mkpath(folder + "/applications");
    QFile f(folder + "/applications/" + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
  };
  write(system.path(), "com.nrvk.tvl.desktop",
        "[Desktop Entry]\nType=Application\nExec=\"/opt/x/Mac Tovalo.app/Contents/MacOS/Mac "
        "Tovalo\" %u\n");
  write(system.path(), "org.example.plain.desktop",
        "[Desktop Action other]\nExec=/wrong/one\n[Desktop Entry]\nExec=/usr/bin/plain %f\n");
  write(system.path(), "org.example.relative.desktop", "[Desktop Entry]\nExec=plain\n");
  EXPECT_EQ(mainapp::applicationPathForIdentifier("com.nrvk.tvl"), "/opt/x/Mac Tovalo.app");
  EXPECT_EQ(mainapp::applicationPathForIdentifier("org.example.plain"), "/usr/bin");
  // The user's own data folder comes first.
  write(home.path(), "com.nrvk.tvl.desktop",
        "[Desktop Entry]\nExec=/home/u/Other.app/Contents/MacOS/x\n");
  EXPECT_EQ(mainapp::applicationPathForIdentifier("com.nrvk.tvl"), "/home/u/Other.app");
  // An installed entry names the command in bin, a link into the bundle.
  const QString program = system.path() + "/lib/Mac Tovalo.app/Contents/MacOS/Mac Tovalo";
  QDir().mkpath(QFileInfo(program).absolutePath());
  QDir().mkpath(system.path() + "/bin");
  ASSERT_TRUE(QFile(program).open(QIODevice::WriteOnly));
  ASSERT_TRUE(QFile::link(program, system.path() + "/bin/mac-tovalo"));
  write(home.path(), "com.nrvk.tvl.desktop",
        "[Desktop Entry]\nExec=" + system.path().toUtf8() + "/bin/mac-tovalo %u\n");
  EXPECT_EQ(mainapp::applicationPathForIdentifier("com.nrvk.tvl"),
            QFileInfo(system.path()).canonicalFilePath() + "/lib/Mac Tovalo.app");
  for (const char* missing : {"com.nrvk.nothere", "COM.NRVK.TVL", "",
                              "../applications/com.nrvk.tvl", "org.example.relative"})
    EXPECT_EQ(mainapp::applicationPathForIdentifier(missing), mainapp::kNotFound) << missing;
}

TEST(DesktopEntryExecutable, FirstWordWithQuotesRemoved) {
  EXPECT_EQ(mainapp::desktopEntryExecutable("/usr/bin/a %u"), "/usr/bin/a");
  EXPECT_EQ(mainapp::desktopEntryExecutable("\"/a b/c\\\"d\" %u"), "/a b/c\"d");
  EXPECT_EQ(mainapp::desktopEntryExecutable(""), "");
}

cf::Ref<cf::Dictionary> readPrefs(const QString& path) {
  cf::Ref<cf::Object> o = cf::createFromXMLFile(path.toStdString());
  auto* d = cf::as<cf::Dictionary>(o.get());
  return d ? d->mutableCopy() : cf::Ref<cf::Dictionary>();
}
std::string text(const cf::Dictionary* d, const char* key) {
  const cf::String* s = cf::stringForKey(d, key);
  return s ? s->str() : "<none>";
}

TEST(PreferencesFile, FirstStartWritesDefaultsAndKeepsWhatIsThere) {
  QTemporaryDir dir;
  QString path = dir.path() + "/Library/Preferences/com.nrvk.tvl.plist";
  ASSERT_TRUE(mainapp::ensurePreferencesFile(path));
  auto prefs = readPrefs(path);
  ASSERT_TRUE(prefs);
  EXPECT_EQ(text(prefs.get(), "probreport"), "1");
  EXPECT_EQ(text(prefs.get(), "maxtime"), "30");

  // A user's values and foreign keys stay; only a missing key is added.
  auto mine = cf::Dictionary::create();
  mine->setValue("maxtime", cf::String::create("45").get());
  mine->setValue("other", cf::Number::createSInt32(7).get());
  ASSERT_EQ(cf::writeXMLFileAtomically(mine.get(), path.toStdString()), 0);
  ASSERT_TRUE(mainapp::ensurePreferencesFile(path));
  prefs = readPrefs(path);
  EXPECT_EQ(text(prefs.get(), "maxtime"), "45");
  EXPECT_EQ(text(prefs.get(), "probreport"), "1");
  EXPECT_NE(prefs->valueForKey("other"), nullptr);

  // A file that is not a dictionary is not ours to replace.
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write("not a property list");
  f.close();
  EXPECT_FALSE(mainapp::ensurePreferencesFile(path));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), "not a property list");
}

}  // namespace

TEST(MainBundleInfo, EachEditionNamesItselfAndItsIconInTheTheme) {
  // The assembled bundles of the build: their Info dictionaries give the name and the icon
  // that the desktop notifications carry.
  const QString applications = qEnvironmentVariable("TVL_BUILD_DIR") + "/Applications/";
  for (auto [edition, icon] :
       {std::pair{"Mac Tovalo", "com.nrvk.tvl"}, std::pair{"Mac Brisca", "com.nrvk.tvl.brisca"}}) {
    mainapp::MainBundleInfo info =
        mainapp::mainBundleInfo(applications + edition + ".app/Contents/MacOS/Mac Tovalo");
    EXPECT_EQ(info.name, edition);
    EXPECT_EQ(info.iconName, icon);
  }
  // Without an Info dictionary: the first edition's.
  EXPECT_EQ(mainapp::mainBundleInfo("/nonexistent/X.app/Contents/MacOS/x").iconName,
            "com.nrvk.tvl");
}

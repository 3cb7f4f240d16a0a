// The Debian package that CPack makes of the installation: its control fields and
// dependencies, its contents against `cmake --install` for /usr, and (as root) installing,
// removing and purging it with apt-get in a private mount namespace, offline.
#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <set>
#include <vector>

#include "e2e/install/InstallSupport.h"
#include "support/ChildProcess.h"
#include "support/Files.h"

namespace {

using namespace installtest;

fs::path buildDir() {
  return std::getenv("TVL_BUILD_DIR");
}
fs::path sourceDir() {
  return std::getenv("TVL_SOURCE_DIR");
}

std::string field(const fs::path& deb, const std::string& name) {
  std::string v = run("dpkg-deb -f " + quoted(deb.string()) + " " + name).output;
  while (!v.empty() && v.back() == '\n') v.pop_back();
  return v;
}

// The alternatives of each comma-separated group of a Depends value, versions dropped.
std::vector<std::vector<std::string>> dependencyGroups(const std::string& depends) {
  std::vector<std::vector<std::string>> groups;
  std::stringstream in(depends);
  for (std::string group; std::getline(in, group, ',');) {
    std::vector<std::string> alternatives;
    std::stringstream g(group);
    for (std::string alt; std::getline(g, alt, '|');) {
      std::smatch m;
      if (std::regex_search(alt, m, std::regex(R"([a-z0-9][a-z0-9.+-]+)")))
        alternatives.push_back(m[0]);
    }
    groups.push_back(alternatives);
  }
  return groups;
}

bool installed(const std::string& package) {
  // A virtual package counts when an installed package provides it.
  return run("dpkg-query -W -f='${Status}' " + package +
             " 2>/dev/null | grep -q 'install ok installed'")
                 .status == 0 ||
         run("dpkg-query -W -f='${Provides} ${Status}\\n' | grep 'install ok installed' | grep -Eq "
             "'(^|[ ,])" +
             package + "([ ,(]|$)'")
                 .status == 0;
}

class Package : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testsupport::TempDir;
    pack_ = new Outcome(
        keepingInstallManifest(buildDir(), quoted(CPACK_COMMAND) + " -G DEB --config " +
                                               quoted((buildDir() / "CPackConfig.cmake").string()) +
                                               " -B " + quoted((dir_->path() / "out").string())));
    for (auto& e : fs::directory_iterator(dir_->path() / "out"))
      if (e.path().extension() == ".deb") deb_ = new fs::path(e.path());
  }
  static void TearDownTestSuite() {
    delete deb_;
    delete pack_;
    delete dir_;
  }
  void SetUp() override {
    ASSERT_EQ(pack_->status, 0) << pack_->output;
    ASSERT_TRUE(deb_) << pack_->output;
  }
  static const fs::path& deb() { return *deb_; }
  static fs::path scratch() { return dir_->path(); }

  static inline testsupport::TempDir* dir_ = nullptr;
  static inline Outcome* pack_ = nullptr;
  static inline fs::path* deb_ = nullptr;
};

TEST_F(Package, ControlFieldsAndDependenciesThisMachineSatisfies) {
  EXPECT_EQ(field(deb(), "Package"), "tovalo-desktop");
  EXPECT_EQ(field(deb(), "Version"), TVL_VERSION);
  EXPECT_EQ(field(deb(), "Architecture"), run("dpkg --print-architecture").output.substr(0, 5));
  EXPECT_FALSE(field(deb(), "Maintainer").empty());

  // The programs the product runs, by hand; the libraries it links, found by dpkg-shlibdeps.
  std::string depends = field(deb(), "Depends");
  for (const char* wanted : {"pkexec",
                             "polkitd",
                             "dbus",
                             "procps",
                             "psmisc",
                             "x11vnc",
                             "wayvnc",
                             "openssl",
                             "qt6-wayland",
                             "libwayland-client0",
                             "openssh-client",
                             "xdg-utils",
                             "gnome-keyring",
                             "dbus-session-bus",
                             "libqt6widgets6",
                             "libqt6dbus6",
                             "libqt6uitools6",
                             "libplist-2.0-4|libplist3",
                             "libsecret-1-0",
                             "libsystemd0",
                             "libc6",
                             "libstdc\\+\\+6",
                             "xdg-desktop-portal",
                             "pipewire",
                             "libvncserver1",
                             "libpipewire-0.3-0"}) {
    EXPECT_TRUE(
        std::regex_search(depends, std::regex(std::string("(^|[ ,|])(") + wanted + ")([ ,(|]|$)")))
        << wanted << " missing from " << depends;
  }
  // Every group has an installed alternative here, as on every machine scripts/packages set up:
  // the offline installation below relies on it.
  for (auto& group : dependencyGroups(depends)) {
    bool any = false;
    for (auto& p : group) any = any || installed(p);
    EXPECT_TRUE(any) << "no alternative installed of " << ::testing::PrintToString(group);
  }
}

TEST_F(Package, ContentsAreTheInstallationForUsrOwnedByRoot) {
  // What `cmake --install` gives for /usr, staged.
  fs::path staged = scratch() / "staged";
  Outcome install =
      cmakeInstall(buildDir(), "/usr", "-u TVL_AUTOSTART_DIR DESTDIR=" + quoted(staged.string()));
  ASSERT_EQ(install.status, 0) << install.output;
  std::map<std::string, unsigned> expected;
  for (auto& [name, mode] : tree(staged)) {
    if (name.back() == '/') continue;
    expected["./" + name] = mode;
  }
  ASSERT_TRUE(expected.count("./etc/xdg/autostart/com.nrvk.tvlqc.desktop"));
  ASSERT_TRUE(expected.count("./usr/share/polkit-1/actions/com.nrvk.tvl.policy"));

  // dpkg-deb -c: "-rwxr-xr-x root/root 123 2026-12-08 06:00 ./usr/lib/..."
  std::map<std::string, unsigned> packed;
  std::istringstream listing(run("dpkg-deb -c " + quoted(deb().string())).output);
  std::regex line(R"(^([-dlrwxsStT]{10}) (\S+)\s+\d+ \S+ \S+ (.*)$)");
  for (std::string l; std::getline(listing, l);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, line)) << l;
    EXPECT_EQ(m[2], "root/root") << l;
    EXPECT_EQ(m[1].str().find_first_of("sStT"), std::string::npos) << "special mode bit: " << l;
    if (m[1].str()[0] != '-') continue;
    std::string perms = m[1].str().substr(1);
    unsigned mode = 0;
    for (int i = 0; i < 9; ++i)
      if (perms[i] != '-') mode |= 1u << (8 - i);
    packed[m[3]] = mode;
  }
  EXPECT_EQ(packed, expected);
}

TEST_F(Package, EntriesNameUsrProgramsAreStrippedAutostartIsAConffile) {
  fs::path root = scratch() / "extracted";
  ASSERT_EQ(run("dpkg-deb -x " + quoted(deb().string()) + " " + quoted(root.string())).status, 0);
  const std::string app = "/usr/lib/tovalo/Applications/";
  EXPECT_EQ(execProgram(
                entryValue(readFile(root / "usr/share/applications/com.nrvk.tvl.desktop"), "Exec")),
            app + "Mac Tovalo.app/Contents/MacOS/Mac Tovalo");
  for (const char* entry : {"etc/xdg/autostart/com.nrvk.tvlqc.desktop",
                            "usr/share/applications/com.nrvk.tvlqc.desktop"})
    EXPECT_EQ(execProgram(entryValue(readFile(root / entry), "Exec")),
              app + "Mac Tovalo.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC")
        << entry;
  // No staging or build path in any text.
  for (auto& [name, mode] : tree(root)) {
    if (!std::regex_search(name, std::regex(R"(\.(desktop|plist|policy|ui|strings)$)"))) continue;
    std::string text = readFile(root / name);
    EXPECT_EQ(text.find("_CPack_Packages"), std::string::npos) << name;
    EXPECT_EQ(text.find(buildDir().string()), std::string::npos) << name;
  }
  // The build's debug information stays in the build.
  fs::path tvlqc = root /
                   "usr/lib/tovalo/Applications/Mac "
                   "Tovalo.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC";
  EXPECT_EQ(run("readelf -S " + quoted(tvlqc.string()) + " | grep -c debug_info").output, "0\n");

  EXPECT_EQ(run("dpkg-deb -I " + quoted(deb().string()) + " conffiles").output,
            "/etc/xdg/autostart/com.nrvk.tvlqc.desktop\n");
  // No maintainer scripts: the triggers of desktop-file-utils and the icon theme do the rest.
  for (const char* script : {"preinst", "postinst", "prerm", "postrm"})
    EXPECT_NE(run("dpkg-deb -I " + quoted(deb().string()) + " " + script).status, 0) << script;
}

TEST_F(Package, LintianFindsNoErrorAndOnlyTheJustifiedWarnings) {
  // The justifications are in docs/install.md.
  const std::set<std::string> justified{"initial-upload-closes-no-bugs"};
  Outcome lint =
      run("lintian --fail-on error --display-level '>=warning' " + quoted(deb().string()));
  EXPECT_EQ(lint.status, 0) << lint.output;
  std::istringstream lines(lint.output);
  std::regex tag(R"(^([EW]): tovalo-desktop: (\S+))");
  for (std::string l; std::getline(lines, l);) {
    std::smatch m;
    if (!std::regex_search(l, m, tag)) continue;
    EXPECT_EQ(m[1], "W") << l;
    EXPECT_TRUE(justified.count(m[2])) << "unjustified: " << l;
  }
}

TEST_F(Package, SoftwareCentresReadItsAppStreamDescriptionAndItsCopyright) {
  fs::path root = scratch() / "metadata";
  ASSERT_EQ(run("dpkg-deb -x " + quoted(deb().string()) + " " + quoted(root.string())).status, 0);
  fs::path metainfo = root / "usr/share/metainfo/com.nrvk.tvl.metainfo.xml";
  Outcome validate = run("appstreamcli validate --no-net " + quoted(metainfo.string()));
  EXPECT_EQ(validate.status, 0) << validate.output;
  // The description launches the entry that the package installs, with its icon.
  std::string xml = readFile(metainfo);
  EXPECT_NE(xml.find("<launchable type=\"desktop-id\">com.nrvk.tvl.desktop</launchable>"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(root / "usr/share/applications/com.nrvk.tvl.desktop"));
  EXPECT_TRUE(fs::exists(root / "usr/share/icons/hicolor/scalable/apps/com.nrvk.tvl.svg"));
  // The changelog is compressed for the doc folder and names this version.
  fs::path doc = root / "usr/share/doc/tovalo-desktop";
  EXPECT_EQ(run("zcat " + quoted((doc / "changelog.Debian.gz").string()) + " | head -1")
                .output.find(std::string("tovalo-desktop (") + TVL_VERSION + ")"),
            0u);
  EXPECT_EQ(
      readFile(doc / "copyright")
          .rfind("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/", 0),
      0u);
}

// Reads "fact: value" lines.
std::map<std::string, std::string> facts(const std::string& output) {
  std::map<std::string, std::string> f;
  std::istringstream in(output);
  for (std::string l; std::getline(in, l);) {
    auto colon = l.find(": ");
    if (colon != std::string::npos) f[l.substr(0, colon)] = l.substr(colon + 2);
  }
  return f;
}

TEST_F(Package, AptInstallsRemovesAndPurgesItOfflineLeavingTheMachineUntouched) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  std::string hostStatus = run("dpkg-query -W -f='${Status}' tovalo-desktop").output;

  Outcome life = run(quoted((sourceDir() / "tests/support/with-private-packages").string()) + " " +
                     quoted((sourceDir() / "tests/e2e/install/package-lifecycle").string()) + " " +
                     quoted(deb().string()));
  const std::string& log = life.output;
  ASSERT_EQ(life.status, 0) << log;
  auto f = facts(life.output);
  EXPECT_NE(f["before"], "install ok installed") << log;
  EXPECT_EQ(f["install"], "0") << log;
  EXPECT_EQ(f["installed"], "install ok installed") << log;
  EXPECT_EQ(f["template"], "-rwxr-xr-x root root") << log;
  EXPECT_EQ(f["controller"], "-rwxr-xr-x root root") << log;
  EXPECT_EQ(
      f["present"],
      "/usr/lib/tovalo/Applications /usr/share/applications/com.nrvk.tvl.desktop "
      "/etc/xdg/autostart/com.nrvk.tvlqc.desktop /usr/share/polkit-1/actions/com.nrvk.tvl.policy")
      << log;
  EXPECT_EQ(f["handler"], "com.nrvk.tvl.desktop;") << log;
  EXPECT_EQ(f["unresolved"], "0") << log;
  EXPECT_EQ(f["action"], "com.nrvk.tvl.system.privilege.admin") << log;
  // Removing keeps the administrator's configuration; purging takes it too.
  EXPECT_EQ(f["remove"], "0") << log;
  EXPECT_EQ(f["removed"], "deinstall ok config-files") << log;
  EXPECT_EQ(f["left"], "/etc/xdg/autostart/com.nrvk.tvlqc.desktop") << log;
  EXPECT_EQ(f["purge"], "0") << log;
  EXPECT_EQ(f["left after purge"], "none") << log;

  // The machine's own package database and folders never saw it.
  EXPECT_EQ(run("dpkg-query -W -f='${Status}' tovalo-desktop").output, hostStatus);
  EXPECT_FALSE(fs::exists("/usr/lib/tovalo"));
  EXPECT_FALSE(fs::exists("/etc/xdg/autostart/com.nrvk.tvlqc.desktop"));
}

}  // namespace

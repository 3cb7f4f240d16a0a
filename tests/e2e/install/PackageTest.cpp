// The Debian package that CPack makes of the installation: its control fields and
// dependencies, its contents against `cmake --install` for /usr, and (as root) installing,
// removing and purging it with apt-get in a private mount namespace, offline.
#include <gtest/gtest.h>

#include <unistd.h>

#include <iostream>
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
  std::string v = run("dpkg-deb -f " + shellWord(deb.string()) + " " + name).output;
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

std::set<std::string> words(const std::string& text) {
  std::set<std::string> w;
  std::istringstream in(text);
  for (std::string word; in >> word;) w.insert(word);
  return w;
}

class Package : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testsupport::TempDir;
    pack_ = new Outcome(keepingInstallManifest(
        buildDir(), shellWord(CPACK_COMMAND) + " -G DEB --config " +
                        shellWord((buildDir() / "CPackConfig.cmake").string()) + " -B " +
                        shellWord((dir_->path() / "out").string())));
    for (auto& e : fs::directory_iterator(dir_->path() / "out"))
      if (e.path().filename().string().rfind("tovalo-desktop_", 0) == 0 &&
          e.path().extension() == ".deb")
        deb_ = new fs::path(e.path());
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
                             "qt6-wayland",
                             "libwayland-client0",
                             "openssh-client",
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

// What a user's `apt-get install ./tovalo-desktop_*.deb` brings to a fresh Debian 12
// (minbase), with Recommends, by apt's simulation; the figures are in docs/install.md.
TEST_F(Package, ADefaultInstallBringsNoDesktopShellAndNoMoreThanKrfb) {
  Outcome closure = run(shellWord((sourceDir() / "tests/e2e/install/install-closure").string()) +
                        " " + shellWord(deb().string()) + " 2>/dev/null");
  if (closure.status == 77) GTEST_SKIP() << "no package lists here (apt-get update)";
  ASSERT_EQ(closure.status, 0) << closure.output;
  auto f = facts(closure.output);
  std::cout << "package: " << f["package"] << "\nkrfb: " << f["krfb"] << "\n";
  // Packages, bytes to download, kilobytes on disk: none more than Debian's krfb brings.
  std::istringstream ours(f["package"]), krfbs(f["krfb"]);
  for (const char* figure : {"packages", "download", "installed size"}) {
    long long mine = -1, krfb = -1;
    ours >> mine;
    krfbs >> krfb;
    EXPECT_GT(mine, 0) << figure;
    EXPECT_LE(mine, krfb) << figure;
  }
  const auto brought = words(f["package packages"]);
  ASSERT_TRUE(brought.count("tovalo-desktop")) << closure.output;
  for (const char* shell : {"gnome-shell", "mutter", "gnome-session-bin", "plasma-workspace",
                            "kwin-x11", "kwin-wayland", "xfce4-session", "xfwm4",
                            "mate-session-manager", "cinnamon", "lxqt-session", "sway", "weston",
                            "xserver-xorg-core", "xwayland", "gdm3", "sddm", "lightdm"})
    EXPECT_FALSE(brought.count(shell)) << shell << " comes along";
  // Where GNOME, KDE Plasma and sway are, every sharing route has what it needs: the
  // portal with the desktop's backend and PipeWire (GNOME, KDE), x11vnc; sway needs nothing
  // beyond the package (tvl-portal-vnc --wlroots).
  const auto desktops = words(f["desktops packages"]);
  for (const char* part :
       {"xdg-desktop-portal", "xdg-desktop-portal-gnome", "xdg-desktop-portal-kde", "pipewire",
        "wireplumber", "x11vnc", "tovalo-desktop"})
    EXPECT_TRUE(desktops.count(part)) << part << " is missing beside the desktops";
}

TEST_F(Package, ContentsAreTheInstallationForUsrOwnedByRoot) {
  // What `cmake --install` gives for /usr, staged.
  fs::path staged = scratch() / "staged";
  Outcome install = cmakeInstall(buildDir(), "/usr",
                                 "-u TVL_AUTOSTART_DIR DESTDIR=" + shellWord(staged.string()));
  ASSERT_EQ(install.status, 0) << install.output;
  std::map<std::string, unsigned> expected;
  for (auto& [name, mode] : tree(staged)) {
    // Folders and links (the commands, the other edition's manual pages) are not compared.
    if (name.back() == '/' || fs::is_symlink(staged / name)) continue;
    expected["./" + name] = mode;
  }
  ASSERT_TRUE(expected.count("./etc/xdg/autostart/com.nrvk.tvlqc.desktop"));
  ASSERT_TRUE(expected.count("./usr/share/polkit-1/actions/com.nrvk.tvl.policy"));

  // dpkg-deb -c: "-rwxr-xr-x root/root 123 2026-12-08 06:00 ./usr/lib/..."
  std::map<std::string, unsigned> packed;
  std::istringstream listing(run("dpkg-deb -c " + shellWord(deb().string())).output);
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
  ASSERT_EQ(run("dpkg-deb -x " + shellWord(deb().string()) + " " + shellWord(root.string())).status,
            0);
  // The entries start the commands in PATH, which lead into /usr/lib/tovalo.
  const std::string app = "/usr/lib/tovalo/Applications/";
  const std::string menu = "Mac Tovalo.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC";
  struct Command {
    std::string entry, command, program;
  };
  for (const Command& c : std::vector<Command>{
           {"usr/share/applications/com.nrvk.tvl.desktop", "/usr/bin/mac-tovalo",
            "Mac Tovalo.app/Contents/MacOS/Mac Tovalo"},
           {"usr/share/applications/com.nrvk.tvl.brisca.desktop", "/usr/bin/mac-brisca",
            "Mac Brisca.app/Contents/MacOS/Mac Tovalo"},
           {"etc/xdg/autostart/com.nrvk.tvlqc.desktop", "/usr/bin/mac-tovalo-menu", menu},
           {"usr/share/applications/com.nrvk.tvlqc.desktop", "/usr/bin/mac-tovalo-menu", menu}}) {
    EXPECT_EQ(execProgram(entryValue(readFile(root / c.entry), "Exec")), c.command) << c.entry;
    EXPECT_EQ(fs::canonical(root / c.command.substr(1)),
              fs::canonical(root / app.substr(1) / c.program))
        << c.command;
  }
  // The bus starts Mac Tovalo for the desktops that open its entry over the bus.
  EXPECT_EQ(readFile(root / "usr/share/dbus-1/services/com.nrvk.tvl.service"),
            "[D-BUS Service]\nName=com.nrvk.tvl\nExec=/usr/bin/mac-tovalo\n");
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
  EXPECT_EQ(run("readelf -S " + shellWord(tvlqc.string()) + " | grep -c debug_info").output, "0\n");

  EXPECT_EQ(run("dpkg-deb -I " + shellWord(deb().string()) + " conffiles").output,
            "/etc/xdg/autostart/com.nrvk.tvlqc.desktop\n");
  // No maintainer scripts: the triggers of desktop-file-utils and the icon theme do the rest.
  for (const char* script : {"preinst", "postinst", "prerm", "postrm"})
    EXPECT_NE(run("dpkg-deb -I " + shellWord(deb().string()) + " " + script).status, 0) << script;
}

// Hardening as Debian's hardening-check reads it from the ELF file: a position-independent
// executable, relocations read-only (RELRO) and bound at start-up (BIND_NOW), the stack
// protector, and fortified C library calls.
std::string hardeningOf(const fs::path& program) {
  const std::string q = shellWord(program.string());
  const std::string header = run("readelf -hW " + q).output;
  const std::string dynamic = run("readelf -dW " + q).output;
  const std::string symbols = run("readelf --dyn-syms -W " + q).output;
  std::string missing;
  if (header.find("DYN (") == std::string::npos || dynamic.find(" PIE") == std::string::npos)
    missing += " PIE";
  if (run("readelf -lW " + q).output.find("GNU_RELRO") == std::string::npos) missing += " RELRO";
  if (!std::regex_search(dynamic, std::regex(R"(\(FLAGS(_1)?\).*\bNOW\b)"))) missing += " BIND_NOW";
  if (symbols.find("__stack_chk_fail") == std::string::npos) missing += " stack-protector";
  if (!std::regex_search(symbols, std::regex(R"(__(?!stack_chk)\w+_chk\b)"))) missing += " fortify";
  return missing;
}

TEST_F(Package, EveryProgramIsHardenedAndAnswersHelpAndVersion) {
  fs::path root = scratch() / "programs";
  ASSERT_EQ(run("dpkg-deb -x " + shellWord(deb().string()) + " " + shellWord(root.string())).status,
            0);
  const std::string upstream =
      std::string(TVL_VERSION).substr(0, std::string(TVL_VERSION).rfind('-'));
  std::vector<fs::path> programs;
  for (auto& [name, mode] : tree(root / "usr/lib/tovalo/Applications"))
    if (std::regex_search(name, std::regex("/Contents/MacOS/[^/]+$")))
      programs.push_back(root / "usr/lib/tovalo/Applications" / name);
  EXPECT_EQ(programs.size(), 12u);
  for (const fs::path& program : programs)
    EXPECT_EQ(hardeningOf(program), "") << program << " lacks it";

  // Every program and command answers by itself: no display, no session bus, nothing
  // running to hand the question to.
  for (auto& e : fs::directory_iterator(root / "usr/bin")) {
    programs.push_back(e.path());
    EXPECT_TRUE(fs::exists(root / "usr/share/man/man1" / (e.path().filename().string() + ".1.gz")))
        << "no manual page for " << e.path().filename();
  }
  EXPECT_EQ(programs.size(), 16u);
  for (const fs::path& program : programs) {
    SCOPED_TRACE(program);
    const std::string q = "env -i PATH=/usr/bin:/bin timeout 20 " + shellWord(program.string());
    Outcome help = run(q + " --help");
    EXPECT_EQ(help.status, 0) << help.output;
    EXPECT_EQ(help.output.rfind("Usage: ", 0), 0u) << help.output;
    Outcome version = run(q + " --version");
    EXPECT_EQ(version.status, 0) << version.output;
    EXPECT_TRUE(std::regex_match(version.output, std::regex("[-A-Za-z ]+ " + upstream + "\n")))
        << version.output;
  }
  // The helper tool started by hand says why it does nothing.
  Outcome tool =
      run("env -i " +
          shellWord((root / "usr/lib/tovalo/Applications/Mac Tovalo.app/Contents/Resources/"
                            "TVLQC.app/Contents/MacOS/TVLQCSecureToolTemplate")
                        .string()) +
          " </dev/null");
  EXPECT_NE(tool.status, 0);
  EXPECT_NE(tool.output.find("TVLQC"), std::string::npos) << tool.output;
  // Each edition names itself.
  EXPECT_EQ(run(shellWord((root / "usr/bin/mac-brisca").string()) + " --version").output,
            "Mac Brisca " + upstream + "\n");
  EXPECT_EQ(run(shellWord((root / "usr/bin/mac-tovalo").string()) + " --version").output,
            "Mac Tovalo " + upstream + "\n");
}

TEST_F(Package, LintianPedanticFindsOnlyTheJustifiedTags) {
  // Every tag down to the pedantic ones; the justifications are in docs/install.md.
  const std::set<std::string> justified{"initial-upload-closes-no-bugs", "image-file-in-usr-lib",
                                        "repeated-path-segment"};
  Outcome lint = run("lintian --pedantic --info --fail-on error " + shellWord(deb().string()));
  EXPECT_EQ(lint.status, 0) << lint.output;
  std::istringstream lines(lint.output);
  std::regex tag(R"(^[EWIPX]: tovalo-desktop: (\S+))");
  int tags = 0;
  for (std::string l; std::getline(lines, l);) {
    std::smatch m;
    if (!std::regex_search(l, m, tag)) continue;
    ++tags;
    EXPECT_TRUE(justified.count(m[1])) << "unjustified: " << l;
  }
  EXPECT_GT(tags, 0) << "lintian said nothing at all: " << lint.output;
}

TEST_F(Package, SoftwareCentresReadItsAppStreamDescriptionAndItsCopyright) {
  fs::path root = scratch() / "metadata";
  ASSERT_EQ(run("dpkg-deb -x " + shellWord(deb().string()) + " " + shellWord(root.string())).status,
            0);
  fs::path metainfo = root / "usr/share/metainfo/com.nrvk.tvl.metainfo.xml";
  Outcome validate = run("appstreamcli validate --no-net " + shellWord(metainfo.string()));
  EXPECT_EQ(validate.status, 0) << validate.output;
  // The description launches the entry that the package installs, with its icon.
  std::string xml = readFile(metainfo);
  EXPECT_NE(xml.find("<launchable type=\"desktop-id\">com.nrvk.tvl.desktop</launchable>"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(root / "usr/share/applications/com.nrvk.tvl.desktop"));
  EXPECT_TRUE(fs::exists(root / "usr/share/icons/hicolor/scalable/apps/com.nrvk.tvl.svg"));
  // The changelog is compressed for the doc folder and names this version.
  fs::path doc = root / "usr/share/doc/tovalo-desktop";
  EXPECT_EQ(run("zcat " + shellWord((doc / "changelog.Debian.gz").string()) + " | head -1")
                .output.find(std::string("tovalo-desktop (") + TVL_VERSION + ")"),
            0u);
  EXPECT_EQ(
      readFile(doc / "copyright")
          .rfind("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/", 0),
      0u);
}

TEST_F(Package, AptInstallsRemovesAndPurgesItOfflineLeavingTheMachineUntouched) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  std::string hostStatus = run("dpkg-query -W -f='${Status}' tovalo-desktop").output;

  Outcome life =
      run(shellWord((sourceDir() / "tests/support/with-private-packages").string()) + " " +
          shellWord((sourceDir() / "tests/e2e/install/package-lifecycle").string()) + " " +
          shellWord(deb().string()));
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
  // Links: xdg-open's generic mode starts the installed program with the link, whose
  // secret no other account can read off its command line; with it running, gio (over the
  // bus) and xdg-open (through a second start) reach it; with none running, the bus starts
  // it for gio.
  EXPECT_EQ(f["xdg-open"], "FIRSTSECRET") << log;
  EXPECT_EQ(f["program"], "/usr/lib/tovalo/Applications/Mac Tovalo.app/Contents/MacOS/Mac Tovalo")
      << log;
  EXPECT_EQ(f["command line for tvldenied"].rfind("/usr/bin/mac-tovalo ", 0), 0u) << log;
  EXPECT_EQ(f["command line for tvldenied"].find("SECRET"), std::string::npos) << log;
  EXPECT_EQ(f["gio while running"], "SECONDSECRET") << log;
  EXPECT_EQ(f["xdg-open while running"], "0") << log;
  EXPECT_EQ(f["handed over"], "THIRDSECRET") << log;
  EXPECT_EQ(f["same application"], "yes") << log;
  EXPECT_EQ(f["xdg-open after quit"], "0") << log;
  EXPECT_EQ(f["gio open"], "0") << log;
  EXPECT_EQ(f["gio"], "FOURTHSECRET") << log;
  EXPECT_EQ(f["started as"], "/usr/bin/mac-tovalo|") << log;
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

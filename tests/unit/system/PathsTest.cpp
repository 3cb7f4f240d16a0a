#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/system/Paths.h"

using namespace tvl;

using namespace tvl::system;

TEST(Paths, PrivateAliasesMapOnlyWholeComponents) {
  EXPECT_EQ(mapPlatformPath("/private/tmp/hostconfig"), "/tmp/hostconfig");
  EXPECT_EQ(mapPlatformPath("/private/etc/hostconfig"), "/etc/hostconfig");
  EXPECT_EQ(mapPlatformPath("/private/tmp"), "/tmp");
  EXPECT_EQ(mapPlatformPath("/private/tmpfoo"), "/private/tmpfoo");
  EXPECT_EQ(mapPlatformPath("/private/var/x"), "/private/var/x");
  EXPECT_EQ(mapPlatformPath("/Library/LaunchDaemons"), "/Library/LaunchDaemons");
}

TEST(Paths, UserApplicationSupportIsXdgDataHomeAndIsMadeOnlyWhenAsked) {
  char tmpl[] = "/tmp/tvl-paths.XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  std::string data = std::string(tmpl) + "/data/share";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  std::string path;
  EXPECT_EQ(findFolder(kUserDomain, kApplicationSupportFolderType, false, &path), fnfErr);
  EXPECT_EQ(findFolder(kUserDomain, kApplicationSupportFolderType, true, &path), 0);
  EXPECT_EQ(path, data);
  EXPECT_TRUE(std::filesystem::is_directory(data));
  // A relative value is ignored, as the base-directory rules say.
  ::setenv("XDG_DATA_HOME", "relative", 1);
  ::setenv("HOME", tmpl, 1);
  EXPECT_EQ(findFolder(kUserDomain, kApplicationSupportFolderType, true, &path), 0);
  EXPECT_EQ(path, std::string(tmpl) + "/.local/share");
  std::filesystem::remove_all(tmpl);
}

TEST(Paths, DomainsWithoutTheFolderAnswerNotFound) {
  std::string path = "unchanged";
  EXPECT_EQ(findFolder(kNetworkDomain, kApplicationSupportFolderType, true, &path), fnfErr);
  EXPECT_EQ(findFolder(kSystemDomain, kTemporaryFolderType, true, &path), fnfErr);
  EXPECT_EQ(findFolder(kUserDomain, fourCharCode("pref"), true, &path), fnfErr);
  EXPECT_EQ(path, "unchanged");
  EXPECT_EQ(findFolder(kLocalDomain, kTemporaryFolderType, false, &path), 0);
  EXPECT_EQ(path, "/var/tmp");
}

#include <gtest/gtest.h>

#include <fstream>

#include "platform/system/SystemVersion.h"
#include "support/ChildProcess.h"
#include "support/Files.h"

using namespace tvl;

namespace {

std::string writeFile(const testsupport::TempDir& dir, const std::string& text) {
  auto path = (dir.path() / "SystemVersion.plist").string();
  std::ofstream(path) << text;
  return path;
}

std::string plistWithVersion(const std::string& version) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>ProductName</key><string>Mac OS X</string>"
         "<key>ProductVersion</key><string>" +
         version + "</string></dict></plist>\n";
}

}  // namespace

TEST(SystemVersion, VersionTextBecomesBinaryCodedDecimal) {
  int32_t word = 0;
  ASSERT_TRUE(tvl::systemVersionFromString("10.4.5", &word));
  EXPECT_EQ(word, 0x1045);
  ASSERT_TRUE(tvl::systemVersionFromString("10.6", &word));
  EXPECT_EQ(word, 0x1060);
  ASSERT_TRUE(tvl::systemVersionFromString("10.3.9", &word));
  EXPECT_EQ(word, 0x1039);
  // One nibble per digit: a two-digit minor version can't be told apart beyond 9.
  ASSERT_TRUE(tvl::systemVersionFromString("10.12.3", &word));
  EXPECT_EQ(word, 0x1093);
  for (const char* bad : {"", "10", "ten.four", "10.4.", "10..4", "10.4.5.1", "-10.4", "10.4x"})
    EXPECT_FALSE(tvl::systemVersionFromString(bad, &word)) << bad;
}

TEST(SystemVersion, ReadsProductVersionAndFallsBackTo1068) {
  testsupport::TempDir dir;
  EXPECT_EQ(tvl::systemVersionFromFile(writeFile(dir, plistWithVersion("10.5.8"))), 0x1058);
  EXPECT_EQ(tvl::systemVersionFromFile((dir.path() / "missing.plist").string()), 0x1068);
  EXPECT_EQ(tvl::systemVersionFromFile(writeFile(dir, "not a property list")), 0x1068);
  EXPECT_EQ(tvl::systemVersionFromFile(writeFile(dir, plistWithVersion("Leopard"))), 0x1068);
  EXPECT_EQ(tvl::systemVersionFromFile(
                writeFile(dir, "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>")),
            0x1068);
}

// Our property lists against an independent implementation (Python's plistlib): what we
// write it reads as intended, and what it writes we read as intended.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/cf/PropertyListXML.h"
#include "support/ChildProcess.h"
#include "support/Files.h"

using namespace tvl;

using namespace cf;

namespace {

Ref<Array> numbers(std::initializer_list<int64_t> values) {
  auto a = Array::create();
  for (int64_t v : values) a->append(Number::createSInt64(v).get());
  return a;
}

// The same values as EXPECTED in crosscheck.py.
Ref<Dictionary> expected() {
  auto d = Dictionary::create();
  d->setValue("ascii", String::create("plain").get());
  d->setValue("unicode", String::create("Gr\xC3\xBC\xC3\x9F"
                                        "e \xE6\x97\xA5\xE6\x9C\xAC "
                                        "\xF0\x9F\x98\x80 <&>")
                             .get());
  d->setValue(
      "int32",
      numbers({INT32_MAX, INT32_MIN, int64_t{INT32_MAX} + 1, int64_t{INT32_MIN} - 1}).get());
  d->setValue("int64", numbers({INT64_MAX, INT64_MIN}).get());
  d->setValue("zero", Number::createSInt32(0).get());
  d->setValue("real", Number::createReal(2.5).get());
  d->setValue("yes", Boolean::create(true).get());
  d->setValue("no", Boolean::create(false).get());
  std::string bytes;
  for (int i = 0; i < 20; ++i) bytes += std::string("\x00\x01\x7F\x80\xFF", 5);
  d->setValue("data", Data::create(bytes.data(), bytes.size()).get());
  d->setValue("date", Date::createFromUnixTime(1234567890).get());
  auto deep = Array::create();
  deep->append(String::create("x").get());
  deep->append(Dictionary::create().get());
  auto innerDict = Dictionary::create();
  innerDict->setValue("deep", deep.get());
  auto inner = Array::create();
  inner->append(innerDict.get());
  inner->append(Array::create().get());
  auto nested = Dictionary::create();
  nested->setValue("inner", inner.get());
  nested->setValue("empty", Dictionary::create().get());
  d->setValue("nested", nested.get());
  return d;
}

int runScript(const std::string& mode, const std::string& path) {
  std::string command =
      std::string("python3 ") + CROSSCHECK_SCRIPT + " " + mode + " '" + path + "'";
  return std::system(command.c_str());
}

}  // namespace

TEST(PropertyListCrossCheck, PlistlibReadsWhatWeWrite) {
  testsupport::TempDir dir;
  auto path = (dir.path() / "ours.plist").string();
  ASSERT_EQ(writeXMLFileAtomically(expected().get(), path), 0);
  EXPECT_EQ(runScript("check", path), 0);
}

TEST(PropertyListCrossCheck, WeReadWhatPlistlibWrites) {
  testsupport::TempDir dir;
  auto path = (dir.path() / "theirs.plist").string();
  ASSERT_EQ(runScript("write", path), 0);
  std::string error;
  auto got = createFromXMLFile(path, &error);
  ASSERT_TRUE(got) << error;
  EXPECT_TRUE(equal(got.get(), expected().get()));
}

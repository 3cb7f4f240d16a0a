#include "platform/cf/PropertyListXML.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <clocale>

#include <filesystem>
#include <fstream>

#include "support/ChildProcess.h"
#include "support/Files.h"

using namespace tvl;

using namespace cf;

namespace {

std::string wrap(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body +
         "</plist>\n";
}

Ref<Dictionary> sample() {
  auto d = Dictionary::create();
  d->setValue("string", String::create("gr\xC3\xBC\xC3\x9F <&> \"q\"").get());
  d->setValue("min32", Number::createSInt32(INT32_MIN).get());
  d->setValue("max64", Number::createSInt64(INT64_MAX).get());
  d->setValue("min64", Number::createSInt64(INT64_MIN).get());
  d->setValue("real", Number::createReal(0.1).get());
  d->setValue("true", Boolean::create(true).get());
  d->setValue("false", Boolean::create(false).get());
  const unsigned char bytes[] = {0, 1, 2, 0xFF, 0x44};
  d->setValue("data", Data::create(bytes, sizeof bytes).get());
  d->setValue("empty-data", Data::create(nullptr, 0).get());
  d->setValue("date", Date::create(1234567.0).get());
  auto nested = Array::create();
  nested->append(Dictionary::create().get());
  nested->append(Array::create().get());
  nested->append(String::create("").get());
  d->setValue("nested", nested.get());
  return d;
}

}  // namespace

TEST(PropertyListXML, EveryTypeSurvivesARoundTrip) {
  auto original = sample();
  std::string xml;
  ASSERT_TRUE(createXMLData(original.get(), &xml));
  std::string error;
  auto back = createFromXML(xml, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_TRUE(equal(original.get(), back.get())) << xml;
  // Integers come back with a type that holds them.
  auto* dict = as<Dictionary>(back.get());
  EXPECT_EQ(as<Number>(dict->valueForKey("min32"))->kind(), Number::Kind::SInt32);
  EXPECT_EQ(as<Number>(dict->valueForKey("max64"))->kind(), Number::Kind::SInt64);
}

// A German user's programs run in their locale, whose decimal mark is a comma (Qt sets it
// for the whole process). The file and what it shows are the same as in any other.
TEST(PropertyListXML, DecimalsAreTheSameInEveryLocale) {
  std::string before = std::setlocale(LC_ALL, nullptr);
  ASSERT_TRUE(std::setlocale(LC_ALL, "de_DE.UTF-8")) << "tests/support/setup.d makes this locale";
  std::string error;
  auto read = createFromXML(wrap("<dict><key>maxtime</key><real>45.5</real></dict>"), &error);
  auto* stored = read ? as<Dictionary>(read.get())->valueForKey("maxtime") : nullptr;
  double value = 0;
  bool isReal = as<Number>(stored) && as<Number>(stored)->getReal(&value);
  std::optional<std::string> text = textValue(stored);
  std::string written;
  bool wrote = createXMLData(Number::createReal(45.5).get(), &written);
  auto back = createFromXML(written, &error);
  std::setlocale(LC_ALL, before.c_str());

  ASSERT_TRUE(isReal) << error;
  EXPECT_EQ(value, 45.5);
  EXPECT_EQ(text, "45.5");
  ASSERT_TRUE(wrote);
  EXPECT_EQ(written.find(','), std::string::npos) << written;
  ASSERT_TRUE(back) << error;
  EXPECT_TRUE(equal(back.get(), Number::createReal(45.5).get())) << written;
}

TEST(PropertyListXML, MalformedInputIsAnErrorNeverAPartialObject) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"empty", ""},
      {"not xml", "hello"},
      {"not a plist", "<?xml version=\"1.0\"?><html></html>"},
      {"truncated", wrap("<dict><key>a</key><string>x</string>").substr(0, 70)},
      {"key without value", wrap("<dict><key>a</key></dict>")},
      {"integer with junk", wrap("<integer>12abc</integer>")},
      {"integer above 64 bits", wrap("<integer>18446744073709551615</integer>")},
      {"integer below 64 bits", wrap("<integer>-9223372036854775809</integer>")},
      {"empty integer", wrap("<integer></integer>")},
      {"unknown element", wrap("<dict><key>a</key><blob>x</blob></dict>")},
      {"trailing junk", wrap("<string>x</string>") + "<evil/>"},
      {"NUL byte", wrap(std::string("<string>a\0b</string>", 20))},
      {"too deep", wrap(std::string(5000, ' ').replace(0, 0, "") +
                        [] {
                          std::string s;
                          for (int i = 0; i < 1000; ++i) s += "<array>";
                          for (int i = 0; i < 1000; ++i) s += "</array>";
                          return s;
                        }())},
  };
  for (auto& [what, xml] : bad) {
    std::string error;
    EXPECT_FALSE(createFromXML(xml, &error)) << what << ": " << xml;
    EXPECT_FALSE(error.empty()) << what;
  }
}

TEST(PropertyListXML, AcceptsWhatOtherWritersProduce) {
  auto plist = createFromXML(
      wrap("\n <dict>\n  <key>n</key>\n  <integer> -42 </integer>\n  <key>e</key><dict/>\n"
           "  <key>r</key><real>2.5</real>\n </dict>\n"));
  ASSERT_TRUE(plist);
  int32_t n = 0;
  EXPECT_TRUE(sint32ForKey(as<Dictionary>(plist.get()), "n", &n));
  EXPECT_EQ(n, -42);
}

TEST(PropertyListXML, RefusesWhatItCannotWrite) {
  std::string xml = "previous";
  EXPECT_FALSE(createXMLData(Number::createReal(1.0 / 0.0).get(), &xml));
  EXPECT_TRUE(xml.empty());
  EXPECT_FALSE(createXMLData(nullptr, &xml));
}

TEST(PropertyListXML, AtomicWriteReplacesWholeAndKeepsTheMode) {
  testsupport::TempDir dir;
  auto path = (dir.path() / "prefs.plist").string();
  { std::ofstream(path) << "old contents"; }
  ::chmod(path.c_str(), 0640);
  ASSERT_EQ(writeXMLFileAtomically(sample().get(), path), 0);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  auto back = createFromXMLFile(path);
  ASSERT_TRUE(back);
  EXPECT_TRUE(equal(back.get(), sample().get()));
  // Nothing is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(PropertyListXML, AFailedWriteLeavesTheOldFileAlone) {
  testsupport::TempDir dir;
  auto path = (dir.path() / "prefs.plist").string();
  std::ofstream(path) << "old contents";
  EXPECT_EQ(writeXMLFileAtomically(Number::createReal(0.0 / 0.0).get(), path), EINVAL);
  EXPECT_NE(writeXMLFileAtomically(sample().get(), (dir.path() / "no/such/dir/x").string()), 0);
  std::ifstream in(path);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "old contents");
}

TEST(PropertyListXML, MissingOrOversizedFilesAreErrors) {
  std::string error;
  EXPECT_FALSE(createFromXMLFile("/nonexistent/x.plist", &error));
  EXPECT_FALSE(error.empty());
  testsupport::TempDir dir;
  auto path = (dir.path() / "big.plist").string();
  std::string xml;
  ASSERT_TRUE(createXMLData(String::create(std::string(4096, 'x')).get(), &xml));
  std::ofstream(path) << xml;
  EXPECT_TRUE(createFromXMLFile(path, &error, 1 << 20));
  EXPECT_FALSE(createFromXMLFile(path, &error, 1024));
}

TEST(PropertyListXML, LimitsHoldWhateverTheTagsSpellingAndHiddenMarkupIsRefused) {
  const ReadLimits limits{.maxDepth = 6, .maxNodes = 12};
  auto deep = [](int n, const std::string& open) {
    std::string s;
    for (int i = 0; i < n; ++i) s += open;
    s += "<true/>";
    for (int i = 0; i < n; ++i) s += "</array >";
    return wrap(s);
  };
  // Spaces, attributes and self-closing tags are read as what they are...
  std::string error;
  auto plist = createFromXML(wrap("<dict ><key >a</key ><integer\t>5</integer ><key>b</key>"
                                  "<array a=\"1\" b='2'><false /><array/></array></dict >"),
                             &error, limits);
  ASSERT_TRUE(plist) << error;
  auto* dict = as<Dictionary>(plist.get());
  int32_t a = 0;
  EXPECT_TRUE(sint32ForKey(dict, "a", &a) && a == 5);
  ASSERT_TRUE(arrayForKey(dict, "b"));
  EXPECT_EQ(arrayForKey(dict, "b")->count(), 2u);
  // ...and count against the same limits: the innermost value sits at depth 6 here.
  EXPECT_TRUE(createFromXML(deep(4, "<array >"), &error, limits)) << error;
  EXPECT_TRUE(createFromXML(wrap("<array>" + std::string(200, ' ') +
                                 "<true/><true/><true/><true/><true/><true/><true/><true/>"
                                 "<true/><true/></array>"),
                            &error, limits))
      << error;
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"one level too deep", deep(5, "<array >")},
      {"one level too deep, with attributes", deep(5, "<array x=\"y\">")},
      {"one element too many",
       wrap("<array><true/><true/><true/><true/><true/><true/><true/><true/><true/><true/>"
            "<array/></array>")},
      // Closing tags hidden where libplist does not see them must not lower the count.
      {"closing tags in a comment", deep(5, "<array><!-- </array> -->")},
      {"closing tags in an attribute", deep(5, "<array a=\"</array>\">")},
      {"a quote that runs past the tag", deep(5, "<array a=\">")},
      {"a comment libplist may end early", wrap("<array><!--><true/>--></array>")},
      {"an unknown declaration", wrap("<!ENTITY x \"y\"><array/>")},
      // libplist would take the first as 12 and silently drop the key of the second.
      {"a spelled integer with junk", wrap("<integer >12abc</integer>")},
      {"a spelled key without value", wrap("<dict><key >a</key></dict>")},
  };
  for (const auto& [what, xml] : refused) {
    EXPECT_FALSE(createFromXML(xml, &error, limits)) << what;
    EXPECT_FALSE(error.empty()) << what;
  }
}

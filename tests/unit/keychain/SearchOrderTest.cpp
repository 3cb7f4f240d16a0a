// The order in which a search hands out its matches ("first" and "last").
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/keychain/Keychain.h"

using namespace tvl;

namespace {

struct Found {
  std::uint64_t created;
  std::string path;
};

std::vector<std::string> ordered(std::vector<Found> items) {
  std::sort(items.begin(), items.end(), [](const Found& a, const Found& b) {
    return keychain::lessInSearchOrder(a.created, a.path, b.created, b.path);
  });
  std::vector<std::string> paths;
  for (const auto& item : items) paths.push_back(item.path);
  return paths;
}

const std::string kCollection = "/org/freedesktop/secrets/collection/login/";

TEST(SearchOrder, OlderItemsComeFirstWhateverTheirPath) {
  EXPECT_EQ(ordered({{200, kCollection + "1"}, {100, kCollection + "7"}}),
            (std::vector<std::string>{kCollection + "7", kCollection + "1"}));
}

TEST(SearchOrder, ItemsOfTheSameSecondComeInTheOrderTheyWereNumbered) {
  EXPECT_EQ(ordered({{100, kCollection + "10"},
                     {100, kCollection + "9"},
                     {100, kCollection + "2"},
                     {100, kCollection + "11"}}),
            (std::vector<std::string>{kCollection + "2", kCollection + "9", kCollection + "10",
                                      kCollection + "11"}));
}

TEST(SearchOrder, IsAStrictOrder) {
  EXPECT_FALSE(keychain::lessInSearchOrder(5, "/a/1", 5, "/a/1"));
  EXPECT_TRUE(keychain::lessInSearchOrder(5, "/a/1", 5, "/a/2"));
  EXPECT_FALSE(keychain::lessInSearchOrder(5, "/a/2", 5, "/a/1"));
}

}  // namespace

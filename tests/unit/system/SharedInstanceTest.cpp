#include "platform/system/SharedInstance.h"

#include <gtest/gtest.h>

#include <string>

using namespace tvl;

namespace {

struct Counted {
  explicit Counted(std::string n) : name(std::move(n)) { ++alive; }
  ~Counted() { --alive; }
  std::string name;
  static inline int alive = 0;
};

TEST(SharedInstance, TheFirstInitWinsUntilReleased) {
  using Shared = tvl::SharedInstance<Counted>;
  EXPECT_EQ(Shared::existing(), nullptr);
  Counted& first = Shared::init("first");
  EXPECT_EQ(&Shared::init("second"), &first);  // later arguments are not used
  EXPECT_EQ(first.name, "first");
  EXPECT_EQ(Shared::existing(), &first);
  EXPECT_EQ(Counted::alive, 1);
  Shared::release();
  EXPECT_EQ(Counted::alive, 0);
  EXPECT_EQ(Shared::existing(), nullptr);
  EXPECT_EQ(Shared::init("third").name, "third");
  Shared::release();
}

}  // namespace

#include "privileged/MoreCFQ.h"

#include <gtest/gtest.h>

using namespace tvl;

TEST(MoreCFQ, ErrorsForMissingObjectsAndFalse) {
  auto s = cf::String::create("x");
  EXPECT_EQ(CFQError(s.get()), 0);
  EXPECT_EQ(CFQError(nullptr), -4960);
  EXPECT_EQ(CFQErrorBoolean(true), 0);
  EXPECT_EQ(CFQErrorBoolean(false), -4960);
}

TEST(MoreCFQ, ReleaseIsNullTolerantAndReleasesOnce) {
  CFQRelease(nullptr);
  auto s = cf::String::create("x");
  s->retain();
  CFQRelease(s.get());
  EXPECT_EQ(s->retainCount(), 1);
}

TEST(MoreCFQ, MutableArrayRetainsItsMembers) {
  cf::Array* array = nullptr;
  ASSERT_EQ(CFQArrayCreateMutable(&array), 0);
  ASSERT_NE(array, nullptr);
  auto member = cf::Number::createSInt32(7);
  array->append(member.get());
  EXPECT_EQ(member->retainCount(), 2);
  CFQRelease(array);
  EXPECT_EQ(member->retainCount(), 1);
}

TEST(MoreCFQDeathTest, OutParameterMustBeNullOnEntry) {
  cf::Array* array = nullptr;
  ASSERT_EQ(CFQArrayCreateMutable(&array), 0);
  EXPECT_DEATH(CFQArrayCreateMutable(&array),
               "MoreCFQ.cpp:[0-9]+: failed assertion `\\*result == nullptr'\n");
  CFQRelease(array);
}

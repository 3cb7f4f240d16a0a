#include "platform/cf/PropertyList.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

using namespace tvl;

using namespace cf;

TEST(PropertyList, ContainersRetainWhatTheyHoldAndReleaseItAfter) {
  auto s = String::create("held");
  EXPECT_EQ(s->retainCount(), 1);
  {
    auto array = Array::create();
    auto dict = Dictionary::create();
    array->append(s.get());
    dict->setValue("k", s.get());
    EXPECT_EQ(s->retainCount(), 3);
    dict->setValue("k", String::create("other").get());  // replacing releases the old value
    EXPECT_EQ(s->retainCount(), 2);
    auto copy = array;  // a second handle on the same array
    EXPECT_EQ(array->retainCount(), 2);
  }
  EXPECT_EQ(s->retainCount(), 1);
}

TEST(PropertyList, DetachAndAdoptHandTheReferenceOver) {
  Ref<Dictionary> d = Dictionary::create();
  Dictionary* raw = d.detach();
  EXPECT_FALSE(d);
  EXPECT_EQ(raw->retainCount(), 1);
  auto again = Ref<Dictionary>::adopt(raw);
  EXPECT_EQ(again->retainCount(), 1);
  auto shared = Ref<Dictionary>::retain(raw);
  EXPECT_EQ(raw->retainCount(), 2);
}

TEST(PropertyList, MutableCopyIsIndependentButSharesValues) {
  auto d = Dictionary::create();
  d->setValue("a", Number::createSInt32(1).get());
  auto copy = d->mutableCopy();
  copy->setValue("b", Boolean::create(true).get());
  copy->removeValue("a");
  EXPECT_EQ(d->count(), 1u);
  EXPECT_NE(d->valueForKey("a"), nullptr);
  EXPECT_EQ(copy->count(), 1u);
}

TEST(PropertyList, NumbersConvertExactlyOrSayTheyCouldNot) {
  int32_t i32 = 0;
  int64_t i64 = 0;
  double d = 0;
  EXPECT_TRUE(Number::createSInt32(INT32_MIN)->getSInt32(&i32));
  EXPECT_EQ(i32, INT32_MIN);
  EXPECT_FALSE(Number::createSInt64(int64_t{INT32_MAX} + 1)->getSInt32(&i32));
  EXPECT_TRUE(Number::createSInt64(INT64_MIN)->getSInt64(&i64));
  EXPECT_EQ(i64, INT64_MIN);
  EXPECT_FALSE(Number::createReal(1.5)->getSInt32(&i32));
  EXPECT_TRUE(Number::createReal(-7.0)->getSInt32(&i32));
  EXPECT_EQ(i32, -7);
  EXPECT_FALSE(Number::createReal(1e300)->getSInt64(&i64));
  EXPECT_FALSE(Number::createReal(std::numeric_limits<double>::quiet_NaN())->getSInt32(&i32));
  EXPECT_TRUE(Number::createSInt32(3)->getReal(&d));
  EXPECT_EQ(d, 3.0);
}

TEST(PropertyList, TypedAccessRefusesOtherTypes) {
  auto d = Dictionary::create();
  d->setValue("n", Number::createSInt32(5).get());
  d->setValue("s", String::create("5").get());
  int32_t v = 0;
  EXPECT_TRUE(sint32ForKey(d.get(), "n", &v));
  EXPECT_EQ(v, 5);
  EXPECT_FALSE(sint32ForKey(d.get(), "s", &v));
  EXPECT_FALSE(sint32ForKey(d.get(), "missing", &v));
  EXPECT_EQ(stringForKey(d.get(), "n"), nullptr);
  EXPECT_EQ(stringForKey(d.get(), "s")->str(), "5");
  EXPECT_EQ(arrayForKey(nullptr, "s"), nullptr);
  EXPECT_EQ(as<Number>(nullptr), nullptr);
}

TEST(PropertyList, EqualityIsDeep) {
  auto make = [](int n) {
    auto d = Dictionary::create();
    auto a = Array::create();
    a->append(Number::createSInt32(n).get());
    d->setValue("list", a.get());
    return d;
  };
  EXPECT_TRUE(equal(make(1).get(), make(1).get()));
  EXPECT_FALSE(equal(make(1).get(), make(2).get()));
  EXPECT_TRUE(equal(Number::createSInt32(2).get(), Number::createSInt64(2).get()));
  EXPECT_FALSE(equal(String::create("2").get(), Number::createSInt32(2).get()));
}

// Values a user or another program stored as any type: what they read as.
TEST(ValueCoercions, IntValueOfEveryKindOfValue) {
  const std::pair<cf::Ref<cf::Object>, int> cases[] = {
      {cf::String::create("1"), 1},
      {cf::String::create(" \t-12abc"), -12},
      {cf::String::create("+7"), 7},
      {cf::String::create("-"), 0},
      {cf::String::create("abc"), 0},
      {cf::String::create(""), 0},
      {cf::String::create("99999999999999999999"), INT32_MAX},
      {cf::String::create("-99999999999999999999"), INT32_MIN},
      {cf::Number::createSInt64(int64_t(1) << 40), INT32_MAX},
      {cf::Number::createSInt64(-(int64_t(1) << 40)), INT32_MIN},
      {cf::Number::createReal(0.5), 0},
      {cf::Number::createReal(-2.9), -2},
      {cf::Number::createReal(1e300), INT32_MAX},
      {cf::Number::createReal(std::nan("")), 0},
      {cf::Boolean::create(true), 1},
      {cf::Boolean::create(false), 0},
      {cf::Array::create(), 0},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(cf::intValue(value.get()), expected);
  EXPECT_EQ(cf::intValue(nullptr), 0);
}

TEST(ValueCoercions, TextValueOfEveryKindOfValue) {
  EXPECT_EQ(cf::textValue(cf::String::create(" 45 ").get()), " 45 ");
  EXPECT_EQ(cf::textValue(cf::Number::createSInt32(60).get()), "60");
  EXPECT_EQ(cf::textValue(cf::Number::createReal(2.5).get()), "2.5");
  EXPECT_EQ(cf::textValue(cf::Number::createReal(30.0).get()), "30");
  EXPECT_EQ(cf::textValue(cf::Boolean::create(true).get()), std::nullopt);
  EXPECT_EQ(cf::textValue(cf::Array::create().get()), std::nullopt);
  EXPECT_EQ(cf::textValue(nullptr), std::nullopt);
}

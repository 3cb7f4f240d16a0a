#include "platform/cf/PropertyList.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>

#include "platform/system/Assert.h"

namespace tvl::cf {

// Objects start with one reference, which the returned Ref adopts at once.
Ref<String> String::create(std::string_view utf8) {
  return Ref<String>::adopt(new String(utf8));
}

Ref<Number> Number::createSInt32(int32_t v) {
  return Ref<Number>::adopt(new Number(Kind::SInt32, v, v));
}
Ref<Number> Number::createSInt64(int64_t v) {
  return Ref<Number>::adopt(new Number(Kind::SInt64, v, static_cast<double>(v)));
}
Ref<Number> Number::createReal(double v) {
  // The integer view of a real is only read through the range-checked getters.
  return Ref<Number>::adopt(new Number(Kind::Real, 0, v));
}

bool Number::getSInt64(int64_t* out) const noexcept {
  if (kind_ != Kind::Real) {
    *out = integer_;
    return true;
  }
  // 2^63 is exactly representable; anything at or above it does not fit.
  constexpr double kLimit = 9223372036854775808.0;
  if (std::isnan(real_) || real_ >= kLimit || real_ < -kLimit) {
    *out = real_ > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return false;
  }
  *out = static_cast<int64_t>(real_);
  return static_cast<double>(*out) == real_;
}

bool Number::getSInt32(int32_t* out) const noexcept {
  int64_t wide = 0;
  bool exact = getSInt64(&wide);
  if (wide > std::numeric_limits<int32_t>::max() || wide < std::numeric_limits<int32_t>::min()) {
    *out = static_cast<int32_t>(static_cast<uint64_t>(wide));  // truncated, like the platform
    return false;
  }
  *out = static_cast<int32_t>(wide);
  return exact;
}

bool Number::getReal(double* out) const noexcept {
  if (kind_ == Kind::Real) {
    *out = real_;
    return true;
  }
  *out = static_cast<double>(integer_);
  return static_cast<int64_t>(*out) == integer_ || integer_ == std::numeric_limits<int64_t>::max();
}

Ref<Boolean> Boolean::create(bool v) {
  return Ref<Boolean>::adopt(new Boolean(v));
}

Ref<Data> Data::create(const void* bytes, size_t length) {
  const auto* b = static_cast<const uint8_t*>(bytes);
  return Ref<Data>::adopt(
      new Data(length ? std::vector<uint8_t>(b, b + length) : std::vector<uint8_t>()));
}

Ref<Date> Date::create(double absoluteTime) {
  return Ref<Date>::adopt(new Date(absoluteTime));
}

Ref<Array> Array::create() {
  return Ref<Array>::adopt(new Array());
}

void Array::append(const Object* v) {
  TVL_ASSERT(v != nullptr);
  items_.push_back(Ref<const Object>::retain(v));
}

Ref<Dictionary> Dictionary::create() {
  return Ref<Dictionary>::adopt(new Dictionary());
}

Ref<Dictionary> Dictionary::mutableCopy() const {
  auto copy = create();
  copy->items_ = items_;
  return copy;
}

const Object* Dictionary::valueForKey(std::string_view key) const noexcept {
  auto it = items_.find(key);
  return it == items_.end() ? nullptr : it->second.get();
}

void Dictionary::setValue(std::string_view key, const Object* v) {
  TVL_ASSERT(v != nullptr);
  auto held = Ref<const Object>::retain(v);
  auto it = items_.find(key);
  if (it == items_.end())
    items_.emplace(std::string(key), std::move(held));
  else
    it->second = std::move(held);
}

void Dictionary::removeValue(std::string_view key) noexcept {
  auto it = items_.find(key);
  if (it != items_.end()) items_.erase(it);
}

bool equal(const Object* a, const Object* b) noexcept {
  if (a == b) return true;
  if (!a || !b || a->typeID() != b->typeID()) return false;
  switch (a->typeID()) {
    case TypeID::String:
      return as<String>(a)->str() == as<String>(b)->str();
    case TypeID::Boolean:
      return as<Boolean>(a)->value() == as<Boolean>(b)->value();
    case TypeID::Data:
      return as<Data>(a)->bytes() == as<Data>(b)->bytes();
    case TypeID::Date:
      return as<Date>(a)->absoluteTime() == as<Date>(b)->absoluteTime();
    case TypeID::Number: {
      auto* x = as<Number>(a);
      auto* y = as<Number>(b);
      if (x->kind() != Number::Kind::Real && y->kind() != Number::Kind::Real) {
        int64_t i = 0, j = 0;
        x->getSInt64(&i);
        y->getSInt64(&j);
        return i == j;
      }
      double p = 0, q = 0;
      x->getReal(&p);
      y->getReal(&q);
      return p == q;
    }
    case TypeID::Array: {
      auto* x = as<Array>(a);
      auto* y = as<Array>(b);
      if (x->count() != y->count()) return false;
      for (size_t i = 0; i < x->count(); ++i)
        if (!equal(x->valueAt(i), y->valueAt(i))) return false;
      return true;
    }
    case TypeID::Dictionary: {
      auto& x = as<Dictionary>(a)->items();
      auto& y = as<Dictionary>(b)->items();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
        if (i->first != j->first || !equal(i->second.get(), j->second.get())) return false;
      return true;
    }
  }
  return false;
}

const String* stringForKey(const Dictionary* d, std::string_view key) noexcept {
  return d ? as<String>(d->valueForKey(key)) : nullptr;
}
const Array* arrayForKey(const Dictionary* d, std::string_view key) noexcept {
  return d ? as<Array>(d->valueForKey(key)) : nullptr;
}
const Dictionary* dictionaryForKey(const Dictionary* d, std::string_view key) noexcept {
  return d ? as<Dictionary>(d->valueForKey(key)) : nullptr;
}
bool sint32ForKey(const Dictionary* d, std::string_view key, int32_t* out) noexcept {
  auto* n = d ? as<Number>(d->valueForKey(key)) : nullptr;
  return n && n->getSInt32(out);
}

int intValue(const Object* value) noexcept {
  if (auto* number = as<Number>(value)) {
    int64_t i = 0;
    double d = 0;
    if (number->getSInt64(&i))
      return static_cast<int>(std::clamp<int64_t>(i, INT32_MIN, INT32_MAX));
    if (number->getReal(&d) && d == d)
      return static_cast<int>(std::clamp(d, double(INT32_MIN), double(INT32_MAX)));
    return 0;
  }
  if (auto* boolean = as<Boolean>(value)) return boolean->value() ? 1 : 0;
  auto* string = as<String>(value);
  if (!string) return 0;
  const std::string& text = string->str();
  size_t i = text.find_first_not_of(" \t\n\r");
  if (i == std::string::npos) return 0;
  bool negative = text[i] == '-';
  if (text[i] == '-' || text[i] == '+') ++i;
  int64_t result = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    result = std::min<int64_t>(result * 10 + (text[i] - '0'), int64_t(INT32_MAX) + 1);
  result = negative ? -result : std::min<int64_t>(result, INT32_MAX);
  return static_cast<int>(std::max<int64_t>(result, INT32_MIN));
}

std::optional<std::string> textValue(const Object* value) {
  if (auto* string = as<String>(value)) return string->str();
  if (auto* number = as<Number>(value)) {
    int64_t i = 0;
    double d = 0;
    if (number->getSInt64(&i)) return std::to_string(i);
    if (number->getReal(&d)) {
      // "%g" in the C locale whatever the process's locale: a stored 45.5 is "45.5" for a
      // German user too, and is written back as such.
      char text[32];
      auto [end, error] = std::to_chars(text, text + sizeof text, d, std::chars_format::general, 6);
      if (error != std::errc()) return std::nullopt;
      return std::string(text, end);
    }
  }
  return std::nullopt;
}

}  // namespace tvl::cf

// Reference-counted property-list objects: strings, numbers, booleans, data, dates,
// arrays and dictionaries.
//
// Ownership follows the create/copy rule: a function that creates or copies hands out
// one reference (held in a Ref<T>, or as a raw pointer that the caller must release);
// "get" functions lend a pointer without a reference. Arrays and dictionaries retain
// what they hold and release it when it is removed or they go away.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tvl::cf {

enum class TypeID { String, Number, Boolean, Data, Date, Array, Dictionary };

class Object {
 public:
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  virtual TypeID typeID() const noexcept = 0;

  void retain() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void release() const noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  long retainCount() const noexcept { return refs_.load(std::memory_order_relaxed); }

 protected:
  Object() = default;
  virtual ~Object() = default;

 private:
  mutable std::atomic<long> refs_{1};
};

// Owning handle: releases its reference when it goes away.
template <class T>
class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  // Takes over a reference the caller already owns (the create rule).
  static Ref adopt(T* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  // Adds a reference of its own to a borrowed object.
  static Ref retain(T* p) noexcept {
    if (p) p->retain();
    return adopt(p);
  }
  Ref(const Ref& o) noexcept : p_(o.p_) {
    if (p_) p_->retain();
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  Ref(Ref<U>&& o) noexcept : p_(o.detach()) {}
  template <class U>
  Ref(const Ref<U>& o) noexcept : p_(o.get()) {
    if (p_) p_->retain();
  }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() {
    if (p_) p_->release();
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (for out-parameters of the C-style scheme).
  T* detach() noexcept { return std::exchange(p_, nullptr); }

 private:
  T* p_ = nullptr;
};

class String final : public Object {
 public:
  static constexpr TypeID kTypeID = TypeID::String;
  static Ref<String> create(std::string_view utf8);
  TypeID typeID() const noexcept override { return kTypeID; }
  const std::string& str() const noexcept { return value_; }

 private:
  explicit String(std::string_view v) : value_(v) {}
  std::string value_;
};

// A number remembers the type it was made with, like the platform's numbers:
// a signed 32-bit or 64-bit integer, or a double.
class Number final : public Object {
 public:
  enum class Kind { SInt32, SInt64, Real };
  static constexpr TypeID kTypeID = TypeID::Number;
  static Ref<Number> createSInt32(int32_t v);
  static Ref<Number> createSInt64(int64_t v);
  static Ref<Number> createReal(double v);
  TypeID typeID() const noexcept override { return kTypeID; }
  Kind kind() const noexcept { return kind_; }

  // Each getter stores the value converted to the asked type and answers whether the
  // conversion was exact (false for a value out of range or with a fraction).
  bool getSInt32(int32_t* out) const noexcept;
  bool getSInt64(int64_t* out) const noexcept;
  bool getReal(double* out) const noexcept;

 private:
  Number(Kind k, int64_t i, double d) : kind_(k), integer_(i), real_(d) {}
  Kind kind_;
  int64_t integer_;
  double real_;
};

class Boolean final : public Object {
 public:
  static constexpr TypeID kTypeID = TypeID::Boolean;
  static Ref<Boolean> create(bool v);
  TypeID typeID() const noexcept override { return kTypeID; }
  bool value() const noexcept { return value_; }

 private:
  explicit Boolean(bool v) : value_(v) {}
  bool value_;
};

class Data final : public Object {
 public:
  static constexpr TypeID kTypeID = TypeID::Data;
  static Ref<Data> create(const void* bytes, size_t length);
  TypeID typeID() const noexcept override { return kTypeID; }
  const std::vector<uint8_t>& bytes() const noexcept { return bytes_; }
  size_t length() const noexcept { return bytes_.size(); }

 private:
  explicit Data(std::vector<uint8_t> b) : bytes_(std::move(b)) {}
  std::vector<uint8_t> bytes_;
};

// A point in time as seconds since 2001-01-01 00:00:00 UTC (the property-list epoch).
class Date final : public Object {
 public:
  static constexpr TypeID kTypeID = TypeID::Date;
  // Seconds between the UNIX epoch and the property-list epoch.
  static constexpr double kUnixToAbsolute = 978307200.0;
  static Ref<Date> create(double absoluteTime);
  static Ref<Date> createFromUnixTime(double unixSeconds) {
    return create(unixSeconds - kUnixToAbsolute);
  }
  TypeID typeID() const noexcept override { return kTypeID; }
  double absoluteTime() const noexcept { return seconds_; }
  double unixTime() const noexcept { return seconds_ + kUnixToAbsolute; }

 private:
  explicit Date(double s) : seconds_(s) {}
  double seconds_;
};

class Array final : public Object {
 public:
  static constexpr TypeID kTypeID = TypeID::Array;
  static Ref<Array> create();
  TypeID typeID() const noexcept override { return kTypeID; }
  size_t count() const noexcept { return items_.size(); }
  // Borrowed; null past the end.
  const Object* valueAt(size_t i) const noexcept {
    return i < items_.size() ? items_[i].get() : nullptr;
  }
  void append(const Object* v);  // retains v; v must not be null
  void removeAll() noexcept { items_.clear(); }

 private:
  Array() = default;
  std::vector<Ref<const Object>> items_;
};

// String keys only, as in a property list. Iteration is in key order.
class Dictionary final : public Object {
 public:
  static constexpr TypeID kTypeID = TypeID::Dictionary;
  using Map = std::map<std::string, Ref<const Object>, std::less<>>;
  static Ref<Dictionary> create();
  // A new dictionary holding the same values (each retained once more).
  Ref<Dictionary> mutableCopy() const;
  TypeID typeID() const noexcept override { return kTypeID; }
  size_t count() const noexcept { return items_.size(); }
  // Borrowed; null when absent.
  const Object* valueForKey(std::string_view key) const noexcept;
  void setValue(std::string_view key, const Object* v);  // retains v; v must not be null
  void removeValue(std::string_view key) noexcept;
  const Map& items() const noexcept { return items_; }

 private:
  Dictionary() = default;
  Map items_;
};

// The object as T when it is one, else null (null in, null out).
template <class T>
const T* as(const Object* o) noexcept {
  return (o && o->typeID() == T::kTypeID) ? static_cast<const T*>(o) : nullptr;
}
template <class T>
T* asMutable(Object* o) noexcept {
  return (o && o->typeID() == T::kTypeID) ? static_cast<T*>(o) : nullptr;
}

// Deep equality of two property lists. Numbers compare by value across their kinds.
bool equal(const Object* a, const Object* b) noexcept;

// Convenience readers for dictionary values of a given type; null/false when the key is
// missing or holds another type.
const String* stringForKey(const Dictionary* d, std::string_view key) noexcept;
const Array* arrayForKey(const Dictionary* d, std::string_view key) noexcept;
const Dictionary* dictionaryForKey(const Dictionary* d, std::string_view key) noexcept;
bool sint32ForKey(const Dictionary* d, std::string_view key, int32_t* out) noexcept;

// Coercions for values a user or another program may have stored as any type.
// The integer a value reads as: a number's (reals truncated, both clamped to 32 bits,
// NaN 0), a text's leading decimal digits after blanks and a sign (none: 0), a boolean's
// 1 or 0; any other type 0.
int intValue(const Object* value) noexcept;
// The text a value shows as: a text as it is, a number in decimals (reals as "%g");
// any other type or none: nothing.
std::optional<std::string> textValue(const Object* value);

}  // namespace tvl::cf

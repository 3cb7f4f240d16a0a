#include "platform/cf/PropertyListXML.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/system/Files.h"

namespace cf {

namespace {

constexpr int kMaxDepth = 256;

struct PlistDeleter {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
  void operator()(void* p) const { std::free(p); }
};

bool fail(std::string* error, const char* why) {
  if (error) *error = why;
  return false;
}

Ref<Object> failed(std::string* error, const char* why) {
  fail(error, why);
  return nullptr;
}

// libplist reads integers with strtoll/strtoull and keeps 64 unsigned bits, so it takes
// "12abc" for 12 and cannot tell -1 from 2^64-1. Check every <integer> text ourselves.
bool integersAreValid(std::string_view xml, std::string* error) {
  static constexpr std::string_view kOpen = "<integer>";
  for (size_t pos = xml.find(kOpen); pos != std::string_view::npos; pos = xml.find(kOpen, pos)) {
    pos += kOpen.size();
    size_t end = xml.find('<', pos);
    if (end == std::string_view::npos) return fail(error, "unterminated integer");
    std::string_view text = xml.substr(pos, end - pos);
    while (!text.empty() && std::strchr(" \t\r\n", text.front())) text.remove_prefix(1);
    while (!text.empty() && std::strchr(" \t\r\n", text.back())) text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int64_t value = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || p != text.data() + text.size())
      return fail(error, "integer not a signed 64-bit decimal");
  }
  return true;
}

// libplist's reader recurses for every nested container: refuse deep nesting before it
// can exhaust the stack.
bool nestingIsShallow(std::string_view xml, std::string* error) {
  int depth = 0;
  for (size_t pos = xml.find('<'); pos != std::string_view::npos; pos = xml.find('<', pos + 1)) {
    std::string_view tag = xml.substr(pos);
    if (tag.starts_with("<dict>") || tag.starts_with("<array>")) {
      if (++depth > kMaxDepth) return fail(error, "nested too deeply");
    } else if (tag.starts_with("</dict>") || tag.starts_with("</array>")) {
      --depth;
    }
  }
  return true;
}

// Nothing but white space may follow the closing tag.
bool endsCleanly(std::string_view xml) {
  size_t close = xml.rfind("</plist>");
  if (close == std::string_view::npos) return false;
  for (char c : xml.substr(close + 8))
    if (!std::strchr(" \t\r\n", c)) return false;
  return true;
}

// Counts the <key> elements of the text: libplist silently drops a key that has no value,
// so the number of keys read must equal the number of dictionary entries made.
size_t countKeys(std::string_view xml) {
  size_t n = 0;
  for (size_t pos = xml.find("<key"); pos != std::string_view::npos;
       pos = xml.find("<key", pos + 4))
    if (xml.substr(pos + 4, 1) == ">" || xml.substr(pos + 4, 2) == "/>") ++n;
  return n;
}

Ref<Object> convert(plist_t node, int depth, std::string* error, size_t* entries) {
  if (depth > kMaxDepth) {
    fail(error, "nested too deeply");
    return nullptr;
  }
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Boolean::create(b != 0);
    }
    case PLIST_UINT: {
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      auto s = static_cast<int64_t>(v);  // range was checked on the text
      if (s >= INT32_MIN && s <= INT32_MAX) return Number::createSInt32(static_cast<int32_t>(s));
      return Number::createSInt64(s);
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Number::createReal(d);
    }
    case PLIST_STRING: {
      char* s = nullptr;
      plist_get_string_val(node, &s);
      std::unique_ptr<char, MallocDeleter> hold(s);
      return String::create(s ? s : "");
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      std::unique_ptr<char, MallocDeleter> hold(bytes);
      return Data::create(bytes, bytes ? length : 0);
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Date::create(sec + usec / 1e6);
    }
    case PLIST_ARRAY: {
      auto array = Array::create();
      uint32_t n = plist_array_get_size(node);
      for (uint32_t i = 0; i < n; ++i) {
        plist_t item = plist_array_get_item(node, i);
        if (!item) return failed(error, "array item missing");
        auto value = convert(item, depth + 1, error, entries);
        if (!value) return nullptr;
        array->append(value.get());
      }
      return array;
    }
    case PLIST_DICT: {
      auto dict = Dictionary::create();
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      std::unique_ptr<void, MallocDeleter> holdIter(it);
      uint32_t seen = 0;
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        std::unique_ptr<char, MallocDeleter> holdKey(key);
        if (!key && !item) break;
        if (!key || !item) return failed(error, "dictionary key without value");
        auto value = convert(item, depth + 1, error, entries);
        if (!value) return nullptr;
        if (dict->valueForKey(key)) return failed(error, "duplicate dictionary key");
        dict->setValue(key, value.get());
        ++seen;
        ++*entries;
      }
      if (seen != plist_dict_get_size(node)) return failed(error, "malformed dictionary");
      return dict;
    }
    default:
      return failed(error, "unsupported element");
  }
}

PlistPtr toPlist(const Object* o, int depth) {
  if (!o || depth > kMaxDepth) return nullptr;
  switch (o->typeID()) {
    case TypeID::String:
      return PlistPtr(plist_new_string(as<String>(o)->str().c_str()));
    case TypeID::Boolean:
      return PlistPtr(plist_new_bool(as<Boolean>(o)->value()));
    case TypeID::Data: {
      auto& b = as<Data>(o)->bytes();
      return PlistPtr(plist_new_data(reinterpret_cast<const char*>(b.data()), b.size()));
    }
    case TypeID::Date: {
      double t = as<Date>(o)->absoluteTime();
      if (!std::isfinite(t) || t >= 2147483648.0 || t < -2147483648.0) return nullptr;
      double whole = std::floor(t);
      return PlistPtr(plist_new_date(static_cast<int32_t>(whole),
                                     static_cast<int32_t>(std::lround((t - whole) * 1e6))));
    }
    case TypeID::Number: {
      auto* n = as<Number>(o);
      if (n->kind() == Number::Kind::Real) {
        double d = 0;
        n->getReal(&d);
        if (!std::isfinite(d)) return nullptr;
        return PlistPtr(plist_new_real(d));
      }
      int64_t v = 0;
      n->getSInt64(&v);
      return PlistPtr(plist_new_uint(static_cast<uint64_t>(v)));
    }
    case TypeID::Array: {
      PlistPtr array(plist_new_array());
      auto* a = as<Array>(o);
      for (size_t i = 0; i < a->count(); ++i) {
        PlistPtr item = toPlist(a->valueAt(i), depth + 1);
        if (!item) return nullptr;
        plist_array_append_item(array.get(), item.release());
      }
      return array;
    }
    case TypeID::Dictionary: {
      PlistPtr dict(plist_new_dict());
      for (auto& [key, value] : as<Dictionary>(o)->items()) {
        PlistPtr item = toPlist(value.get(), depth + 1);
        if (!item) return nullptr;
        plist_dict_set_item(dict.get(), key.c_str(), item.release());
      }
      return dict;
    }
  }
  return nullptr;
}

}  // namespace

Ref<Object> createFromXML(std::string_view xml, std::string* error) {
  if (xml.empty() || xml.size() > UINT32_MAX) return failed(error, "empty or oversized");
  if (xml.find('\0') != std::string_view::npos) return failed(error, "NUL byte");
  if (xml.find("<plist") == std::string_view::npos || !endsCleanly(xml))
    return failed(error, "not an XML property list");
  if (!integersAreValid(xml, error) || !nestingIsShallow(xml, error)) return nullptr;
  plist_t raw = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &raw);
  PlistPtr root(raw);
  if (!root) return failed(error, "not a well-formed XML property list");
  size_t entries = 0;
  auto plist = convert(root.get(), 0, error, &entries);
  if (plist && entries != countKeys(xml)) return failed(error, "dictionary key without value");
  return plist;
}

Ref<Object> createFromXMLFile(const std::string& path, std::string* error, size_t maxBytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failed(error, std::strerror(errno));
  std::string bytes;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      return failed(error, std::strerror(e));
    }
    bytes.append(buf, static_cast<size_t>(n));
    if (bytes.size() > maxBytes) {
      ::close(fd);
      return failed(error, "file too large");
    }
  }
  ::close(fd);
  return createFromXML(bytes, error);
}

bool createXMLData(const Object* plist, std::string* xml) {
  xml->clear();
  PlistPtr node = toPlist(plist, 0);
  if (!node) return false;
  char* out = nullptr;
  uint32_t length = 0;
  plist_to_xml(node.get(), &out, &length);
  std::unique_ptr<char, MallocDeleter> hold(out);
  if (!out) return false;
  xml->assign(out, length);
  return true;
}

int writeXMLFileAtomically(const Object* plist, const std::string& path) {
  std::string xml;
  if (!createXMLData(plist, &xml)) return EINVAL;
  return tvl::system::writeFileAtomically(path, xml);
}

}  // namespace cf

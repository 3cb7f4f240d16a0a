#include "platform/cf/PropertyListXML.h"

#include <fcntl.h>
#include <locale.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/system/Files.h"

namespace tvl::cf {

namespace {

// The writer refuses objects nested deeper than the reader would take back.
constexpr int kMaxDepth = 256;

// libplist reads and writes reals with the C library's conversions, which follow the
// process's locale: a German locale (Qt sets the user's) would read "45.5" as 45 and could
// write "45,5". The file is the same in every language, so the codec runs in the C locale,
// on this thread only.
class CLocaleScope {
 public:
  CLocaleScope() {
    static const locale_t c = ::newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    if (c) previous_ = ::uselocale(c);
  }
  ~CLocaleScope() {
    if (previous_) ::uselocale(previous_);
  }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t previous_ = locale_t(nullptr);
};

struct PlistDeleter {
  void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
  void operator()(void* p) const { std::free(p); }
};

bool fail(std::string* error, const char* why) noexcept {
  // The reason is a courtesy: without memory for it the failure still stands.
  try {
    if (error) *error = why;
  } catch (...) {
  }
  return false;
}

Ref<Object> failed(std::string* error, const char* why) noexcept {
  fail(error, why);
  return nullptr;
}

// What the markup scan found: enough for the checks that libplist's reader leaves to us.
struct Markup {
  size_t keys = 0;  // <key> elements, however spelled
};

bool isNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':' || c == '.' ||
         c == '-';
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The text of markup that libplist skips (a processing instruction, a document type, the
// attributes of a tag) must hold no '<' and no '>', and its double quotes must pair up:
// then libplist, which skips quoted text there, ends it at the same '>' as we do, and no
// element can hide inside it.
bool isPlainMarkup(std::string_view text) {
  return text.find_first_of("<>") == std::string_view::npos &&
         std::count(text.begin(), text.end(), '"') % 2 == 0;
}

// libplist reads integers with strtoull and keeps 64 unsigned bits, so it takes "12abc"
// for 12 and cannot tell -1 from 2^64-1: the text must be a signed 64-bit decimal.
bool isInteger(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int64_t value = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && ec == std::errc() && p == text.data() + text.size();
}

// Walks the markup before libplist sees it: libplist's reader and its free recurse once
// for each nested element and it allocates without checking, so the nesting and the
// number of elements are bounded here, whatever the spelling of the tags (spaces,
// attributes, self-closing). The scan is strict where libplist is lenient: an element
// must close with its own name, and markup it does not know is refused, so that every
// element libplist can make is one the scan has counted.
bool scanMarkup(std::string_view xml, const ReadLimits& limits, Markup* markup,
                std::string* error) {
  std::vector<std::string_view> open;  // names of the elements open at this point
  size_t elements = 0;
  size_t textStart = 0;
  for (size_t lt = xml.find('<'); lt != std::string_view::npos; lt = xml.find('<', lt)) {
    std::string_view rest = xml.substr(lt);
    bool inInteger = !open.empty() && open.back() == "integer";
    std::string_view text = xml.substr(textStart, lt - textStart);
    if (rest.starts_with("<!--")) {
      // "<!-->" and "<!--->" are where readers disagree on where the comment ends.
      if (rest.substr(4).starts_with(">") || rest.substr(4).starts_with("->"))
        return fail(error, "malformed comment");
      size_t end = xml.find("-->", lt + 4);
      if (end == std::string_view::npos) return fail(error, "unterminated comment");
      if (inInteger) return fail(error, "integer not a signed 64-bit decimal");
      lt = end + 3;
    } else if (rest.starts_with("<![CDATA[")) {
      size_t end = xml.find("]]>", lt + 9);
      if (end == std::string_view::npos) return fail(error, "unterminated CDATA section");
      if (inInteger) return fail(error, "integer not a signed 64-bit decimal");
      lt = end + 3;
    } else if (rest.starts_with("<?") || rest.starts_with("<!DOCTYPE")) {
      bool instruction = rest[1] == '?';
      size_t bodyStart = lt + (instruction ? 2 : 9);
      size_t end = instruction ? xml.find("?>", bodyStart) : xml.find('>', bodyStart);
      if (end == std::string_view::npos || !open.empty() ||
          !isPlainMarkup(xml.substr(bodyStart, end - bodyStart)) ||
          (!instruction && xml.substr(bodyStart, end - bodyStart).find('[') != std::string::npos))
        return fail(error, "malformed declaration");
      lt = end + (instruction ? 2 : 1);
    } else if (rest.starts_with("</")) {
      size_t nameEnd = lt + 2;
      while (nameEnd < xml.size() && isNameChar(xml[nameEnd])) ++nameEnd;
      std::string_view name = xml.substr(lt + 2, nameEnd - lt - 2);
      size_t gt = nameEnd;
      while (gt < xml.size() && isSpace(xml[gt])) ++gt;
      if (gt >= xml.size() || xml[gt] != '>' || open.empty() || open.back() != name)
        return fail(error, "mismatched closing tag");
      if (name == "integer" && !isInteger(text))
        return fail(error, "integer not a signed 64-bit decimal");
      open.pop_back();
      lt = gt + 1;
    } else if (rest.starts_with("<!")) {
      return fail(error, "unsupported markup");
    } else {
      size_t nameEnd = lt + 1;
      while (nameEnd < xml.size() && isNameChar(xml[nameEnd])) ++nameEnd;
      std::string_view name = xml.substr(lt + 1, nameEnd - lt - 1);
      size_t gt = xml.find('>', nameEnd);
      if (name.empty() || gt == std::string_view::npos) return fail(error, "malformed tag");
      std::string_view attributes = xml.substr(nameEnd, gt - nameEnd);
      bool selfClosing = xml[gt - 1] == '/';
      if (selfClosing) attributes.remove_suffix(1);
      // libplist takes the name up to white space, so "<array/ >" or "<array\"x\">"
      // would be spelled differently there: anything after the name starts with a space.
      if ((!attributes.empty() && !isSpace(attributes.front())) || !isPlainMarkup(attributes))
        return fail(error, "malformed tag");
      if (inInteger) return fail(error, "integer not a signed 64-bit decimal");
      if (++elements > limits.maxNodes) return fail(error, "too many elements");
      if (open.size() + 1 > static_cast<size_t>(limits.maxDepth))
        return fail(error, "nested too deeply");
      if (name == "key") ++markup->keys;
      if (!selfClosing) open.push_back(name);
      lt = gt + 1;
    }
    textStart = lt;
  }
  if (!open.empty()) return fail(error, "unclosed element");
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

struct Conversion {
  const ReadLimits& limits;
  std::string* error;
  size_t entries = 0;   // dictionary entries made
  size_t elements = 1;  // elements of the document that the objects stand for, <plist> included
};

// depth: elements open at this node in the document (<plist> and the node included). The
// scan has bounded both; seeing more here means the scan and libplist disagree on markup.
Ref<Object> convert(plist_t node, int depth, Conversion* c) {
  if (depth > c->limits.maxDepth || ++c->elements > c->limits.maxNodes)
    return failed(c->error, "markup the scan did not see");
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
      // Borrowed, not copied: a string may be most of a frame read under a tight data limit.
      const char* s = plist_get_string_ptr(node, nullptr);
      return String::create(s ? s : "");
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
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
        if (!item) return failed(c->error, "array item missing");
        auto value = convert(item, depth + 1, c);
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
        if (!key || !item) return failed(c->error, "dictionary key without value");
        if (++c->elements > c->limits.maxNodes)
          return failed(c->error, "markup the scan did not see");
        auto value = convert(item, depth + 1, c);
        if (!value) return nullptr;
        if (dict->valueForKey(key)) return failed(c->error, "duplicate dictionary key");
        dict->setValue(key, value.get());
        ++seen;
        ++c->entries;
      }
      if (seen != plist_dict_get_size(node)) return failed(c->error, "malformed dictionary");
      return dict;
    }
    default:
      return failed(c->error, "unsupported element");
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

Ref<Object> createFromXML(std::string_view xml, std::string* error, const ReadLimits& limits) {
  // The input may be anyone's (the helper tool reads it as root): running out of memory
  // is a failed read like any other, never an exception that ends the process.
  try {
    if (xml.empty() || xml.size() > UINT32_MAX) return failed(error, "empty or oversized");
    if (xml.find('\0') != std::string_view::npos) return failed(error, "NUL byte");
    if (xml.find("<plist") == std::string_view::npos || !endsCleanly(xml))
      return failed(error, "not an XML property list");
    Markup markup;
    if (!scanMarkup(xml, limits, &markup, error)) return nullptr;
    plist_t raw = nullptr;
    {
      CLocaleScope c;
      plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &raw);
    }
    PlistPtr root(raw);
    if (!root) return failed(error, "not a well-formed XML property list");
    Conversion conversion{limits, error};
    auto plist = convert(root.get(), 2, &conversion);
    // libplist drops a key that has no value.
    if (plist && conversion.entries != markup.keys)
      return failed(error, "dictionary key without value");
    return plist;
  } catch (const std::bad_alloc&) {
    return failed(error, "out of memory");
  } catch (...) {
    return failed(error, "unexpected failure");
  }
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
  {
    CLocaleScope c;
    plist_to_xml(node.get(), &out, &length);
  }
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

}  // namespace tvl::cf

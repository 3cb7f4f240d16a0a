#include "platform/bundle/Bundle.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/cf/PropertyListXML.h"

namespace tvl::bundle {

namespace fs = std::filesystem;

namespace {

constexpr char kEnglish[] = "English.lproj";
constexpr size_t kMaxStringsFile = 1u << 20;

bool isFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

void appendUTF8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

class StringsParser {
 public:
  explicit StringsParser(std::string_view t) : text_(t) {}

  bool parse(StringTable* table, std::string* error) {
    for (;;) {
      if (!skipSpaceAndComments()) return fail("unterminated comment", error);
      if (pos_ == text_.size()) return true;
      std::string key, value;
      if (!token(&key)) return fail("expected a quoted key", error);
      if (!skipSpaceAndComments()) return fail("unterminated comment", error);
      if (peek() == ';') {  // `"key";` stands for `"key" = "key";`
        ++pos_;
        (*table)[key] = key;
        continue;
      }
      if (peek() != '=') return fail("expected '=' after key \"" + key + "\"", error);
      ++pos_;
      if (!skipSpaceAndComments()) return fail("unterminated comment", error);
      if (!token(&value)) return fail("expected a quoted value for \"" + key + "\"", error);
      if (!skipSpaceAndComments()) return fail("unterminated comment", error);
      if (peek() != ';') return fail("expected ';' after the value of \"" + key + "\"", error);
      ++pos_;
      (*table)[key] = value;
    }
  }

 private:
  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

  bool fail(const std::string& reason, std::string* error) {
    if (error) {
      size_t line = 1;
      for (size_t i = 0; i < pos_ && i < text_.size(); ++i) line += text_[i] == '\n';
      *error = "line " + std::to_string(line) + ": " + reason;
    }
    return false;
  }

  bool skipSpaceAndComments() {
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++pos_;
      } else if (text_.substr(pos_, 2) == "/*") {
        size_t end = text_.find("*/", pos_ + 2);
        if (end == std::string_view::npos) return false;
        pos_ = end + 2;
      } else if (text_.substr(pos_, 2) == "//") {
        size_t end = text_.find('\n', pos_);
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else {
        break;
      }
    }
    return true;
  }

  // A quoted string, or a bare word of letters, digits and _.-
  bool token(std::string* out) {
    if (peek() != '"') {
      size_t start = pos_;
      while (pos_ < text_.size() &&
             (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_' ||
              text_[pos_] == '.' || text_[pos_] == '-'))
        ++pos_;
      *out = std::string(text_.substr(start, pos_ - start));
      return pos_ > start;
    }
    ++pos_;
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (pos_ >= text_.size()) return false;
      char e = text_[pos_++];
      switch (e) {
        case 'n':
          *out += '\n';
          break;
        case 't':
          *out += '\t';
          break;
        case 'r':
          *out += '\r';
          break;
        case 'U':
        case 'u': {
          if (pos_ + 4 > text_.size()) return false;
          uint32_t code = 0;
          for (int i = 0; i < 4; ++i) {
            char h = text_[pos_++];
            int v = std::isdigit(static_cast<unsigned char>(h)) ? h - '0'
                    : (h >= 'a' && h <= 'f')                    ? h - 'a' + 10
                    : (h >= 'A' && h <= 'F')                    ? h - 'A' + 10
                                                                : -1;
            if (v < 0) return false;
            code = code * 16 + static_cast<uint32_t>(v);
          }
          appendUTF8(*out, code);
          break;
        }
        default:
          *out += e;
          break;  // \" \\ \' and any other escaped character
      }
    }
    return false;  // no closing quote
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

bool parseStringsFile(std::string_view text, StringTable* table, std::string* error) {
  StringTable parsed;
  // A UTF-8 byte order mark may precede the text.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  if (!StringsParser(text).parse(&parsed, error)) {
    table->clear();
    return false;
  }
  *table = std::move(parsed);
  return true;
}

// Every .strings file of one .lproj folder, by table name.
static std::map<std::string, StringTable, std::less<>> readTables(const fs::path& lproj) {
  std::map<std::string, StringTable, std::less<>> tables;
  std::error_code ec;
  for (fs::directory_iterator it(lproj, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() != ".strings" || !isFile(it->path())) continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::string text(kMaxStringsFile + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    StringTable table;
    std::string error;
    if (text.size() > kMaxStringsFile) {
      error = "file too large";
    } else if (parseStringsFile(text, &table, &error)) {
      tables.emplace(it->path().stem().string(), std::move(table));
      continue;
    }
    // A broken strings file shows the English texts (or keys) instead; say why once.
    std::fprintf(stderr, "%s: %s\n", it->path().c_str(), error.c_str());
  }
  return tables;
}

Bundle::Bundle(std::string path) : path_(std::move(path)) {
  while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
  auto object = cf::createFromXMLFile(path_ + "/Contents/Info.plist");
  if (auto* dict = cf::as<cf::Dictionary>(object.get()))
    info_ = cf::Ref<cf::Dictionary>::retain(const_cast<cf::Dictionary*>(dict));

  localization_ = chooseLocalization(resourcePath(), preferredLanguages());
  tables_ = readTables(fs::path(resourcePath()) / kEnglish);
  if (localization_ != kEnglish)
    localizedTables_ = readTables(fs::path(resourcePath()) / localization_);
}

std::string Bundle::bundlePathForExecutable(const std::string& executablePath) {
  fs::path folder = fs::path(executablePath).parent_path();
  if (folder.filename() == "MacOS" && folder.parent_path().filename() == "Contents")
    return folder.parent_path().parent_path().string();
  return folder.string();
}

const Bundle& Bundle::mainBundle() {
  static const Bundle main = [] {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return Bundle(ec ? std::string(".") : bundlePathForExecutable(exe.string()));
  }();
  return main;
}

const cf::Object* Bundle::objectForInfoDictionaryKey(std::string_view key) const noexcept {
  return info_ ? info_->valueForKey(key) : nullptr;
}

std::string Bundle::stringForInfoDictionaryKey(std::string_view key) const {
  const cf::String* s = cf::as<cf::String>(objectForInfoDictionaryKey(key));
  return s ? s->str() : std::string();
}

std::string Bundle::pathForAuxiliaryExecutable(const std::string& name) const {
  if (name.empty() || name.find('/') != std::string::npos) return "";
  fs::path p = fs::path(path_) / "Contents" / "MacOS" / name;
  return isFile(p) ? p.string() : "";
}

std::string Bundle::pathForResource(const std::string& name, const std::string& type) const {
  if (name.empty() || name.find("..") != std::string::npos) return "";
  std::string file = type.empty() ? name : name + "." + type;
  // The user's language first, so that a translator may replace any resource.
  const fs::path resources(resourcePath());
  if (localization_ != kEnglish) {
    if (fs::path p = resources / localization_ / file; isFile(p)) return p.string();
  }
  for (const fs::path& dir : {resources, resources / kEnglish}) {
    fs::path p = dir / file;
    if (isFile(p)) return p.string();
  }
  return "";
}

std::string Bundle::pathForImageResource(const std::string& name) const {
  static constexpr const char* kReadable[] = {"png", "svg"};
  fs::path asPath(name);
  std::string ext = asPath.extension().string();
  bool readableExtension = ext == ".png" || ext == ".svg";
  if (readableExtension) {
    if (std::string p = pathForResource(name); !p.empty()) return p;
  }
  std::string stem = ext.empty() ? name : asPath.stem().string();
  for (const char* type : kReadable)
    if (std::string p = pathForResource(stem, type); !p.empty()) return p;
  return "";
}

const StringTable* Bundle::table(const std::string& name, bool localized) const {
  const auto& tables = localized ? localizedTables_ : tables_;
  auto it = tables.find(name.empty() ? std::string("Localizable") : name);
  return it == tables.end() ? nullptr : &it->second;
}

const std::string* Bundle::find(const std::string& key, const std::string& tableName) const {
  // The user's language, then English for each text the translation lacks.
  for (bool localized : {true, false}) {
    if (const StringTable* t = table(tableName, localized)) {
      auto it = t->find(key);
      if (it != t->end()) return &it->second;
    }
  }
  return nullptr;
}

std::string Bundle::localizedStringForKey(const std::string& key, const std::string& value,
                                          const std::string& tableName) const {
  if (const std::string* text = find(key, tableName)) return *text;
  return value.empty() ? key : value;
}

bool Bundle::hasLocalizedStringForKey(const std::string& key, const std::string& tableName) const {
  return find(key, tableName) != nullptr;
}

const StringTable* Bundle::translationTable(const std::string& tableName) const {
  return table(tableName, true);
}

std::vector<std::string> preferredLanguages() {
  auto env = [](const char* name) {
    const char* v = std::getenv(name);
    return std::string(v ? v : "");
  };
  std::string locale = env("LC_ALL");
  if (locale.empty()) locale = env("LC_MESSAGES");
  if (locale.empty()) locale = env("LANG");
  // As gettext does: the C locale means untranslated, whatever LANGUAGE says, so that
  // `LC_ALL=C program` gives English texts to scripts and bug reports.
  auto isC = [](const std::string& l) {
    return l.empty() || l == "C" || l == "POSIX" || l.rfind("C.", 0) == 0;
  };
  if (isC(locale)) return {"en"};
  std::vector<std::string> languages;
  auto add = [&](std::string entry) {
    if (isC(entry)) entry = "en";
    // language[_territory][.codeset][@modifier]: the codeset names no language.
    if (size_t at = entry.find('@'); at != std::string::npos) entry.erase(at);
    if (size_t dot = entry.find('.'); dot != std::string::npos) entry.erase(dot);
    if (entry.empty()) return;
    languages.push_back(entry);
    if (size_t underscore = entry.find('_'); underscore != std::string::npos)
      languages.push_back(entry.substr(0, underscore));
  };
  std::string list = env("LANGUAGE");
  for (size_t start = 0; start <= list.size();) {
    size_t colon = list.find(':', start);
    if (colon == std::string::npos) colon = list.size();
    if (colon > start) add(list.substr(start, colon - start));
    start = colon + 1;
  }
  add(locale);
  return languages;
}

std::string chooseLocalization(const std::string& resourcePath,
                               const std::vector<std::string>& languages) {
  for (const std::string& language : languages) {
    if (language == "en" || language.rfind("en_", 0) == 0) break;
    if (language.find('/') != std::string::npos || language.find("..") != std::string::npos)
      continue;
    std::error_code ec;
    std::string folder = language + ".lproj";
    if (fs::is_directory(fs::path(resourcePath) / folder, ec)) return folder;
  }
  return kEnglish;
}

}  // namespace tvl::bundle

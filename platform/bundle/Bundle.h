// A bundle: a folder X.app/Contents/{Info.plist,MacOS,Resources} that carries a program,
// its Info dictionary, its auxiliary executables, its resources and its localized strings.
// A Bundle reads what it needs when it is made and doesn't change afterwards, so one
// object may be read from several threads.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cf/PropertyList.h"

namespace tvl::bundle {

// The table of a .strings file: key to text.
using StringTable = std::map<std::string, std::string, std::less<>>;

// Parses the text of a .strings file: `"key" = "value";` entries with C escapes
// (\" \\ \n \t \r \UXXXX) and /* */ or // comments. Returns false, with a short reason in
// error, for text that is not one; table then holds nothing.
bool parseStringsFile(std::string_view text, StringTable* table, std::string* error = nullptr);

// The user's languages, most wanted first: the entries of LANGUAGE (colon-separated), then
// the locale (the first set of LC_ALL, LC_MESSAGES, LANG), each without codeset or modifier
// and followed by its bare language ("de_AT.UTF-8" gives "de_AT", "de"). English ("en")
// alone when the locale is C, POSIX or unset, as gettext does.
std::vector<std::string> preferredLanguages();

// The .lproj folder of resourcePath that serves those languages: "<language>.lproj" for the
// first of them that the bundle carries, "English.lproj" when English comes first or none
// is carried. The one place where a program's language is decided.
std::string chooseLocalization(const std::string& resourcePath,
                               const std::vector<std::string>& languages);

class Bundle {
 public:
  // The bundle at path (X.app). A path that is no bundle gives a bundle without an Info
  // dictionary, resources or strings; its path still answers.
  explicit Bundle(std::string path);

  // The running program's bundle, from /proc/self/exe: the folder above Contents/MacOS
  // when the executable lies in one, otherwise the executable's own folder.
  static const Bundle& mainBundle();
  static std::string bundlePathForExecutable(const std::string& executablePath);

  const std::string& bundlePath() const noexcept { return path_; }
  std::string resourcePath() const { return path_ + "/Contents/Resources"; }

  // Null when the bundle has no readable Info.plist.
  const cf::Dictionary* infoDictionary() const noexcept { return info_.get(); }
  // Borrowed; null when absent.
  const cf::Object* objectForInfoDictionaryKey(std::string_view key) const noexcept;
  // The value when it is a string, else "".
  std::string stringForInfoDictionaryKey(std::string_view key) const;

  // Contents/MacOS/<name> when that file exists, else "".
  std::string pathForAuxiliaryExecutable(const std::string& name) const;
  // Contents/Resources/<name>[.<type>] when it exists (first inside the user's language's
  // .lproj, last inside English.lproj), else "".
  std::string pathForResource(const std::string& name, const std::string& type = "") const;
  // The image resource for an image name: the file of that name, or, for a name with or
  // without an image extension ("tvl.tif", "prefs"), the resource of the same stem in one of
  // the formats this platform reads (png, svg). "" when there is none.
  std::string pathForImageResource(const std::string& name) const;

  // The .lproj folder chosen from the user's languages when the bundle was made.
  const std::string& localization() const noexcept { return localization_; }

  // The text for key in <table>.strings (table "" is "Localizable") of the user's language,
  // else of English.lproj, so that a translation may lack texts. A key missing from both
  // gives value when value is not empty, else the key itself.
  std::string localizedStringForKey(const std::string& key, const std::string& value,
                                    const std::string& table = "") const;
  // The same lookup, without a fallback: false when the table has no text for key.
  bool hasLocalizedStringForKey(const std::string& key, const std::string& table = "") const;
  // The table of the user's language alone (null for English or when it has none): what
  // an interface file's texts are replaced with.
  const StringTable* translationTable(const std::string& table) const;

 private:
  const StringTable* table(const std::string& name, bool localized) const;
  const std::string* find(const std::string& key, const std::string& table) const;

  std::string path_;
  cf::Ref<cf::Dictionary> info_;
  std::string localization_;
  // Read at construction: English.lproj's tables and those of the chosen localization.
  std::map<std::string, StringTable, std::less<>> tables_;
  std::map<std::string, StringTable, std::less<>> localizedTables_;
};

}  // namespace tvl::bundle

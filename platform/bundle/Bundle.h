// A bundle: a folder X.app/Contents/{Info.plist,MacOS,Resources} that carries a program,
// its Info dictionary, its auxiliary executables, its resources and its localized strings.
// A Bundle reads what it needs when it is made and doesn't change afterwards, so one
// object may be read from several threads.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/cf/PropertyList.h"

namespace bundle {

// The table of a .strings file: key to text.
using StringTable = std::map<std::string, std::string, std::less<>>;

// Parses the text of a .strings file: `"key" = "value";` entries with C escapes
// (\" \\ \n \t \r \UXXXX) and /* */ or // comments. Returns false, with a short reason in
// error, for text that is not one; table then holds nothing.
bool parseStringsFile(std::string_view text, StringTable* table, std::string* error = nullptr);

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
  // Contents/Resources/<name>[.<type>] when it exists (also inside English.lproj), else "".
  std::string pathForResource(const std::string& name, const std::string& type = "") const;
  // The image resource for an image name: the file of that name, or, for a name with or
  // without an image extension ("tvl.tif", "prefs"), the resource of the same stem in one of
  // the formats this platform reads (png, svg). "" when there is none.
  std::string pathForImageResource(const std::string& name) const;

  // The text for key in English.lproj/<table>.strings (table "" is "Localizable").
  // A missing key gives value when value is not empty, else the key itself.
  std::string localizedStringForKey(const std::string& key, const std::string& value,
                                    const std::string& table = "") const;
  // The same lookup, without a fallback: false when the table has no text for key.
  bool hasLocalizedStringForKey(const std::string& key, const std::string& table = "") const;

 private:
  const StringTable* table(const std::string& name) const;

  std::string path_;
  cf::Ref<cf::Dictionary> info_;
  std::map<std::string, StringTable, std::less<>> tables_;  // read at construction
};

}  // namespace bundle

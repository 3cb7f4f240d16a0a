// The running system's version as a binary-coded-decimal word, 0x1045 for 10.4.5: the
// answer the product's version rules were written for. It comes from the "ProductVersion"
// of /System/Library/CoreServices/SystemVersion.plist when that file exists; otherwise the
// system counts as 10.6.8, the newest version the rules know.
#pragma once

#include <cstdint>
#include <string>

namespace tvl {

inline constexpr char kSystemVersionPlist[] = "/System/Library/CoreServices/SystemVersion.plist";
inline constexpr int32_t kDefaultSystemVersion = 0x1068;

// The word for the file at path; kDefaultSystemVersion when the file is missing, is not a
// property list, or has no "ProductVersion" of the form major.minor[.bugfix].
int32_t systemVersionFromFile(const std::string& path);

// The word for "10.4.5", "10.6"... Digits above 9 read as 9 (one nibble each).
// Returns false for text that is not a version.
bool systemVersionFromString(const std::string& version, int32_t* word);

// systemVersionFromFile(kSystemVersionPlist).
int32_t gestaltSystemVersion();

}  // namespace tvl

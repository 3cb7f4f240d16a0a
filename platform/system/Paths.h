// Paths of the system's fixed file interfaces on Linux, and the well-known folders.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tvl::system {

// The platform's aliases "/private/tmp" and "/private/etc" are the real "/tmp" and "/etc"
// here; every other path is returned unchanged. Only whole components match:
// "/private/tmpfoo" stays as it is.
std::string mapPlatformPath(std::string_view path);

// Folder domains and types, numbered as the platform numbers them.
constexpr int16_t kUserDomain = -32763;
constexpr int16_t kLocalDomain = -32765;
constexpr int16_t kNetworkDomain = -32764;
constexpr int16_t kSystemDomain = -32766;
constexpr uint32_t fourCharCode(const char (&c)[5]) {
  return (uint32_t(uint8_t(c[0])) << 24) | (uint32_t(uint8_t(c[1])) << 16) |
         (uint32_t(uint8_t(c[2])) << 8) | uint32_t(uint8_t(c[3]));
}
constexpr uint32_t kApplicationSupportFolderType = fourCharCode("asup");
constexpr uint32_t kTemporaryFolderType = fourCharCode("temp");

// The folder does not exist in that domain (the platform's "file not found").
constexpr int fnfErr = -43;

// The well-known folder of a domain on Linux (the XDG base directories):
//   application support: user $XDG_DATA_HOME (default ~/.local/share), local
//                        /usr/local/share, system /usr/share, network none;
//   temporary items:     local /var/tmp, user /var/tmp/tvl-<real uid> (a private 0700
//                        folder of the user's on the same volume as the local one), none
//                        for system and network.
// With create set, a missing folder is made (mode 0700 for the user's, 0755 otherwise).
// Returns 0 and the absolute path, fnfErr when the domain has no such folder or it is
// missing and create is not set, EACCES for a user temporary folder that is not a
// directory owned by the user and closed to others, or the errno of a failed mkdir.
int findFolder(int16_t domain, uint32_t folderType, bool create, std::string* path);

// The user's home folder: $HOME when it is an absolute path, else the password entry's.
std::string homeFolder();

}  // namespace tvl::system

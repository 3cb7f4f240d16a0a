#include "platform/system/SystemVersion.h"

#include <plist/plist.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

namespace tvl {

bool systemVersionFromString(const std::string& version, int32_t* word) {
  int parts[3] = {0, 0, 0};
  const char* p = version.data();
  const char* end = p + version.size();
  int count = 0;
  while (count < 3) {
    auto [next, ec] = std::from_chars(p, end, parts[count]);
    if (ec != std::errc() || parts[count] < 0) return false;
    ++count;
    p = next;
    if (p == end) break;
    if (*p != '.') return false;
    ++p;
  }
  if (p != end || count < 2) return false;
  // BCD: two digits of major version, one each for minor and bug-fix.
  int major = parts[0] > 99 ? 99 : parts[0];
  int minor = parts[1] > 9 ? 9 : parts[1];
  int bugfix = parts[2] > 9 ? 9 : parts[2];
  *word = ((major / 10) << 12) | ((major % 10) << 8) | (minor << 4) | bugfix;
  return true;
}

int32_t systemVersionFromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return kDefaultSystemVersion;
  std::string bytes;
  // The real file is a few hundred bytes; anything past 64 KiB is not it.
  bytes.resize(64 * 1024);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  if (bytes.empty()) return kDefaultSystemVersion;

  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  std::unique_ptr<void, void (*)(plist_t)> owner(root, plist_free);
  if (!root || plist_get_node_type(root) != PLIST_DICT) return kDefaultSystemVersion;
  plist_t node = plist_dict_get_item(root, "ProductVersion");
  if (!node || plist_get_node_type(node) != PLIST_STRING) return kDefaultSystemVersion;
  char* text = nullptr;
  plist_get_string_val(node, &text);
  std::unique_ptr<char, void (*)(void*)> textOwner(text, std::free);
  int32_t word = 0;
  if (!text || !systemVersionFromString(text, &word)) return kDefaultSystemVersion;
  return word;
}

int32_t gestaltSystemVersion() {
  return systemVersionFromFile(kSystemVersionPlist);
}

}  // namespace tvl

// XML property lists (version 1.0, UTF-8) to and from property-list objects.
//
// Reading is strict: anything that is not a well-formed XML property list made of
// strings, integers (signed 64-bit range), reals, booleans, data, dates, arrays and
// dictionaries is an error. A failed read returns null and never a partial object.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/cf/PropertyList.h"

namespace tvl::cf {

// Bounds on what a read may build, checked on the markup before anything is built.
struct ReadLimits {
  // Elements open at once, <plist> and the innermost value included.
  int maxDepth = 256;
  // Elements of the whole document (<plist> and keys included).
  size_t maxNodes = size_t{1} << 20;
};

// Parses XML bytes. On failure (malformed input, limits exceeded, no memory) returns null
// and, when error is given, a short reason; it never throws.
Ref<Object> createFromXML(std::string_view xml, std::string* error = nullptr,
                          const ReadLimits& limits = ReadLimits());

// Reads and parses a whole file (at most maxBytes of it; a larger file is an error).
Ref<Object> createFromXMLFile(const std::string& path, std::string* error = nullptr,
                              size_t maxBytes = 16u << 20);

// Serializes; returns false (and leaves xml empty) when the object cannot be written,
// for example a real that is not finite.
bool createXMLData(const Object* plist, std::string* xml);

// Writes the XML of plist to path atomically: a temporary file beside it that is then
// renamed over it, so a reader sees the old or the new file, never a part. A file that
// already exists keeps its permission bits; a new one gets 0666 less the umask.
// Returns 0 or an errno value (EINVAL when the object cannot be serialized).
int writeXMLFileAtomically(const Object* plist, const std::string& path);

}  // namespace tvl::cf

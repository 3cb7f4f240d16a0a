// Writing a whole file so that a reader sees the old or the new contents, never a part.
#pragma once

#include <string>
#include <string_view>

namespace tvl::system {

// Writes bytes to a new file beside path, made by mkostemp (a random name, O_EXCL: a link
// planted there is never followed), syncs it and renames it over path. A file that already
// exists keeps its permission bits; a new one gets 0666 less the umask. A link at path is
// replaced, not followed. On failure the temporary file is removed and path is untouched.
// Returns 0 or an errno value.
int writeFileAtomically(const std::string& path, std::string_view bytes);

}  // namespace tvl::system

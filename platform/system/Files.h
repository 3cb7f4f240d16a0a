// Writing a whole file so that a reader sees the old or the new contents, never a part.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tvl::system {

// Writes bytes to a new file beside path, made by mkostemp (a random name, O_EXCL: a link
// planted there is never followed), syncs it and renames it over path. A file that already
// exists keeps its permission bits; a new one gets 0666 less the umask. A link at path is
// replaced, not followed. On failure the temporary file is removed and path is untouched.
// Returns 0 or an errno value.
int writeFileAtomically(const std::string& path, std::string_view bytes);

// The one writer of the product's private files (secrets, keys, tokens, scripts of a
// session): the file gets mode (0600, or 0700 for a script) before a byte is written, so
// no other account ever sees its contents.
enum class Existing { Refuse, Replace };
// Refuse: path must not exist; a file or link already there is refused (EEXIST), never
// followed or truncated. Replace: written beside and renamed over path, as
// writeFileAtomically, so a reader sees the old or the new contents. Returns 0 or an
// errno value; on failure nothing new is left behind.
int writePrivateFile(const std::string& path, std::string_view bytes, mode_t mode,
                     Existing existing = Existing::Refuse);

}  // namespace tvl::system

// Where a support session keeps its private folder, and the clean-up of folders that a
// killed session left behind. Mac Tovalo makes the folder; the desktop cover's watch
// removes what is left when Mac Tovalo is gone.
#pragma once

#include <string>

namespace tvl::common {

// The user's runtime folder ($XDG_RUNTIME_DIR) when it is a folder, else the temporary
// folder ($TMPDIR, else /tmp).
std::string sessionFolderBase();

// Removes every session folder (named with the product's kTunnelMarker and a suffix)
// directly in base that belongs to this process's user, with all it holds. Folders of
// other accounts, links and anything else are left alone. How many were removed.
int removeSessionFolders(const std::string& base);

}  // namespace tvl::common

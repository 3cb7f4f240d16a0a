#include "controller/Edition.h"

namespace tvl::controller {

namespace {

// Outside a main application TVLQC only alerts and quits; its tool tip and window title
// are the second edition's, as they always were.
constexpr EditionTraits kEditions[] = {
    {Edition::MacTovalo, "Mac Tovalo", "tvl.tif", "connected.tif", "sLaunchTVL", "sBringToFrontTVL",
     "sQuitTVLQCMenuItem", "sTVLToolTip", "sTVLSharingToolTip", "sTVLWindowTitle", "com.nrvk.tvl"},
    {Edition::MacBrisca, "Mac Brisca", "mbx.tif", "connected.tif", "sLaunchMBX", "sBringToFrontMBX",
     "sQuitMBXQCMenuItem", "sMBXToolTip", "sMBXSharingToolTip", "sMBXWindowTitle",
     "com.nrvk.tvl.brisca"},
    {Edition::NoEnclosingApp, "", "noenclosure.tif", "tvl.tif", "sLaunchTVL", "sBringToFrontTVL",
     "sQuitTVLQCMenuItem", "sMBXToolTip", nullptr, "sMBXWindowTitle", nullptr},
};

}  // namespace

const EditionTraits& traits(Edition edition) {
  for (const EditionTraits& row : kEditions)
    if (row.edition == edition) return row;
  return kEditions[2];
}

Edition editionForApplicationName(std::string_view name) {
  for (const EditionTraits& row : kEditions)
    if (*row.applicationName && name.find(row.applicationName) != std::string_view::npos)
      return row.edition;
  return Edition::NoEnclosingApp;
}

}  // namespace tvl::controller

// The editions of the main application TVLQC can sit in, and what each one changes: the
// application its scripts address, its status icons, the keys of its texts and the icon
// its desktop notifications show. One row each, so that no code decides by a file name.
#pragma once

#include <cstdint>
#include <string_view>

namespace tvl::controller {

// The values are the edition codes the rest of the product knows.
enum class Edition : int32_t { NoEnclosingApp = -1, MacTovalo = 0, MacBrisca = 1 };

struct EditionTraits {
  Edition edition;
  const char* applicationName;  // "" outside a main application: no script is sent
  const char* menuIcon;         // the status icon, and the one it blinks with
  const char* menuIconAlt;
  // Keys of the controller's string table.
  const char* launchTitle;
  const char* bringToFrontTitle;
  const char* quitTitle;
  const char* toolTip;
  const char* sharingToolTip;  // null: the tool tip does not change while sharing
  const char* windowTitle;
  const char* notificationIcon;  // null: no desktop notifications
};

const EditionTraits& traits(Edition edition);
// The edition a main application's folder name stands for ("Mac Tovalo 3.app", ...).
Edition editionForApplicationName(std::string_view name);
// An edition that is a main application (not NoEnclosingApp).
inline bool isMainApplication(Edition e) {
  return e == Edition::MacTovalo || e == Edition::MacBrisca;
}

}  // namespace tvl::controller

#include "platform/wlroots/Keymap.h"

#include <xkbcommon/xkbcommon.h>

#include <cstdlib>

namespace tvl::wlroots {

namespace {

// xkbcommon numbers keys as X11 did: the Linux input code plus 8.
constexpr std::uint32_t kEvdevOffset = 8;

const char* orNull(const std::string& s) {
  return s.empty() ? nullptr : s.c_str();
}

}  // namespace

std::unique_ptr<Keymap> Keymap::load(const Names& names) {
  std::unique_ptr<Keymap> map(new Keymap);
  map->context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  if (!map->context_) return nullptr;
  const xkb_rule_names rules{orNull(names.rules), orNull(names.model), orNull(names.layout),
                             orNull(names.variant), orNull(names.options)};
  map->keymap_ = xkb_keymap_new_from_names(map->context_, &rules, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (!map->keymap_) return nullptr;
  char* text = xkb_keymap_get_as_string(map->keymap_, XKB_KEYMAP_FORMAT_TEXT_V1);
  if (!text) return nullptr;
  map->text_ = text;
  std::free(text);
  for (const char* name : {XKB_MOD_NAME_SHIFT, "Mod5", "LevelThree"}) {
    const xkb_mod_index_t i = xkb_keymap_mod_get_index(map->keymap_, name);
    if (i != XKB_MOD_INVALID) map->levelMods_ |= 1u << i;
  }
  return map;
}

Keymap::~Keymap() {
  if (keymap_) xkb_keymap_unref(keymap_);
  if (context_) xkb_context_unref(context_);
}

std::optional<Keymap::Press> Keymap::find(std::uint32_t keysym) const {
  std::optional<Press> best;
  xkb_level_index_t bestLevel = 0;
  const xkb_keycode_t last = xkb_keymap_max_keycode(keymap_);
  for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap_); code <= last; ++code) {
    if (code < kEvdevOffset || xkb_keymap_num_layouts_for_key(keymap_, code) == 0) continue;
    const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap_, code, 0);
    for (xkb_level_index_t level = 0; level < levels; ++level) {
      if (best && level >= bestLevel) break;
      const xkb_keysym_t* syms = nullptr;
      const int n = xkb_keymap_key_get_syms_by_level(keymap_, code, 0, level, &syms);
      bool match = false;
      for (int i = 0; i < n && !match; ++i) match = syms[i] == keysym;
      if (!match) continue;
      xkb_mod_mask_t masks[4] = {};
      const size_t count = xkb_keymap_key_get_mods_for_level(keymap_, code, 0, level, masks, 4);
      if (level > 0 && count == 0) continue;  // a level no modifiers reach
      // Shift rather than Caps Lock for a capital: the level's modifiers alone.
      xkb_mod_mask_t mods = masks[0];
      for (size_t i = 0; i < count; ++i)
        if ((masks[i] & ~levelMods_) == 0) {
          mods = masks[i];
          break;
        }
      best = Press{code - kEvdevOffset, count ? mods : 0};
      bestLevel = level;
    }
  }
  return best;
}

std::uint32_t Keymap::modifierOf(std::uint32_t key) const {
  // What the key's first level does to the state: a modifier key sets its mask.
  xkb_state* state = xkb_state_new(keymap_);
  if (!state) return 0;
  xkb_state_update_key(state, key + kEvdevOffset, XKB_KEY_DOWN);
  const std::uint32_t mods = xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED);
  xkb_state_unref(state);
  return mods;
}

}  // namespace tvl::wlroots

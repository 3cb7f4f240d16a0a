// The keymap of our virtual keyboard, and what to press on it for a keysym: a VNC viewer
// sends keysyms ('A', '!', Return), a Wayland keyboard sends key codes with modifiers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct xkb_context;
struct xkb_keymap;

namespace tvl::wlroots {

class Keymap {
 public:
  // The keymap from the XKB_DEFAULT_* environment, as xkbcommon reads it (a "us" layout
  // when nothing is set), or the one named. Empty fields take xkbcommon's defaults.
  struct Names {
    std::string rules, model, layout, variant, options;
  };
  static std::unique_ptr<Keymap> load(const Names& names = {});
  ~Keymap();

  // The keymap as text, for the compositor.
  const std::string& text() const { return text_; }

  // A key and the modifiers that make it give the keysym (Shift for 'A' on a "us"
  // layout); the key is a Linux input code. The lowest level wins: 'a' needs none.
  struct Press {
    std::uint32_t key = 0;
    std::uint32_t modifiers = 0;
    bool operator==(const Press&) const = default;
  };
  std::optional<Press> find(std::uint32_t keysym) const;
  // The modifier mask a modifier key sets while held (Shift_L: Shift), 0 for other keys.
  std::uint32_t modifierOf(std::uint32_t key) const;
  // The masks of Shift and of the third level (AltGr): those the keys' levels need.
  std::uint32_t levelModifiers() const { return levelMods_; }

 private:
  Keymap() = default;
  xkb_context* context_ = nullptr;
  xkb_keymap* keymap_ = nullptr;
  std::string text_;
  std::uint32_t levelMods_ = 0;
};

}  // namespace tvl::wlroots

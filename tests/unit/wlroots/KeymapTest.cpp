// What our virtual keyboard presses for the keysyms a VNC viewer sends, on the layouts of
// two users (xkeyboard-config's "us" and "de").
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include "platform/wlroots/Keymap.h"

using namespace tvl;
using wlroots::Keymap;

namespace {

TEST(Keymap, AKeysymIsTheKeyAndModifiersThatGiveIt) {
  const auto us = Keymap::load({"evdev", "pc105", "us", "", ""});
  const auto de = Keymap::load({"evdev", "pc105", "de", "", ""});
  ASSERT_TRUE(us && de);
  const std::uint32_t shift = us->modifierOf(KEY_LEFTSHIFT);
  const std::uint32_t altGr = de->modifierOf(KEY_RIGHTALT);
  ASSERT_NE(shift, 0u);
  ASSERT_NE(altGr, 0u);
  EXPECT_NE(shift, altGr);
  EXPECT_EQ(us->modifierOf(KEY_A), 0u);

  struct Case {
    const Keymap* map;
    std::uint32_t keysym;
    std::optional<Keymap::Press> expected;
  };
  const Case cases[] = {
      {us.get(), 'a', Keymap::Press{KEY_A, 0}},
      {us.get(), 'A', Keymap::Press{KEY_A, shift}},  // Shift, not Caps Lock
      {us.get(), '!', Keymap::Press{KEY_1, shift}},
      {us.get(), ' ', Keymap::Press{KEY_SPACE, 0}},
      {us.get(), XKB_KEY_Return, Keymap::Press{KEY_ENTER, 0}},
      {us.get(), XKB_KEY_Shift_L, Keymap::Press{KEY_LEFTSHIFT, 0}},
      {us.get(), XKB_KEY_adiaeresis, std::nullopt},  // no key for it on "us"
      {de.get(), 'z', Keymap::Press{KEY_Y, 0}},
      {de.get(), '@', Keymap::Press{KEY_Q, altGr}},
      {de.get(), XKB_KEY_adiaeresis, Keymap::Press{KEY_APOSTROPHE, 0}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.map->find(c.keysym), c.expected) << std::hex << c.keysym;
  EXPECT_NE(us->text().find("xkb_keymap"), std::string::npos);
}

}  // namespace

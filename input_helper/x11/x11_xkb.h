#pragma once

#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "x11/x_connection.h"

struct xcb_xkb_get_map_reply_t;

namespace halvorine::x11 {

inline constexpr uint8_t modShift = XCB_MOD_MASK_SHIFT;
inline constexpr uint8_t modLock = XCB_MOD_MASK_LOCK;

// The keysym and level part of the server's XKB keymap, enough to tell which keysym a client
// reads from a key event with given modifiers and group.
struct XkbKeymap {
  struct Entry {
    uint8_t mods = 0;  // the modifiers (within the type's mask) that select the level
    uint8_t level = 0;
    uint8_t preserve = 0;  // modifiers the entry leaves for the client to apply
  };
  struct Type {
    uint8_t mask = 0;            // the modifiers the type looks at
    std::vector<Entry> entries;  // active entries only
  };
  struct Key {
    uint8_t groupInfo = 0;  // number of groups and what an out-of-range group becomes
    uint8_t width = 0;      // keysyms per group
    std::array<uint8_t, 4> types{};
    std::vector<xcb_keysym_t> syms;  // group by group, width each
  };

  // The keymap of a GetMap reply with key types and key symbols; nullopt for a malformed one.
  static std::optional<XkbKeymap> fromReply(const xcb_xkb_get_map_reply_t* reply, size_t size);

  // The keysym that a press of the key gives to an XKB client when the event carries these
  // modifiers and this effective group: the group brought into the key's range, the level its
  // type selects, and an active Lock that the type does not use up turning it to upper case.
  xcb_keysym_t keysym(xcb_keycode_t keycode, uint8_t mods, uint8_t group) const;

  xcb_keycode_t firstKeycode = 0;
  std::vector<Type> types;
  std::vector<Key> keys;  // keycodes from firstKeycode on
};

// What the keyboard is set to at the moment: the effective group and the modifiers that a key
// event would carry (locked Caps Lock and Num Lock among them).
struct XkbKeyboardState {
  uint8_t group = 0;
  uint8_t mods = 0;
  uint8_t lockedMods = 0;
};

// The keymap and state of the core keyboard, read with the connection's reply deadline; nullopt
// when the server has no XKB or did not answer. The extension is set up once per connection:
// setUpFor keeps the generation of the connection it was set up on.
class XkbKeyboard {
 public:
  static std::optional<XkbKeyboard> fetch(XConnection& connection, uint64_t& setUpFor);

  const XkbKeymap& keymap() const { return keymap_; }
  const XkbKeyboardState& state() const { return state_; }

 private:
  XkbKeymap keymap_;
  XkbKeyboardState state_;
};

// Sets the locked state of the modifiers in affect to that in locked (no reply).
void lockModifiers(xcb_connection_t* c, uint8_t affect, uint8_t locked);

// Case conversion of keysyms as XKB clients do it for Caps Lock.
xcb_keysym_t upperCaseKeysym(xcb_keysym_t sym);
// Whether a client's Caps Lock case change may turn the keysym typed for the character into
// another: xkbcommon converts by its keysym tables, Xlib converts Unicode keysyms by the case of
// the character, so either counts.
bool capsLockCanChange(xcb_keysym_t sym, char32_t cp);
// The keysym that a keymap names a Unicode character with when it has a named one (Cyrillic_ef
// for U+0444); 0 when it has none.
xcb_keysym_t namedKeysymFor(char32_t cp);

}  // namespace halvorine::x11

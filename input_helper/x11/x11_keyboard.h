#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "x11/x_connection.h"

namespace halvorine::x11 {

namespace keysym {
inline constexpr xcb_keysym_t noSymbol = 0;
inline constexpr xcb_keysym_t backSpace = 0xff08;
inline constexpr xcb_keysym_t tab = 0xff09;
inline constexpr xcb_keysym_t returnKey = 0xff0d;
inline constexpr xcb_keysym_t escape = 0xff1b;
inline constexpr xcb_keysym_t home = 0xff50;
inline constexpr xcb_keysym_t left = 0xff51;
inline constexpr xcb_keysym_t up = 0xff52;
inline constexpr xcb_keysym_t right = 0xff53;
inline constexpr xcb_keysym_t down = 0xff54;
inline constexpr xcb_keysym_t prior = 0xff55;
inline constexpr xcb_keysym_t next = 0xff56;
inline constexpr xcb_keysym_t end = 0xff57;
inline constexpr xcb_keysym_t shiftL = 0xffe1;
inline constexpr xcb_keysym_t shiftR = 0xffe2;
inline constexpr xcb_keysym_t controlL = 0xffe3;
inline constexpr xcb_keysym_t controlR = 0xffe4;
inline constexpr xcb_keysym_t altL = 0xffe9;
inline constexpr xcb_keysym_t altR = 0xffea;
inline constexpr xcb_keysym_t superL = 0xffeb;
inline constexpr xcb_keysym_t superR = 0xffec;
inline constexpr xcb_keysym_t deleteKey = 0xffff;
}  // namespace keysym

// The keysym that a virtual key code of the host stands for; nullopt for codes without one.
std::optional<xcb_keysym_t> keysymForVirtualKey(uint16_t code);

// The keysym that types one Unicode code point: Latin-1 keysyms where they exist, the Unicode
// keysym range otherwise; line feed and carriage return are Return, tab is Tab.
xcb_keysym_t keysymForCodePoint(char32_t cp);

// A copy of the server's core keyboard mapping, read in one round trip.
class KeyboardMapping {
 public:
  // nullopt when the connection is unusable or the reply did not come.
  static std::optional<KeyboardMapping> fetch(XConnection& connection);

  uint8_t keysymsPerKeycode() const { return perKeycode_; }

  // The keysyms of one keycode (keysymsPerKeycode() of them).
  std::vector<xcb_keysym_t> row(xcb_keycode_t keycode) const;
  void setRow(xcb_keycode_t keycode, const std::vector<xcb_keysym_t>& keysyms);

  // The lowest keycode that gives the keysym without any modifier (first column), or 0.
  xcb_keycode_t unshiftedKeycode(xcb_keysym_t sym) const;
  // Keycodes without any keysym, highest first: free for temporary bindings.
  std::vector<xcb_keycode_t> unusedKeycodes() const;
  // Keycodes for temporary bindings: the unused ones, or, in a keymap without any, the four
  // highest keycodes that hold no modifier or lock key (borrowed, and given back afterwards).
  std::vector<xcb_keycode_t> spareKeycodes() const;

 private:
  xcb_keycode_t min_ = 0;
  xcb_keycode_t max_ = 0;
  uint8_t perKeycode_ = 0;
  std::vector<xcb_keysym_t> keysyms_;
};

}  // namespace halvorine::x11

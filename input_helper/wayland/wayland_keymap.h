#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halvorine::wayland {

// Linux input key codes (linux/input-event-codes.h) of the keys the helper presses itself.
namespace evdev {
inline constexpr uint32_t leftCtrl = 29;
inline constexpr uint32_t leftShift = 42;
inline constexpr uint32_t leftAlt = 56;
inline constexpr uint32_t leftMeta = 125;
}  // namespace evdev

// Modifier bits of a key press; each is pressed as the left key of its kind.
namespace modifier {
inline constexpr uint32_t shift = 1;
inline constexpr uint32_t control = 2;
inline constexpr uint32_t alt = 4;
inline constexpr uint32_t super = 8;
}  // namespace modifier

// The keysym that types one Unicode code point: Latin-1 keysyms where they exist, the Unicode
// keysym range otherwise; line feed and carriage return are Return, tab is Tab, backspace,
// escape and delete are their keys.
uint32_t keysymForCodePoint(char32_t cp);

// The helper's own keymap for its virtual keyboard: a US layout on the usual physical keys, so
// that a key of the helper's key table is pressed by its evdev code, and spare keys that each give
// one keysym on every level, for the characters a text needs. A keysym keeps its spare key as long
// as it is placed, so that a client still reading an earlier key decodes it the same way.
class HelperKeymap {
 public:
  HelperKeymap();

  // The physical key of the US layout that gives the keysym without modifiers (e.g. Return, 'a',
  // Left), nullopt for keysyms the layout reaches only with Shift or not at all.
  static std::optional<uint32_t> layoutKeyFor(uint32_t keysym);
  // The key that types the keysym with no modifier held, in the keymap as it is now.
  std::optional<uint32_t> keyFor(uint32_t keysym) const;

  struct Placement {
    size_t placed = 0;         // how many of the keysyms (from the front) the keymap now types
    bool changed = false;      // whether the keymap text changed
    bool evictedUsed = false;  // whether a keysym typed since markSettled() lost its key
  };
  // Makes the keymap type the keysyms, keeping keysyms placed earlier where there is room and
  // giving up those used longest ago. When not all fit, the longest front part that fits is placed.
  Placement place(const std::vector<uint32_t>& keysyms);
  // Notes that the keysym was typed (for the choice of keys to give up).
  void markUsed(uint32_t keysym);
  // Every key typed so far has been read by the clients.
  void markSettled();

  // The complete keymap in the XKB text format, without includes, ready to upload: the standard
  // US keymap with the placed keysyms on spare keys. Empty when xkbcommon has no US layout.
  std::string text() const;

  static size_t spareKeyCount();

 private:
  struct Slot {
    uint32_t key = 0;  // evdev code
    std::string name;  // its name in the keymap
    uint32_t keysym = 0;
    uint64_t lastUse = 0;
    bool usedSinceSettle = false;
  };
  std::vector<Slot> slots_;
  uint64_t clock_ = 0;
};

}  // namespace halvorine::wayland

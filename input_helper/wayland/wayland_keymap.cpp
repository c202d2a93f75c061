#include "wayland/wayland_keymap.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace halvorine::wayland {

namespace {

// evdev code, keysym without and with Shift (0: none).
struct LayoutKey {
  uint32_t key;
  uint32_t base;
  uint32_t shifted;
};

// Keysym values (xkbcommon-keysyms.h) of the keys that are not characters.
constexpr uint32_t escape = 0xff1b, backSpace = 0xff08, tab = 0xff09, returnKey = 0xff0d,
                   home = 0xff50, left = 0xff51, up = 0xff52, right = 0xff53, down = 0xff54,
                   prior = 0xff55, next = 0xff56, end = 0xff57, insert = 0xff63, deleteKey = 0xffff,
                   shiftL = 0xffe1, shiftR = 0xffe2, controlL = 0xffe3, controlR = 0xffe4,
                   altL = 0xffe9, altR = 0xffea, superL = 0xffeb, superR = 0xffec, f1 = 0xffbe;

constexpr LayoutKey layout[] = {
    {1, escape, 0},   {2, '1', '!'},    {3, '2', '@'},      {4, '3', '#'},      {5, '4', '$'},
    {6, '5', '%'},    {7, '6', '^'},    {8, '7', '&'},      {9, '8', '*'},      {10, '9', '('},
    {11, '0', ')'},   {12, '-', '_'},   {13, '=', '+'},     {14, backSpace, 0}, {15, tab, 0},
    {16, 'q', 'Q'},   {17, 'w', 'W'},   {18, 'e', 'E'},     {19, 'r', 'R'},     {20, 't', 'T'},
    {21, 'y', 'Y'},   {22, 'u', 'U'},   {23, 'i', 'I'},     {24, 'o', 'O'},     {25, 'p', 'P'},
    {26, '[', '{'},   {27, ']', '}'},   {28, returnKey, 0}, {29, controlL, 0},  {30, 'a', 'A'},
    {31, 's', 'S'},   {32, 'd', 'D'},   {33, 'f', 'F'},     {34, 'g', 'G'},     {35, 'h', 'H'},
    {36, 'j', 'J'},   {37, 'k', 'K'},   {38, 'l', 'L'},     {39, ';', ':'},     {40, '\'', '"'},
    {41, '`', '~'},   {42, shiftL, 0},  {43, '\\', '|'},    {44, 'z', 'Z'},     {45, 'x', 'X'},
    {46, 'c', 'C'},   {47, 'v', 'V'},   {48, 'b', 'B'},     {49, 'n', 'N'},     {50, 'm', 'M'},
    {51, ',', '<'},   {52, '.', '>'},   {53, '/', '?'},     {54, shiftR, 0},    {56, altL, 0},
    {57, ' ', 0},     {59, f1, 0},      {60, f1 + 1, 0},    {61, f1 + 2, 0},    {62, f1 + 3, 0},
    {63, f1 + 4, 0},  {64, f1 + 5, 0},  {65, f1 + 6, 0},    {66, f1 + 7, 0},    {67, f1 + 8, 0},
    {68, f1 + 9, 0},  {87, f1 + 10, 0}, {88, f1 + 11, 0},   {97, controlR, 0},  {100, altR, 0},
    {102, home, 0},   {103, up, 0},     {104, prior, 0},    {105, left, 0},     {106, right, 0},
    {107, end, 0},    {108, down, 0},   {109, next, 0},     {110, insert, 0},   {111, deleteKey, 0},
    {125, superL, 0}, {126, superR, 0},
};

// Spare keys sit above the keys of any ordinary layout, up to the highest code that X clients
// (under Xwayland) can see: X keycodes are evdev codes plus 8 and end at 255.
constexpr uint32_t firstSpareKey = 128;
constexpr uint32_t lastSpareKey = 247;

// XKB keycodes are evdev codes plus 8.
std::string keyName(uint32_t evdevCode) {
  return "<K" + std::to_string(evdevCode + 8) + ">";
}

std::string keysymName(uint32_t keysym) {
  char name[64];
  if (xkb_keysym_get_name(keysym, name, sizeof name) > 0) return name;
  std::snprintf(name, sizeof name, "0x%08x", keysym);
  return name;
}

bool isLetter(uint32_t keysym) {
  return keysym >= 'a' && keysym <= 'z';
}

}  // namespace

uint32_t keysymForCodePoint(char32_t cp) {
  switch (cp) {
    case U'\n':
    case U'\r':
      return returnKey;
    case U'\t':
      return tab;
    case 0x08:
      return backSpace;
    case 0x1b:
      return escape;
    case 0x7f:
      return deleteKey;
    default:
      break;
  }
  if ((cp >= 0x20 && cp <= 0x7e) || (cp >= 0xa0 && cp <= 0xff)) return cp;
  return 0x01000000 + static_cast<uint32_t>(cp);
}

HelperKeymap::HelperKeymap() {
  for (uint32_t key = firstSpareKey; key <= lastSpareKey; ++key) slots_.push_back(Slot{key});
}

size_t HelperKeymap::spareKeyCount() {
  return lastSpareKey - firstSpareKey + 1;
}

std::optional<uint32_t> HelperKeymap::layoutKeyFor(uint32_t keysym) {
  if (keysym == 0) return std::nullopt;
  for (const LayoutKey& k : layout) {
    if (k.base == keysym) return k.key;
  }
  return std::nullopt;
}

std::optional<uint32_t> HelperKeymap::keyFor(uint32_t keysym) const {
  if (auto key = layoutKeyFor(keysym)) return key;
  for (const Slot& s : slots_) {
    if (s.keysym == keysym && keysym != 0) return s.key;
  }
  return std::nullopt;
}

void HelperKeymap::markUsed(uint32_t keysym) {
  for (Slot& s : slots_) {
    if (s.keysym == keysym) {
      s.lastUse = ++clock_;
      s.usedSinceSettle = true;
    }
  }
}

void HelperKeymap::markSettled() {
  for (Slot& s : slots_) s.usedSinceSettle = false;
}

HelperKeymap::Placement HelperKeymap::place(const std::vector<uint32_t>& keysyms) {
  Placement result;
  // The keysyms that need a spare key, in order of first appearance, with the count of keysyms
  // from the front that they cover.
  std::vector<uint32_t> wanted;
  std::set<uint32_t> wantedSet;
  for (size_t i = 0; i < keysyms.size(); ++i) {
    const uint32_t sym = keysyms[i];
    if (sym != 0 && !layoutKeyFor(sym) && wantedSet.insert(sym).second) {
      if (wanted.size() == slots_.size()) break;
      wanted.push_back(sym);
    }
    result.placed = i + 1;
  }
  // Keysyms already placed stay where they are and count as used now.
  std::vector<uint32_t> missing;
  for (const uint32_t sym : wanted) {
    auto it =
        std::find_if(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.keysym == sym; });
    if (it != slots_.end()) {
      it->lastUse = ++clock_;
    } else {
      missing.push_back(sym);
    }
  }
  for (const uint32_t sym : missing) {
    // A free key, else the one used longest ago that this text does not need.
    Slot* target = nullptr;
    for (Slot& s : slots_) {
      if (wantedSet.count(s.keysym) != 0 && s.keysym != 0) continue;
      if (target == nullptr ||
          (target->keysym != 0 && (s.keysym == 0 || s.lastUse < target->lastUse))) {
        target = &s;
      }
    }
    if (target == nullptr) break;  // cannot happen: wanted fits into the slots
    if (target->keysym != 0 && target->usedSinceSettle) result.evictedUsed = true;
    target->keysym = sym;
    target->lastUse = ++clock_;
    target->usedSinceSettle = false;
    result.changed = true;
  }
  return result;
}

std::string HelperKeymap::text() const {
  std::string keycodes = "xkb_keycodes \"halvorine\" {\n  minimum = 8;\n  maximum = 255;\n";
  std::string symbols = "xkb_symbols \"halvorine\" {\n  name[Group1] = \"Halvorine\";\n";
  for (const LayoutKey& k : layout) {
    keycodes += "  " + keyName(k.key) + " = " + std::to_string(k.key + 8) + ";\n";
    if (k.shifted == 0) {
      symbols += "  key " + keyName(k.key) + " { [ " + keysymName(k.base) + " ] };\n";
    } else {
      symbols += "  key " + keyName(k.key) + " { type = \"" +
                 (isLetter(k.base) ? "ALPHABETIC" : "TWO_LEVEL") + "\", [ " + keysymName(k.base) +
                 ", " + keysymName(k.shifted) + " ] };\n";
    }
  }
  for (const Slot& s : slots_) {
    keycodes += "  " + keyName(s.key) + " = " + std::to_string(s.key + 8) + ";\n";
    if (s.keysym != 0) {
      symbols += "  key " + keyName(s.key) + " { type = \"ONE_LEVEL\", [ " + keysymName(s.keysym) +
                 " ] };\n";
    }
  }
  keycodes += "};\n";
  const auto pair = [](uint32_t a, uint32_t b) { return keyName(a) + ", " + keyName(b); };
  symbols += "  modifier_map Shift { " + pair(evdev::leftShift, 54) + " };\n";
  symbols += "  modifier_map Control { " + pair(evdev::leftCtrl, 97) + " };\n";
  symbols += "  modifier_map Mod1 { " + pair(evdev::leftAlt, 100) + " };\n";
  symbols += "  modifier_map Mod4 { " + pair(evdev::leftMeta, 126) + " };\n";
  symbols += "};\n";

  const std::string types =
      "xkb_types \"halvorine\" {\n"
      "  type \"ONE_LEVEL\" {\n"
      "    modifiers = none;\n"
      "    level_name[Level1] = \"Any\";\n"
      "  };\n"
      "  type \"TWO_LEVEL\" {\n"
      "    modifiers = Shift;\n"
      "    map[Shift] = Level2;\n"
      "    level_name[Level1] = \"Base\";\n"
      "    level_name[Level2] = \"Shift\";\n"
      "  };\n"
      "  type \"ALPHABETIC\" {\n"
      "    modifiers = Shift + Lock;\n"
      "    map[Shift] = Level2;\n"
      "    map[Lock] = Level2;\n"
      "    level_name[Level1] = \"Base\";\n"
      "    level_name[Level2] = \"Caps\";\n"
      "  };\n"
      "  type \"KEYPAD\" {\n"
      "    modifiers = Shift;\n"
      "    map[Shift] = Level2;\n"
      "    level_name[Level1] = \"Base\";\n"
      "    level_name[Level2] = \"Number\";\n"
      "  };\n"
      "};\n";
  // Keys on a modifier map set that modifier while they are down.
  const std::string compat =
      "xkb_compatibility \"halvorine\" {\n"
      "  interpret Any + AnyOf(all) {\n"
      "    action = SetMods(modifiers = modMapMods, clearLocks);\n"
      "  };\n"
      "};\n";
  return "xkb_keymap {\n" + keycodes + types + compat + symbols + "};\n";
}

}  // namespace halvorine::wayland

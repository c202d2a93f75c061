#include "wayland/wayland_keymap.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

std::string keysymName(uint32_t keysym) {
  char name[64];
  if (xkb_keysym_get_name(keysym, name, sizeof name) > 0) return name;
  std::snprintf(name, sizeof name, "0x%08x", keysym);
  return name;
}

// The standard US keymap as xkbcommon serialises it, split so that the symbols of single keys
// can be replaced. Its types and compatibility sections are what X servers expect: Xwayland
// compiles the keymap with xkbcomp and keeps its old mapping when the X server refuses the
// result, which hand-written sections easily provoke.
struct BaseKeymap {
  std::string head;  // up to and including the opening of the symbols section
  struct Statement {
    std::string text;
    std::string keyName;  // for key statements
  };
  std::vector<Statement> symbols;
  std::string tail;  // from the closing of the symbols section
  std::vector<std::pair<uint32_t, std::string>> spareKeys;  // evdev code, key name
};

// The end of the statement that starts at `from` (just past its ';'), skipping nested braces
// and quoted strings; npos when the text ends first.
size_t statementEnd(const std::string& text, size_t from) {
  int depth = 0;
  bool quoted = false;
  for (size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '\\') ++i;
      if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '{') {
      ++depth;
    } else if (c == '}') {
      --depth;
    } else if (c == ';' && depth == 0) {
      return i + 1;
    }
  }
  return std::string::npos;
}

bool splitBase(const std::string& text, xkb_keymap* keymap, BaseKeymap& base) {
  const size_t section = text.find("xkb_symbols");
  if (section == std::string::npos) return false;
  size_t pos = text.find('{', section);
  if (pos == std::string::npos) return false;
  pos = text.find('\n', pos);
  if (pos == std::string::npos) return false;
  base.head = text.substr(0, pos + 1);
  ++pos;
  std::set<std::string> modifierKeys;
  while (true) {
    const size_t begin = text.find_first_not_of(" \t\n", pos);
    if (begin == std::string::npos) return false;
    if (text[begin] == '}') {
      base.tail = text.substr(begin);
      break;
    }
    const size_t end = statementEnd(text, begin);
    if (end == std::string::npos) return false;
    BaseKeymap::Statement st{text.substr(begin, end - begin), {}};
    const bool isKey = st.text.rfind("key", 0) == 0 && st.text.size() > 3 &&
                       (st.text[3] == ' ' || st.text[3] == '\t' || st.text[3] == '<');
    const bool isModifierMap = st.text.rfind("modifier_map", 0) == 0;
    for (size_t a = st.text.find('<'); (isKey || isModifierMap) && a != std::string::npos;
         a = st.text.find('<', a + 1)) {
      const size_t b = st.text.find('>', a);
      if (b == std::string::npos) break;
      const std::string name = st.text.substr(a + 1, b - a - 1);
      if (isModifierMap) modifierKeys.insert(name);
      if (isKey) {
        st.keyName = name;
        break;
      }
    }
    base.symbols.push_back(std::move(st));
    pos = end;
  }
  // Keys on a modifier map stay as they are: they give the modifiers their meaning.
  for (uint32_t key = firstSpareKey; key <= lastSpareKey; ++key) {
    const char* name = xkb_keymap_key_get_name(keymap, key + 8);
    if (name == nullptr || modifierKeys.count(name) != 0) continue;
    base.spareKeys.emplace_back(key, name);
  }
  return true;
}

const BaseKeymap& baseKeymap() {
  static const BaseKeymap base = [] {
    BaseKeymap b;
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (context == nullptr) return b;
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (keymap != nullptr) {
      char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
      if (text != nullptr && !splitBase(text, keymap, b)) b = BaseKeymap{};
      std::free(text);
      xkb_keymap_unref(keymap);
    }
    xkb_context_unref(context);
    return b;
  }();
  return base;
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
  for (const auto& [key, name] : baseKeymap().spareKeys) slots_.push_back(Slot{key, name});
}

size_t HelperKeymap::spareKeyCount() {
  return baseKeymap().spareKeys.size();
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
  const BaseKeymap& base = baseKeymap();
  if (base.head.empty()) return {};
  std::set<std::string> replaced;
  std::string keys;
  for (const Slot& s : slots_) {
    if (s.keysym == 0) continue;
    replaced.insert(s.name);
    // One level: Shift or Caps Lock held by the user's keyboard changes nothing.
    keys += "\tkey <" + s.name + "> { type = \"ONE_LEVEL\", [ " + keysymName(s.keysym) + " ] };\n";
  }
  std::string text = base.head;
  for (const BaseKeymap::Statement& st : base.symbols) {
    if (!st.keyName.empty() && replaced.count(st.keyName) != 0) continue;
    text += "\t" + st.text + "\n";
  }
  return text + keys + base.tail;
}

}  // namespace halvorine::wayland

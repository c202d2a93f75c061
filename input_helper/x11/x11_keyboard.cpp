#include "x11/x11_keyboard.h"

#include <algorithm>
#include <utility>

namespace halvorine::x11 {

namespace {

// Virtual key code -> keysym, in the host's key numbering.
constexpr std::pair<uint16_t, xcb_keysym_t> virtualKeys[] = {
    {0, 'a'},
    {1, 's'},
    {2, 'd'},
    {3, 'f'},
    {4, 'h'},
    {5, 'g'},
    {6, 'z'},
    {7, 'x'},
    {8, 'c'},
    {9, 'v'},
    {11, 'b'},
    {12, 'q'},
    {13, 'w'},
    {14, 'e'},
    {15, 'r'},
    {16, 'y'},
    {17, 't'},
    {18, '1'},
    {19, '2'},
    {20, '3'},
    {21, '4'},
    {22, '6'},
    {23, '5'},
    {24, '='},
    {25, '9'},
    {26, '7'},
    {27, '-'},
    {28, '8'},
    {29, '0'},
    {30, ']'},
    {31, 'o'},
    {32, 'u'},
    {33, '['},
    {34, 'i'},
    {35, 'p'},
    {36, keysym::returnKey},
    {37, 'l'},
    {38, 'j'},
    {39, '\''},
    {40, 'k'},
    {41, ';'},
    {42, '\\'},
    {43, ','},
    {44, '/'},
    {45, 'n'},
    {46, 'm'},
    {47, '.'},
    {48, keysym::tab},
    {49, ' '},
    {50, '`'},
    {51, keysym::backSpace},
    {53, keysym::escape},
    {115, keysym::home},
    {116, keysym::prior},
    {117, keysym::deleteKey},
    {119, keysym::end},
    {121, keysym::next},
    {123, keysym::left},
    {124, keysym::right},
    {125, keysym::down},
    {126, keysym::up},
};

}  // namespace

std::optional<xcb_keysym_t> keysymForVirtualKey(uint16_t code) {
  for (const auto& [virtualCode, sym] : virtualKeys) {
    if (virtualCode == code) return sym;
  }
  return std::nullopt;
}

xcb_keysym_t keysymForCodePoint(char32_t cp) {
  switch (cp) {
    case U'\n':
    case U'\r':
      return keysym::returnKey;
    case U'\t':
      return keysym::tab;
    case 0x08:
      return keysym::backSpace;
    case 0x1b:
      return keysym::escape;
    case 0x7f:
      return keysym::deleteKey;
    default:
      break;
  }
  if ((cp >= 0x20 && cp <= 0x7e) || (cp >= 0xa0 && cp <= 0xff)) return cp;
  return 0x01000000 + cp;
}

std::optional<KeyboardMapping> KeyboardMapping::fetch(XConnection& connection) {
  xcb_connection_t* c = connection.get();
  if (c == nullptr) return std::nullopt;
  const xcb_setup_t* setup = xcb_get_setup(c);
  const xcb_keycode_t min = setup->min_keycode;
  const xcb_keycode_t max = setup->max_keycode;
  auto reply = connection.reply<xcb_get_keyboard_mapping_reply_t>(
      xcb_get_keyboard_mapping(c, min, static_cast<uint8_t>(max - min + 1)));
  if (!reply) return std::nullopt;
  KeyboardMapping mapping;
  mapping.min_ = min;
  mapping.max_ = max;
  mapping.perKeycode_ = reply->keysyms_per_keycode;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
  const int count = xcb_get_keyboard_mapping_keysyms_length(reply.get());
  mapping.keysyms_.assign(syms, syms + count);
  mapping.keysyms_.resize(static_cast<size_t>(max - min + 1) * mapping.perKeycode_,
                          keysym::noSymbol);
  return mapping;
}

std::vector<xcb_keysym_t> KeyboardMapping::row(xcb_keycode_t keycode) const {
  if (keycode < min_ || keycode > max_ || perKeycode_ == 0) return {};
  const auto begin = keysyms_.begin() + static_cast<long>(keycode - min_) * perKeycode_;
  return std::vector<xcb_keysym_t>(begin, begin + perKeycode_);
}

void KeyboardMapping::setRow(xcb_keycode_t keycode, const std::vector<xcb_keysym_t>& keysyms) {
  if (keycode < min_ || keycode > max_) return;
  for (size_t i = 0; i < perKeycode_; ++i) {
    keysyms_[static_cast<size_t>(keycode - min_) * perKeycode_ + i] =
        i < keysyms.size() ? keysyms[i] : keysym::noSymbol;
  }
}

xcb_keycode_t KeyboardMapping::unshiftedKeycode(xcb_keysym_t sym) const {
  if (perKeycode_ == 0 || sym == keysym::noSymbol) return 0;
  for (int keycode = min_; keycode <= max_; ++keycode) {
    if (keysyms_[static_cast<size_t>(keycode - min_) * perKeycode_] == sym) {
      return static_cast<xcb_keycode_t>(keycode);
    }
  }
  return 0;
}

std::vector<xcb_keycode_t> KeyboardMapping::unusedKeycodes() const {
  std::vector<xcb_keycode_t> unused;
  for (int keycode = max_; keycode >= min_ && perKeycode_ > 0; --keycode) {
    const auto begin = keysyms_.begin() + static_cast<long>(keycode - min_) * perKeycode_;
    if (std::all_of(begin, begin + perKeycode_,
                    [](xcb_keysym_t s) { return s == keysym::noSymbol; })) {
      unused.push_back(static_cast<xcb_keycode_t>(keycode));
    }
  }
  return unused;
}

std::vector<xcb_keycode_t> KeyboardMapping::spareKeycodes() const {
  std::vector<xcb_keycode_t> spares = unusedKeycodes();
  if (!spares.empty() || perKeycode_ == 0) return spares;
  const auto isModifier = [](xcb_keysym_t sym) {
    return (sym >= 0xffe1 && sym <= 0xffee) ||  // Shift_L .. Hyper_R, Caps_Lock, Shift_Lock
           (sym >= 0xfe01 && sym <= 0xfe13) ||  // ISO level and group shifts
           sym == 0xff7e || sym == 0xff7f || sym == 0xff14;  // Mode_switch, Num_Lock, Scroll_Lock
  };
  for (int keycode = max_; keycode >= min_ && spares.size() < 4; --keycode) {
    const auto begin = keysyms_.begin() + static_cast<long>(keycode - min_) * perKeycode_;
    if (std::none_of(begin, begin + perKeycode_, isModifier)) {
      spares.push_back(static_cast<xcb_keycode_t>(keycode));
    }
  }
  return spares;
}

}  // namespace halvorine::x11

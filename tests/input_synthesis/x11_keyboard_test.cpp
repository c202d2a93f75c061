#include <gtest/gtest.h>

#include <cstring>

// The XKB header names a member "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include "input_synthesis/key_names.h"
#include "key_table_cases.h"
#include "x11/x11_keyboard.h"
#include "x11/x11_xkb.h"

namespace halvorine::x11 {
namespace {

// Every key name reaches the keysym of the key it names (the numbering of virtual key codes is
// not in key order, so a slip in either table shows here).
TEST(X11Keyboard, EveryKeyNameHasItsKeysym) {
  for (const testing::KeyNameCase& c : testing::keyTableKeysyms) {
    SCOPED_TRACE(c.name);
    const std::optional<uint16_t> code = keyCodeFor(std::string(c.name));
    ASSERT_TRUE(code);
    EXPECT_EQ(keysymForVirtualKey(*code), c.keysym);
  }
  EXPECT_EQ(keysymForVirtualKey(10), std::nullopt);
  EXPECT_EQ(keysymForVirtualKey(52), std::nullopt);
}

TEST(X11Keyboard, CodePointKeysyms) {
  const struct {
    char32_t cp;
    xcb_keysym_t sym;
  } cases[] = {
      {U'a', 'a'},
      {U'A', 'A'},
      {U' ', ' '},
      {U'~', '~'},
      {0xA0, 0xA0},
      {0xE9, 0xE9},
      {0xFF, 0xFF},
      {0x100, 0x1000100},
      {0x20AC, 0x10020AC},
      {0x4E2D, 0x1004E2D},
      {0x1F600, 0x101F600},
      {0x301, 0x1000301},
      {U'\n', keysym::returnKey},
      {U'\r', keysym::returnKey},
      {U'\t', keysym::tab},
      {0x85, 0x1000085},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(keysymForCodePoint(c.cp), c.sym) << std::hex << static_cast<uint32_t>(c.cp);
  }
}

}  // namespace
}  // namespace halvorine::x11

namespace halvorine::x11 {
namespace {

// A small keymap with the canonical types and keys of one to three groups.
XkbKeymap sampleKeymap() {
  constexpr uint8_t control = XCB_MOD_MASK_CONTROL;
  XkbKeymap map;
  map.types = {
      {0, {}},                                                    // 0 ONE_LEVEL
      {modShift, {{modShift, 1, 0}}},                             // 1 TWO_LEVEL
      {modShift | modLock, {{modShift, 1, 0}, {modLock, 1, 0}}},  // 2 ALPHABETIC
      // 3: Control selects nothing but stays for the client; Lock is looked at yet left unused.
      {modShift | modLock | control, {{modShift, 1, 0}, {modLock, 0, modLock}}},
  };
  map.firstKeycode = 10;
  map.keys = {
      {2, 2, {2, 2}, {'a', 'A', 0x6c6, 0x6e6}},  // 10: a A | Cyrillic_ef Cyrillic_EF
      {1, 2, {1}, {'1', '!'}},                   // 11: one group, wraps
      {1, 2, {1}, {0xe9, 0xe9}},                 // 12: a bound key: é on both levels
      {0x40 | 2, 1, {0, 0}, {'x', 'y'}},         // 13: two groups, clamped
      {0x80 | 0x00 | 2, 1, {0, 0}, {'p', 'q'}},  // 14: two groups, redirected to 1
      {1, 2, {3}, {'k', 'K'}},                   // 15: type 3
      {0, 0, {}, {}},                            // 16: no keysyms
  };
  return map;
}

TEST(XkbKeymapTest, KeysymForModifiersAndGroup) {
  const XkbKeymap map = sampleKeymap();
  const struct {
    xcb_keycode_t key;
    uint8_t mods;
    uint8_t group;
    xcb_keysym_t sym;
  } cases[] = {
      {10, 0, 0, 'a'},
      {10, modShift, 0, 'A'},
      {10, modLock, 0, 'A'},             // Caps Lock: the type's second level
      {10, modShift | modLock, 0, 'a'},  // no entry for both: first level, Lock used up
      {10, 0, 1, 0x6c6},
      {10, modLock, 1, 0x6e6},
      {10, XCB_MOD_MASK_2, 1, 0x6c6},  // Num Lock means nothing to a letter
      {11, 0, 1, '1'},                 // group 2 wraps onto the only group
      {11, modShift, 3, '!'},
      {11, modLock, 0, '1'},  // Lock unused, but a digit has no upper case
      {12, 0, 1, 0xe9},
      {12, modLock, 0, 0xc9},  // Lock unused: the client makes é upper case
      {13, 0, 3, 'y'},         // clamped to the last group
      {14, 0, 2, 'p'},         // redirected to the first group
      {14, 0, 1, 'q'},
      {15, modLock, 0, 'K'},  // the entry preserves Lock: upper case after all
      {15, modShift | XCB_MOD_MASK_CONTROL, 0, 'k'},  // no entry matches: first level
      {16, 0, 0, 0},
      {9, 0, 0, 0},
      {17, 0, 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(map.keysym(c.key, c.mods, c.group), c.sym)
        << "key " << int{c.key} << " mods " << int{c.mods} << " group " << int{c.group};
  }
}

// A GetMap reply as the server sends it, from the records of its parts.
class ReplyBuilder {
 public:
  explicit ReplyBuilder(uint8_t firstType) {
    header_.present = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS;
    header_.firstType = firstType;
  }
  void type(uint8_t mask, std::vector<xcb_xkb_kt_map_entry_t> entries,
            std::vector<uint8_t> preserve = {}) {
    ++header_.nTypes;
    append(xcb_xkb_key_type_t{mask, mask, 0, 2, static_cast<uint8_t>(entries.size()),
                              static_cast<uint8_t>(!preserve.empty()), 0});
    for (const auto& e : entries) append(e);
    for (uint8_t p : preserve) append(xcb_xkb_mod_def_t{p, p, 0});
  }
  void key(std::array<uint8_t, 4> types, uint8_t groupInfo, uint8_t width,
           std::vector<uint32_t> syms) {
    if (header_.nKeySyms++ == 0) header_.firstKeySym = 8;
    xcb_xkb_key_sym_map_t m{};
    std::memcpy(m.kt_index, types.data(), 4);
    m.groupInfo = groupInfo;
    m.width = width;
    m.nSyms = static_cast<uint16_t>(syms.size());
    append(m);
    for (uint32_t s : syms) append(s);
  }
  std::vector<uint8_t> bytes(size_t cut = 0) const {
    std::vector<uint8_t> out(sizeof(header_));
    std::memcpy(out.data(), &header_, sizeof(header_));
    out.insert(out.end(), body_.begin(), body_.end() - static_cast<long>(cut));
    return out;
  }

 private:
  template <class T>
  void append(const T& value) {
    // Grown first and copied into: g++ 12 at -O3 takes the inserting form for an overflow.
    const size_t at = body_.size();
    body_.resize(at + sizeof(T));
    std::memcpy(body_.data() + at, &value, sizeof(T));
  }
  xcb_xkb_get_map_reply_t header_{};
  std::vector<uint8_t> body_;
};

TEST(XkbKeymapTest, ReadsTheServersReply) {
  // The types start at index 2: a key names them by their index in the whole keymap.
  ReplyBuilder reply(2);
  reply.type(modShift | modLock,
             {{1, modShift, 1, modShift, 0, {}}, {1, modLock, 0, modLock, 0, {}}}, {0, modLock});
  // An entry whose virtual modifier is bound to nothing is inactive and never matches.
  reply.type(modShift, {{0, modShift, 1, modShift, 0, {}}});
  reply.key({2, 3}, 2, 2, {'a', 'A', 'b', 'B'});
  reply.key({3}, 1, 2, {'c', 'C'});
  const std::vector<uint8_t> bytes = reply.bytes();
  const auto* header = reinterpret_cast<const xcb_xkb_get_map_reply_t*>(bytes.data());
  const std::optional<XkbKeymap> map = XkbKeymap::fromReply(header, bytes.size());
  ASSERT_TRUE(map);
  EXPECT_EQ(map->keysym(8, modShift, 0), 'A');
  EXPECT_EQ(map->keysym(8, modLock, 0), 'A');  // level 1, Lock preserved: upper case
  EXPECT_EQ(map->keysym(8, modShift, 1), 'b');
  EXPECT_EQ(map->keysym(9, modShift, 0), 'c');

  // A reply cut short anywhere, or without the parts asked for, gives no keymap.
  for (size_t cut : {1, 4, 20}) {
    const std::vector<uint8_t> shorter = reply.bytes(cut);
    EXPECT_FALSE(XkbKeymap::fromReply(
        reinterpret_cast<const xcb_xkb_get_map_reply_t*>(shorter.data()), shorter.size()))
        << cut;
  }
  std::vector<uint8_t> partial = bytes;
  reinterpret_cast<xcb_xkb_get_map_reply_t*>(partial.data())->present = XCB_XKB_MAP_PART_KEY_SYMS;
  EXPECT_FALSE(XkbKeymap::fromReply(
      reinterpret_cast<const xcb_xkb_get_map_reply_t*>(partial.data()), partial.size()));
}

}  // namespace
}  // namespace halvorine::x11

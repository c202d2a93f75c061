#include "x11/x11_xkb.h"

// The XKB header names a member "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <dlfcn.h>
#include <utf8proc.h>

#include <cstring>

namespace halvorine::x11 {

namespace {

// The keysym tables of libxkbcommon. It has no static archive, so it is loaded when text first
// needs it: a program that only clicks does not pay for loading it at start.
struct XkbCommon {
  uint32_t (*toUpper)(uint32_t) = nullptr;
  uint32_t (*utf32ToKeysym)(uint32_t) = nullptr;
};

const XkbCommon& xkbCommon() {
  static const XkbCommon functions = [] {
    XkbCommon f;
    if (void* library = dlopen("libxkbcommon.so.0", RTLD_NOW | RTLD_LOCAL)) {
      f.toUpper = reinterpret_cast<uint32_t (*)(uint32_t)>(dlsym(library, "xkb_keysym_to_upper"));
      f.utf32ToKeysym =
          reinterpret_cast<uint32_t (*)(uint32_t)>(dlsym(library, "xkb_utf32_to_keysym"));
    }
    return f;
  }();
  return functions;
}

// Reads the wire records of a GetMap reply one after the other, never past its end.
class Reader {
 public:
  Reader(const uint8_t* begin, const uint8_t* end) : at_(begin), end_(end) {}
  template <class T>
  bool read(T* out) {
    if (static_cast<size_t>(end_ - at_) < sizeof(T)) return false;
    std::memcpy(out, at_, sizeof(T));
    at_ += sizeof(T);
    return true;
  }

 private:
  const uint8_t* at_;
  const uint8_t* end_;
};

}  // namespace

std::optional<XkbKeymap> XkbKeymap::fromReply(const xcb_xkb_get_map_reply_t* reply, size_t size) {
  constexpr uint16_t needed = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS;
  if (reply == nullptr || size < sizeof(*reply) || (reply->present & needed) != needed) {
    return std::nullopt;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(reply);
  Reader in(bytes + sizeof(*reply), bytes + size);
  XkbKeymap map;
  // The reply holds the types from firstType on; a key names its types by absolute index.
  map.types.resize(reply->firstType);
  for (int t = 0; t < reply->nTypes; ++t) {
    xcb_xkb_key_type_t header;
    if (!in.read(&header)) return std::nullopt;
    Type type;
    type.mask = header.mods_mask;
    std::vector<xcb_xkb_kt_map_entry_t> entries(header.nMapEntries);
    for (auto& e : entries) {
      if (!in.read(&e)) return std::nullopt;
    }
    std::vector<uint8_t> preserve(header.nMapEntries, 0);
    if (header.hasPreserve != 0) {
      for (auto& p : preserve) {
        xcb_xkb_mod_def_t def;
        if (!in.read(&def)) return std::nullopt;
        p = def.mask;
      }
    }
    for (size_t i = 0; i < entries.size(); ++i) {
      // An entry whose virtual modifiers are bound to no real one never matches.
      if (entries[i].active != 0) {
        type.entries.push_back(Entry{entries[i].mods_mask, entries[i].level, preserve[i]});
      }
    }
    map.types.push_back(std::move(type));
  }
  map.firstKeycode = reply->firstKeySym;
  for (int k = 0; k < reply->nKeySyms; ++k) {
    xcb_xkb_key_sym_map_t header;
    if (!in.read(&header)) return std::nullopt;
    Key key;
    key.groupInfo = header.groupInfo;
    key.width = header.width;
    std::memcpy(key.types.data(), header.kt_index, key.types.size());
    key.syms.resize(header.nSyms);
    for (auto& s : key.syms) {
      if (!in.read(&s)) return std::nullopt;
    }
    map.keys.push_back(std::move(key));
  }
  return map;
}

xcb_keysym_t XkbKeymap::keysym(xcb_keycode_t keycode, uint8_t mods, uint8_t group) const {
  if (keycode < firstKeycode || keycode - firstKeycode >= static_cast<int>(keys.size())) return 0;
  const Key& key = keys[keycode - firstKeycode];
  const unsigned groups = key.groupInfo & 0x0f;
  if (groups == 0 || key.width == 0) return 0;
  unsigned g = group;
  if (g >= groups) {
    switch (key.groupInfo & 0xc0) {
      case XCB_XKB_GROUPS_WRAP_CLAMP_INTO_RANGE:
        g = groups - 1;
        break;
      case XCB_XKB_GROUPS_WRAP_REDIRECT_INTO_RANGE:
        g = (key.groupInfo >> 4) & 0x03;
        if (g >= groups) g = 0;
        break;
      default:
        g %= groups;
        break;
    }
  }
  if (key.types[g] >= types.size()) return 0;
  const Type& type = types[key.types[g]];
  unsigned level = 0;
  uint8_t preserve = 0;
  for (const Entry& e : type.entries) {
    if ((mods & type.mask) == e.mods) {
      level = e.level;
      preserve = e.preserve;
      break;
    }
  }
  const size_t index = static_cast<size_t>(g) * key.width + level;
  if (level >= key.width || index >= key.syms.size()) return 0;
  xcb_keysym_t sym = key.syms[index];
  // Xlib and xkbcommon alike turn the keysym to upper case when Lock is on and the type does not
  // use it up: Caps Lock reaches every key whose type ignores it.
  const uint8_t consumed = type.mask & static_cast<uint8_t>(~preserve);
  if ((mods & modLock) != 0 && (consumed & modLock) == 0) sym = upperCaseKeysym(sym);
  return sym;
}

std::optional<XkbKeyboard> XkbKeyboard::fetch(XConnection& connection, uint64_t& setUpFor) {
  xcb_connection_t* c = connection.get();
  if (c == nullptr) return std::nullopt;
  if (setUpFor != connection.generation()) {
    if (!connection.hasExtension(xcb_xkb_id)) return std::nullopt;
    auto use = connection.reply<xcb_xkb_use_extension_reply_t>(
        xcb_xkb_use_extension(c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION));
    if (!use || use->supported == 0) return std::nullopt;
    setUpFor = connection.generation();
  }
  const auto stateCookie = xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD);
  const auto mapCookie = xcb_xkb_get_map(c, XCB_XKB_ID_USE_CORE_KBD,
                                         XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS, 0,
                                         0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  // Both replies are awaited even when the first fails, so that neither is left behind.
  auto state = connection.reply<xcb_xkb_get_state_reply_t>(stateCookie);
  auto map = connection.reply<xcb_xkb_get_map_reply_t>(mapCookie);
  if (!state || !map) return std::nullopt;
  std::optional<XkbKeymap> keymap = XkbKeymap::fromReply(
      map.get(), 32 + size_t{map->length} * 4);  // the length counts past 32 bytes
  if (!keymap) return std::nullopt;
  XkbKeyboard keyboard;
  keyboard.keymap_ = std::move(*keymap);
  // Key events carry the effective modifiers and group.
  keyboard.state_ = XkbKeyboardState{state->group, state->mods, state->lockedMods};
  return keyboard;
}

void lockModifiers(xcb_connection_t* c, uint8_t affect, uint8_t locked) {
  xcb_xkb_latch_lock_state(c, XCB_XKB_ID_USE_CORE_KBD, affect, locked, 0, 0, 0, 0, 0);
}

xcb_keysym_t upperCaseKeysym(xcb_keysym_t sym) {
  if (const auto toUpper = xkbCommon().toUpper) return toUpper(sym);
  // Without the library: Unicode's case for Latin-1 and Unicode keysyms.
  const bool unicode = (sym & 0xff000000) == 0x01000000;
  if (!unicode && !((sym >= 0x20 && sym <= 0x7e) || (sym >= 0xa0 && sym <= 0xff))) return sym;
  const auto cp = static_cast<utf8proc_int32_t>(unicode ? sym & 0x00ffffff : sym);
  const auto upper = static_cast<xcb_keysym_t>(utf8proc_toupper(cp));
  if (upper == static_cast<xcb_keysym_t>(cp)) return sym;
  return unicode || upper > 0xff ? 0x01000000 + upper : upper;
}

bool capsLockCanChange(xcb_keysym_t sym, char32_t cp) {
  const auto c = static_cast<utf8proc_int32_t>(cp);
  return upperCaseKeysym(sym) != sym || utf8proc_toupper(c) != c;
}

xcb_keysym_t namedKeysymFor(char32_t cp) {
  const auto utf32ToKeysym = xkbCommon().utf32ToKeysym;
  return utf32ToKeysym != nullptr ? utf32ToKeysym(cp) : 0;
}

}  // namespace halvorine::x11

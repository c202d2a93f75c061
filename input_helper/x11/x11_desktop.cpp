#include <utf8proc.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "x11/x11_key_bindings.h"
#include "x11/x11_keyboard.h"
#include "x11/x11_monitors.h"
#include "x11/x11_platform.h"
#include "x11/x11_xkb.h"

namespace halvorine::x11 {

namespace {

// Modifier flags and the keys that stand for them, in the order they are pressed.
struct ModifierKey {
  uint64_t flag;
  xcb_keysym_t key;
  xcb_keysym_t twin;
};
constexpr std::array<ModifierKey, 4> modifierKeys{{
    {maskShift, keysym::shiftL, keysym::shiftR},
    {maskControl, keysym::controlL, keysym::controlR},
    {maskAlternate, keysym::altL, keysym::altR},
    {maskCommand, keysym::superL, keysym::superR},
}};

// The X protocol carries root coordinates as signed 16-bit values.
int16_t rootCoordinate(double value) {
  if (std::isnan(value)) return 0;
  return static_cast<int16_t>(std::round(std::clamp(value, -32768.0, 32767.0)));
}

// The code points of a character; a byte that is not valid UTF-8 stands for U+FFFD.
std::vector<char32_t> codePoints(std::string_view utf8) {
  std::vector<char32_t> result;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(utf8.data());
  const auto size = static_cast<utf8proc_ssize_t>(utf8.size());
  for (utf8proc_ssize_t offset = 0; offset < size;) {
    utf8proc_int32_t cp = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(bytes + offset, size - offset, &cp);
    result.push_back(used > 0 ? static_cast<char32_t>(cp) : U'\uFFFD');
    offset += used > 0 ? used : 1;
  }
  return result;
}

class X11Desktop final : public Desktop {
 public:
  explicit X11Desktop(XConnection& connection) : x_(connection) {}

  std::optional<Point> pointerLocation() override { return queryPointer(x_); }

  uint32_t mainDisplayId() override {
    const Monitor* main = mainMonitor(monitors());
    return main != nullptr ? main->id : 0;
  }

  Rect displayBounds(uint32_t displayId) override {
    const MonitorList& list = monitors();
    if (const Monitor* m = findMonitor(list, displayId)) {
      return monitorBounds(*m);
    }
    // Without any monitor (no RandR), identifier 0 stands for the whole screen, so that
    // normalised coordinates still work.
    if (displayId == 0 && list.monitors.empty() && x_.get() != nullptr) {
      const xcb_screen_t* s = x_.screen();
      return Rect{0, 0, static_cast<double>(s->width_in_pixels),
                  static_cast<double>(s->height_in_pixels)};
    }
    return Rect::null();
  }

  bool movePointer(Point to) override {
    xcb_connection_t* c = inputConnection();
    if (c == nullptr) return false;
    moveTo(c, to);
    return true;
  }

  bool pressButton(MouseButton button, Point at, bool down) override {
    xcb_connection_t* c = inputConnection();
    if (c == nullptr) return false;
    moveTo(c, at);
    fakeButton(c, buttonNumber(button), down);
    return true;
  }

  bool click(MouseButton button, Point at) override {
    xcb_connection_t* c = inputConnection();
    if (c == nullptr) return false;
    moveTo(c, at);
    fakeButton(c, buttonNumber(button), true);
    fakeButton(c, buttonNumber(button), false);
    return true;
  }

  bool turnWheel(int32_t delta) override {
    xcb_connection_t* c = inputConnection();
    if (c == nullptr) return false;
    if (delta == 0) return true;
    // One wheel click of the core protocol scrolls about 40 pixels.
    const uint8_t button = delta > 0 ? 4 : 5;
    const int64_t magnitude = delta > 0 ? int64_t{delta} : -int64_t{delta};
    const int64_t clicks = (magnitude + 39) / 40;
    for (int64_t i = 0; i < clicks; ++i) {
      fakeButton(c, button, true);
      fakeButton(c, button, false);
    }
    return true;
  }

  bool pressKey(uint16_t keyCode, uint64_t modifiers, bool down) override {
    xcb_connection_t* c = inputConnection();
    if (c == nullptr) return false;
    postKey(c, keyCode, modifiers, down);
    return true;
  }

  // The whole character is typed on the down half.
  bool typeCharacter(std::string_view character, bool down) override {
    xcb_connection_t* c = inputConnection();
    if (c == nullptr) return false;
    if (down) typeText(c, character);
    return true;
  }

  void pause(std::chrono::milliseconds duration) override {
    // Sent requests must not wait in the output buffer while we sleep.
    if (connection_ != nullptr && x_.connected() && generation_ == x_.generation()) {
      xcb_flush(connection_);
    }
    std::this_thread::sleep_for(duration);
  }

  void finishRequest() override {
    xcb_connection_t* c = x_.get();
    if (c != nullptr && c == connection_ && generation_ == x_.generation()) {
      // Keys this request left down go up in reverse order, then the borrowed keycodes get their
      // own keysyms back; the round trip makes sure the server has done all of it.
      const std::vector<xcb_keycode_t>& held = request_.heldKeys;
      for (auto it = held.rbegin(); it != held.rend(); ++it) fakeKey(c, *it, false);
      if (request_.mapping) request_.bindings.restore(c, request_.mapping->keysymsPerKeycode());
    }
    if (c != nullptr) x_.sync();
    forgetRequest();
    connection_ = nullptr;
    monitors_.reset();
  }

 private:
  // What one request keeps for itself; it belongs to one connection.
  struct RequestState {
    std::optional<KeyboardMapping> mapping;
    SpareKeyBindings bindings;
    std::vector<xcb_keycode_t> heldKeys;
    std::vector<xcb_keycode_t> requestModifiers;
    // The XKB keymap and state, read once per request and only for text, and which key gives
    // which keysym in that state.
    bool keyboardTried = false;
    std::optional<XkbKeyboard> keyboard;
    bool indexed = false;
    std::unordered_map<xcb_keysym_t, xcb_keycode_t> plainKeys;
    std::unordered_map<xcb_keysym_t, xcb_keycode_t> shiftedKeys;
    xcb_keycode_t shiftKeycode = 0;
    std::optional<std::pair<int16_t, int16_t>> lastMotion;
  };

  void forgetRequest() { request_ = RequestState{}; }

  // The connection to send input on, or nullptr when the display cannot be reached or offers no
  // XTEST. Asking through the connection also gives XCB the extension's opcode within the
  // deadline, so that the fake-input requests never wait for it.
  xcb_connection_t* inputConnection() {
    xcb_connection_t* c = x_.get();
    if (c == nullptr || !x_.hasExtension(xcb_test_id)) return nullptr;
    noteConnection(c);
    return c;
  }

  // State kept for one request belongs to one connection; a reconnect in between makes it moot.
  void noteConnection(xcb_connection_t* c) {
    if (connection_ == c && generation_ == x_.generation()) return;
    forgetRequest();
    connection_ = c;
    generation_ = x_.generation();
  }

  const MonitorList& monitors() {
    if (!monitors_ || !monitors_->ok()) monitors_ = listMonitors(x_);
    return *monitors_;
  }

  xcb_window_t root() const { return x_.screen()->root; }

  static uint8_t buttonNumber(MouseButton button) { return button == MouseButton::right ? 3 : 1; }

  void moveTo(xcb_connection_t* c, Point to) {
    const int16_t x = rootCoordinate(to.x);
    const int16_t y = rootCoordinate(to.y);
    // The two halves of a click share their position: one motion is enough.
    if (!request_.lastMotion || request_.lastMotion->first != x ||
        request_.lastMotion->second != y) {
      xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root(), x, y, 0);
      request_.lastMotion = std::make_pair(x, y);
    }
  }

  void postKey(xcb_connection_t* c, uint16_t keyCode, uint64_t modifiers, bool down) {
    const std::optional<xcb_keysym_t> sym = keysymForVirtualKey(keyCode);
    if (!sym || !ensureMapping()) return;
    const xcb_keycode_t keycode = keycodeFor(c, *sym);
    if (keycode == 0) return;
    if (down) {
      pressModifiers(c, modifiers);
      if (!x_.connected()) return;
      fakeKey(c, keycode, true);
      request_.heldKeys.push_back(keycode);
    } else {
      fakeKey(c, keycode, false);
      forgetHeld(keycode);
      releaseModifiers(c);
    }
  }

  // Each code point of a character is typed as its own press and release.
  void typeText(xcb_connection_t* c, std::string_view character) {
    if (!ensureMapping()) return;
    ensureKeyboard();
    const std::vector<char32_t> cps = codePoints(character);
    // A round trip that misses its deadline takes the connection, and c, with it.
    for (size_t i = 0; i < cps.size() && x_.connected(); ++i) {
      // A CR LF pair is one line break, not two.
      if (cps[i] == U'\r' && i + 1 < cps.size() && cps[i + 1] == U'\n') continue;
      typeCodePoint(c, cps[i]);
    }
  }

  // How one code point is typed: a key, whether Shift goes with it, and whether Caps Lock is
  // released around it.
  struct TextKey {
    xcb_keycode_t keycode = 0;
    bool shift = false;
    bool unlock = false;
  };

  void typeCodePoint(xcb_connection_t* c, char32_t cp) {
    const xcb_keysym_t sym = keysymForCodePoint(cp);
    // Without XKB, clients read keys by the core rules: the first column needs no modifier.
    const TextKey key = request_.keyboard ? textKeyFor(c, sym, cp) : TextKey{keycodeFor(c, sym)};
    if (key.keycode == 0 || !x_.connected()) return;
    const xcb_keycode_t shift = request_.shiftKeycode;
    if (key.shift) {
      fakeKey(c, shift, true);
      request_.heldKeys.push_back(shift);
    }
    // The lock goes off and on again around the key alone, within the same burst of requests.
    if (key.unlock) lockModifiers(c, modLock, 0);
    fakeKey(c, key.keycode, true);
    fakeKey(c, key.keycode, false);
    if (key.unlock) lockModifiers(c, modLock, modLock);
    if (key.shift) {
      fakeKey(c, shift, false);
      forgetHeld(shift);
    }
  }

  // The key that types the keysym in the keyboard's present state, as an XKB client reads it:
  // the lowest key that gives it in the effective group at the level the modifiers in effect
  // (Caps Lock and Num Lock among them) select; with Caps Lock on, a letter's own key with Shift
  // for the other case, as a person types it; else a spare keycode bound to the keysym. A bound
  // key does not use Lock up, so Caps Lock would make a lower-case letter on it upper case; for
  // such a letter the lock is released while the key goes down and up.
  TextKey textKeyFor(xcb_connection_t* c, xcb_keysym_t sym, char32_t cp) {
    const XkbKeyboardState& state = request_.keyboard->state();
    const bool lockOn = (state.mods & modLock) != 0;
    const bool unlock = lockOn && (state.lockedMods & modLock) != 0 && capsLockCanChange(sym, cp);
    if (const xcb_keycode_t bound = request_.bindings.find(sym); bound != 0) {
      return TextKey{bound, false, unlock};
    }
    if (!request_.indexed) indexKeys();
    // Layouts name most letters with keysyms of their own (Cyrillic_ef for U+0444).
    const xcb_keysym_t named = namedKeysymFor(cp);
    const auto find = [&](const std::unordered_map<xcb_keysym_t, xcb_keycode_t>& index) {
      for (const xcb_keysym_t s : {sym, named}) {
        auto it = index.find(s);
        if (s != keysym::noSymbol && it != index.end() && !request_.bindings.isBound(it->second)) {
          return it->second;
        }
      }
      return xcb_keycode_t{0};
    };
    if (const xcb_keycode_t k = find(request_.plainKeys); k != 0) return TextKey{k};
    if (request_.shiftKeycode != 0) {
      if (const xcb_keycode_t k = find(request_.shiftedKeys); k != 0) return TextKey{k, true};
    }
    return TextKey{request_.bindings.bind(x_, c, *request_.mapping, sym), false, unlock};
  }

  // Which keysym every key gives now, and with Caps Lock on also with Shift added.
  void indexKeys() {
    request_.indexed = true;
    const XkbKeymap& keymap = request_.keyboard->keymap();
    const XkbKeyboardState& state = request_.keyboard->state();
    const bool lockOn = (state.mods & modLock) != 0;
    xcb_keycode_t& shift = request_.shiftKeycode;
    if (lockOn && (state.mods & modShift) == 0) {
      shift = request_.mapping->unshiftedKeycode(keysym::shiftL);
      if (shift == 0) shift = request_.mapping->unshiftedKeycode(keysym::shiftR);
    }
    for (size_t i = 0; i < keymap.keys.size(); ++i) {
      const auto keycode = static_cast<xcb_keycode_t>(keymap.firstKeycode + i);
      if (const xcb_keysym_t s = keymap.keysym(keycode, state.mods, state.group); s != 0) {
        request_.plainKeys.emplace(s, keycode);
      }
      if (shift != 0) {
        const auto mods = static_cast<uint8_t>(state.mods | modShift);
        if (const xcb_keysym_t s = keymap.keysym(keycode, mods, state.group); s != 0) {
          request_.shiftedKeys.emplace(s, keycode);
        }
      }
    }
  }

  void ensureKeyboard() {
    if (request_.keyboardTried) return;
    request_.keyboardTried = true;
    request_.keyboard = XkbKeyboard::fetch(x_, xkbSetUpFor_);
  }

  void pressModifiers(xcb_connection_t* c, uint64_t flags) {
    if ((flags & (maskShift | maskControl | maskAlternate | maskCommand)) == 0) return;
    std::array<uint8_t, 32> down{};
    if (auto keymap = x_.reply<xcb_query_keymap_reply_t>(xcb_query_keymap(c))) {
      std::copy(std::begin(keymap->keys), std::end(keymap->keys), down.begin());
    }
    const KeyboardMapping& mapping = *request_.mapping;
    const auto isDown = [&](xcb_keysym_t sym) {
      const xcb_keycode_t k = mapping.unshiftedKeycode(sym);
      return k != 0 && (down[k / 8] & (1u << (k % 8))) != 0;
    };
    for (const ModifierKey& m : modifierKeys) {
      if ((flags & m.flag) == 0 || isDown(m.key) || isDown(m.twin)) continue;
      xcb_keycode_t keycode = mapping.unshiftedKeycode(m.key);
      if (keycode == 0) keycode = mapping.unshiftedKeycode(m.twin);
      if (keycode == 0) continue;
      fakeKey(c, keycode, true);
      request_.heldKeys.push_back(keycode);
      request_.requestModifiers.push_back(keycode);
    }
  }

  void releaseModifiers(xcb_connection_t* c) {
    std::vector<xcb_keycode_t>& modifiers = request_.requestModifiers;
    for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) {
      fakeKey(c, *it, false);
      forgetHeld(*it);
    }
    modifiers.clear();
  }

  void forgetHeld(xcb_keycode_t keycode) {
    std::vector<xcb_keycode_t>& held = request_.heldKeys;
    auto it = std::find(held.rbegin(), held.rend(), keycode);
    if (it != held.rend()) held.erase(std::next(it).base());
  }

  bool ensureMapping() {
    if (!request_.mapping) {
      request_.mapping = KeyboardMapping::fetch(x_);
      if (request_.mapping) request_.bindings.start(request_.mapping->spareKeycodes());
    }
    return request_.mapping.has_value();
  }

  // The keycode that gives the keysym with no modifier held by the core rules: the layout's own
  // key when it has one in the first column, else a spare keycode bound to the keysym for this
  // request. Key taps go this way (their key code names a key, whatever group is in effect), and
  // so does text on a server without XKB.
  xcb_keycode_t keycodeFor(xcb_connection_t* c, xcb_keysym_t sym) {
    if (const xcb_keycode_t bound = request_.bindings.find(sym); bound != 0) return bound;
    if (const xcb_keycode_t k = request_.mapping->unshiftedKeycode(sym); k != 0) return k;
    return request_.bindings.bind(x_, c, *request_.mapping, sym);
  }

  void fakeKey(xcb_connection_t* c, xcb_keycode_t keycode, bool down) {
    xcb_test_fake_input(c, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode, XCB_CURRENT_TIME,
                        XCB_NONE, 0, 0, 0);
  }

  void fakeButton(xcb_connection_t* c, uint8_t button, bool down) {
    xcb_test_fake_input(c, down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME,
                        XCB_NONE, 0, 0, 0);
  }

  XConnection& x_;
  // The connection the request's state belongs to; nullptr between requests.
  xcb_connection_t* connection_ = nullptr;
  uint64_t generation_ = 0;
  RequestState request_;
  // The monitors, read once per request whatever connection it uses.
  std::optional<MonitorList> monitors_;
  // The connection generation XKB was set up on (once per connection, not per request).
  uint64_t xkbSetUpFor_ = 0;
};

}  // namespace

std::unique_ptr<Desktop> makeX11Desktop(XConnection& connection) {
  return std::make_unique<X11Desktop>(connection);
}

}  // namespace halvorine::x11

#include <xcb/xtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <thread>
#include <unordered_map>

#include "x11/x11_keyboard.h"
#include "x11/x11_monitors.h"
#include "x11/x11_platform.h"
#include "x11/x11_xkb.h"

namespace halvorine::x11 {

namespace {

struct X11Event final : DesktopEvent {
  enum class Kind { mouse, scroll, keyboard } kind;
  MouseEventType mouseType = MouseEventType::mouseMoved;
  Point position;
  int32_t delta = 0;
  uint16_t virtualKey = 0;
  bool keyDown = false;
  uint64_t flags = 0;
  bool hasText = false;
  std::u16string text;

  explicit X11Event(Kind k) : kind(k) {}
};

// The HID system state has no counterpart to hold on X11; the object only marks success.
struct X11EventSource final : EventSource {};

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

std::vector<char32_t> codePoints(std::u16string_view units) {
  std::vector<char32_t> result;
  for (size_t i = 0; i < units.size(); ++i) {
    const char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      result.push_back(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      result.push_back(0xFFFD);  // a lone surrogate
    } else {
      result.push_back(u);
    }
  }
  return result;
}

class X11DesktopServices final : public DesktopServices {
 public:
  explicit X11DesktopServices(XConnection& connection) : x_(connection) {}

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

  std::unique_ptr<EventSource> createKeyboardEventSource() override {
    if (!canPost()) return nullptr;
    return std::make_unique<X11EventSource>();
  }

  std::unique_ptr<DesktopEvent> createMouseEvent(MouseEventType type, Point position,
                                                 MouseButton) override {
    if (!canPost()) return nullptr;
    auto event = std::make_unique<X11Event>(X11Event::Kind::mouse);
    event->mouseType = type;
    event->position = position;
    return event;
  }

  std::unique_ptr<DesktopEvent> createScrollWheelEvent(int32_t delta) override {
    if (!canPost()) return nullptr;
    auto event = std::make_unique<X11Event>(X11Event::Kind::scroll);
    event->delta = delta;
    return event;
  }

  std::unique_ptr<DesktopEvent> createKeyboardEvent(EventSource*, uint16_t keyCode,
                                                    bool keyDown) override {
    if (!canPost()) return nullptr;
    auto event = std::make_unique<X11Event>(X11Event::Kind::keyboard);
    event->virtualKey = keyCode;
    event->keyDown = keyDown;
    return event;
  }

  void setUnicodeString(DesktopEvent& event, std::u16string_view units) override {
    auto& e = static_cast<X11Event&>(event);
    e.hasText = true;
    e.text.assign(units);
  }

  void setFlags(DesktopEvent& event, uint64_t flags) override {
    static_cast<X11Event&>(event).flags = flags;
  }

  void post(DesktopEvent& event) override {
    xcb_connection_t* c = x_.get();
    if (c == nullptr) return;
    noteConnection(c);
    auto& e = static_cast<X11Event&>(event);
    switch (e.kind) {
      case X11Event::Kind::mouse:
        postMouse(c, e);
        break;
      case X11Event::Kind::scroll:
        postScroll(c, e);
        break;
      case X11Event::Kind::keyboard:
        if (e.hasText) {
          if (e.keyDown) typeText(c, e.text);
        } else {
          postKey(c, e);
        }
        break;
    }
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
      for (auto it = heldKeys_.rbegin(); it != heldKeys_.rend(); ++it) fakeKey(c, *it, false);
      for (const Binding& b : bindings_) {
        xcb_change_keyboard_mapping(c, 1, b.keycode, mapping_->keysymsPerKeycode(),
                                    b.original.data());
      }
    }
    if (c != nullptr) x_.sync();
    connection_ = nullptr;
    heldKeys_.clear();
    requestModifiers_.clear();
    bindings_.clear();
    spares_.clear();
    mapping_.reset();
    forgetKeyboard();
    monitors_.reset();
    lastMotion_.reset();
    useCounter_ = 0;
  }

 private:
  struct Binding {
    xcb_keycode_t keycode;
    xcb_keysym_t sym;
    std::vector<xcb_keysym_t> original;
    uint64_t lastUse;
  };

  // Events can be made while the display is reachable and offers XTEST. Asking through the
  // connection also gives XCB the extension's opcode within the deadline, so that the fake-input
  // requests never wait for it.
  bool canPost() { return x_.get() != nullptr && x_.hasExtension(xcb_test_id); }

  // State kept for one request belongs to one connection; a reconnect in between makes it moot.
  void noteConnection(xcb_connection_t* c) {
    if (connection_ == c && generation_ == x_.generation()) return;
    heldKeys_.clear();
    requestModifiers_.clear();
    bindings_.clear();
    spares_.clear();
    mapping_.reset();
    forgetKeyboard();
    lastMotion_.reset();
    connection_ = c;
    generation_ = x_.generation();
  }

  const MonitorList& monitors() {
    if (!monitors_ || !monitors_->ok()) monitors_ = listMonitors(x_);
    return *monitors_;
  }

  xcb_window_t root() const { return x_.screen()->root; }

  void postMouse(xcb_connection_t* c, const X11Event& e) {
    const int16_t x = rootCoordinate(e.position.x);
    const int16_t y = rootCoordinate(e.position.y);
    // The two halves of a click share their position: one motion is enough.
    if (!lastMotion_ || lastMotion_->first != x || lastMotion_->second != y) {
      xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root(), x, y, 0);
      lastMotion_ = std::make_pair(x, y);
    }
    switch (e.mouseType) {
      case MouseEventType::leftMouseDown:
        fakeButton(c, 1, true);
        break;
      case MouseEventType::leftMouseUp:
        fakeButton(c, 1, false);
        break;
      case MouseEventType::rightMouseDown:
        fakeButton(c, 3, true);
        break;
      case MouseEventType::rightMouseUp:
        fakeButton(c, 3, false);
        break;
      case MouseEventType::mouseMoved:
        break;
    }
  }

  void postScroll(xcb_connection_t* c, const X11Event& e) {
    if (e.delta == 0) return;
    // One wheel click of the core protocol scrolls about 40 pixels.
    const uint8_t button = e.delta > 0 ? 4 : 5;
    const int64_t magnitude = e.delta > 0 ? int64_t{e.delta} : -int64_t{e.delta};
    const int64_t clicks = (magnitude + 39) / 40;
    for (int64_t i = 0; i < clicks; ++i) {
      fakeButton(c, button, true);
      fakeButton(c, button, false);
    }
  }

  void postKey(xcb_connection_t* c, const X11Event& e) {
    const std::optional<xcb_keysym_t> sym = keysymForVirtualKey(e.virtualKey);
    if (!sym || !ensureMapping()) return;
    const xcb_keycode_t keycode = keycodeFor(c, *sym);
    if (keycode == 0) return;
    if (e.keyDown) {
      pressModifiers(c, e.flags);
      if (!x_.connected()) return;
      fakeKey(c, keycode, true);
      heldKeys_.push_back(keycode);
    } else {
      fakeKey(c, keycode, false);
      forgetHeld(keycode);
      releaseModifiers(c);
    }
  }

  // Each code point of a character is typed as its own press and release.
  void typeText(xcb_connection_t* c, std::u16string_view units) {
    if (!ensureMapping()) return;
    ensureKeyboard();
    const std::vector<char32_t> cps = codePoints(units);
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
    const TextKey key = keyboard_ ? textKeyFor(c, sym, cp) : TextKey{keycodeFor(c, sym)};
    if (key.keycode == 0 || !x_.connected()) return;
    if (key.shift) {
      fakeKey(c, shiftKeycode_, true);
      heldKeys_.push_back(shiftKeycode_);
    }
    // The lock goes off and on again around the key alone, within the same burst of requests.
    if (key.unlock) lockModifiers(c, modLock, 0);
    fakeKey(c, key.keycode, true);
    fakeKey(c, key.keycode, false);
    if (key.unlock) lockModifiers(c, modLock, modLock);
    if (key.shift) {
      fakeKey(c, shiftKeycode_, false);
      forgetHeld(shiftKeycode_);
    }
  }

  // The key that types the keysym in the keyboard's present state, as an XKB client reads it:
  // the lowest key that gives it in the effective group at the level the modifiers in effect
  // (Caps Lock and Num Lock among them) select; with Caps Lock on, a letter's own key with Shift
  // for the other case, as a person types it; else a spare keycode bound to the keysym. A bound
  // key does not use Lock up, so Caps Lock would make a lower-case letter on it upper case; for
  // such a letter the lock is released while the key goes down and up.
  TextKey textKeyFor(xcb_connection_t* c, xcb_keysym_t sym, char32_t cp) {
    const XkbKeyboardState& state = keyboard_->state();
    const bool lockOn = (state.mods & modLock) != 0;
    const bool unlock = lockOn && (state.lockedMods & modLock) != 0 && capsLockCanChange(sym, cp);
    for (Binding& b : bindings_) {
      if (b.sym == sym) {
        b.lastUse = ++useCounter_;
        return TextKey{b.keycode, false, unlock};
      }
    }
    if (!indexed_) indexKeys();
    // Layouts name most letters with keysyms of their own (Cyrillic_ef for U+0444).
    const xcb_keysym_t named = namedKeysymFor(cp);
    const auto find = [&](const std::unordered_map<xcb_keysym_t, xcb_keycode_t>& index) {
      for (const xcb_keysym_t s : {sym, named}) {
        auto it = index.find(s);
        if (s != keysym::noSymbol && it != index.end() && !isBound(it->second)) return it->second;
      }
      return xcb_keycode_t{0};
    };
    if (const xcb_keycode_t k = find(plainKeys_); k != 0) return TextKey{k};
    if (shiftKeycode_ != 0) {
      if (const xcb_keycode_t k = find(shiftedKeys_); k != 0) return TextKey{k, true};
    }
    return TextKey{bindSpare(c, sym), false, unlock};
  }

  // Which keysym every key gives now, and with Caps Lock on also with Shift added.
  void indexKeys() {
    indexed_ = true;
    const XkbKeymap& keymap = keyboard_->keymap();
    const XkbKeyboardState& state = keyboard_->state();
    const bool lockOn = (state.mods & modLock) != 0;
    if (lockOn && (state.mods & modShift) == 0) {
      shiftKeycode_ = mapping_->unshiftedKeycode(keysym::shiftL);
      if (shiftKeycode_ == 0) shiftKeycode_ = mapping_->unshiftedKeycode(keysym::shiftR);
    }
    for (size_t i = 0; i < keymap.keys.size(); ++i) {
      const auto keycode = static_cast<xcb_keycode_t>(keymap.firstKeycode + i);
      if (const xcb_keysym_t s = keymap.keysym(keycode, state.mods, state.group); s != 0) {
        plainKeys_.emplace(s, keycode);
      }
      if (shiftKeycode_ != 0) {
        const auto mods = static_cast<uint8_t>(state.mods | modShift);
        if (const xcb_keysym_t s = keymap.keysym(keycode, mods, state.group); s != 0) {
          shiftedKeys_.emplace(s, keycode);
        }
      }
    }
  }

  bool isBound(xcb_keycode_t keycode) const {
    return std::any_of(bindings_.begin(), bindings_.end(),
                       [&](const Binding& b) { return b.keycode == keycode; });
  }

  // The keymap and state are read once per request, and only for text.
  void ensureKeyboard() {
    if (keyboardTried_) return;
    keyboardTried_ = true;
    keyboard_ = XkbKeyboard::fetch(x_, xkbSetUpFor_);
  }

  void forgetKeyboard() {
    keyboard_.reset();
    keyboardTried_ = false;
    indexed_ = false;
    plainKeys_.clear();
    shiftedKeys_.clear();
    shiftKeycode_ = 0;
  }

  void pressModifiers(xcb_connection_t* c, uint64_t flags) {
    if ((flags & (maskShift | maskControl | maskAlternate | maskCommand)) == 0) return;
    std::array<uint8_t, 32> down{};
    if (auto keymap = x_.reply<xcb_query_keymap_reply_t>(xcb_query_keymap(c))) {
      std::copy(std::begin(keymap->keys), std::end(keymap->keys), down.begin());
    }
    const auto isDown = [&](xcb_keysym_t sym) {
      const xcb_keycode_t k = mapping_->unshiftedKeycode(sym);
      return k != 0 && (down[k / 8] & (1u << (k % 8))) != 0;
    };
    for (const ModifierKey& m : modifierKeys) {
      if ((flags & m.flag) == 0 || isDown(m.key) || isDown(m.twin)) continue;
      xcb_keycode_t keycode = mapping_->unshiftedKeycode(m.key);
      if (keycode == 0) keycode = mapping_->unshiftedKeycode(m.twin);
      if (keycode == 0) continue;
      fakeKey(c, keycode, true);
      heldKeys_.push_back(keycode);
      requestModifiers_.push_back(keycode);
    }
  }

  void releaseModifiers(xcb_connection_t* c) {
    for (auto it = requestModifiers_.rbegin(); it != requestModifiers_.rend(); ++it) {
      fakeKey(c, *it, false);
      forgetHeld(*it);
    }
    requestModifiers_.clear();
  }

  void forgetHeld(xcb_keycode_t keycode) {
    auto it = std::find(heldKeys_.rbegin(), heldKeys_.rend(), keycode);
    if (it != heldKeys_.rend()) heldKeys_.erase(std::next(it).base());
  }

  bool ensureMapping() {
    if (!mapping_) {
      mapping_ = KeyboardMapping::fetch(x_);
      if (mapping_) spares_ = mapping_->spareKeycodes();
    }
    return mapping_.has_value();
  }

  // The keycode that gives the keysym with no modifier held by the core rules: the layout's own
  // key when it has one in the first column, else a free keycode bound to the keysym for this
  // request. Key taps go this way (their key code names a key, whatever group is in effect), and
  // so does text on a server without XKB.
  xcb_keycode_t keycodeFor(xcb_connection_t* c, xcb_keysym_t sym) {
    for (Binding& b : bindings_) {
      if (b.sym == sym) {
        b.lastUse = ++useCounter_;
        return b.keycode;
      }
    }
    if (const xcb_keycode_t k = mapping_->unshiftedKeycode(sym); k != 0) return k;
    return bindSpare(c, sym);
  }

  // Binds the keysym to a spare keycode for this request, on both levels, so that Shift does not
  // change it; a key of one group gives it in every group. Binding keysyms that the layout only
  // reaches with Shift makes the text independent of the modifier state. Each keysym gets a
  // keycode of its own, so that no binding changes while a client may still be reading an earlier
  // key; only when the free keycodes run out is the one used longest ago bound anew.
  xcb_keycode_t bindSpare(xcb_connection_t* c, xcb_keysym_t sym) {
    Binding* target = nullptr;
    if (bindings_.size() < spares_.size()) {
      const xcb_keycode_t keycode = spares_[bindings_.size()];
      bindings_.push_back(Binding{keycode, 0, mapping_->row(keycode), 0});
      target = &bindings_.back();
    } else if (!bindings_.empty()) {
      target = &*std::min_element(
          bindings_.begin(), bindings_.end(),
          [](const Binding& a, const Binding& b) { return a.lastUse < b.lastUse; });
      // Every event typed with the old binding has to be through before it changes.
      if (!x_.sync()) return 0;
    } else {
      return 0;
    }
    std::vector<xcb_keysym_t> row(mapping_->keysymsPerKeycode(), keysym::noSymbol);
    row[0] = sym;
    if (row.size() > 1) row[1] = sym;  // the same with Shift or Caps Lock
    xcb_change_keyboard_mapping(c, 1, target->keycode, mapping_->keysymsPerKeycode(), row.data());
    // Later look-ups must see the key as it is now, a borrowed key's own keysym included.
    mapping_->setRow(target->keycode, row);
    target->sym = sym;
    target->lastUse = ++useCounter_;
    return target->keycode;
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
  // The connection the state below belongs to; nullptr between requests.
  xcb_connection_t* connection_ = nullptr;
  uint64_t generation_ = 0;
  std::optional<MonitorList> monitors_;
  std::optional<KeyboardMapping> mapping_;
  std::vector<xcb_keycode_t> spares_;
  std::vector<Binding> bindings_;
  std::vector<xcb_keycode_t> heldKeys_;
  std::vector<xcb_keycode_t> requestModifiers_;
  uint64_t xkbSetUpFor_ = 0;
  bool keyboardTried_ = false;
  std::optional<XkbKeyboard> keyboard_;
  bool indexed_ = false;
  std::unordered_map<xcb_keysym_t, xcb_keycode_t> plainKeys_;
  std::unordered_map<xcb_keysym_t, xcb_keycode_t> shiftedKeys_;
  xcb_keycode_t shiftKeycode_ = 0;
  std::optional<std::pair<int16_t, int16_t>> lastMotion_;
  uint64_t useCounter_ = 0;
};

}  // namespace

std::unique_ptr<DesktopServices> makeX11DesktopServices(XConnection& connection) {
  return std::make_unique<X11DesktopServices>(connection);
}

}  // namespace halvorine::x11

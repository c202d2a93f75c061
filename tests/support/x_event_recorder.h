#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace halvorine::testing {

// One input event as a client window received it.
struct RecordedEvent {
  uint8_t type = 0;    // XCB_KEY_PRESS, XCB_KEY_RELEASE, XCB_BUTTON_PRESS, ... XCB_MOTION_NOTIFY
  uint8_t detail = 0;  // keycode or button number
  uint16_t state = 0;  // modifier and button mask before the event, XKB group in bits 13-14
  int16_t rootX = 0;
  int16_t rootY = 0;
  uint32_t keysym = 0;      // for key events: the keysym the state selects, when the event was read
  uint32_t baseKeysym = 0;  // for key events: the keycode's keysym in group 1 without modifiers
  // For key events: Lock is on and the key's type leaves it unused, so clients change the case
  // of the keysym themselves, each by its own case rules (Xlib's differ from xkbcommon's).
  bool lockUnused = false;
};

// A client of the X display that covers the whole screen with one window, takes the keyboard
// focus and records every key, button and motion event it receives, decoding keysyms as an XKB
// client does (xkbcommon-x11): with the keymap of the moment (it follows every keymap change at
// once, as a real client would), the group and modifiers the event carries, the level they select,
// and Caps Lock's case change where the key's type leaves Lock unused.
//
// Under a window manager (Xwayland under a Wayland compositor), an override-redirect window gets
// no keyboard focus: managedWindow makes a normal window instead, which the manager maps, sizes
// and focuses; the constructor waits until it has the focus.
class XEventRecorder {
 public:
  explicit XEventRecorder(const std::string& display, bool managedWindow = false);
  ~XEventRecorder();
  XEventRecorder(const XEventRecorder&) = delete;
  XEventRecorder& operator=(const XEventRecorder&) = delete;

  bool ok() const { return connection_ != nullptr; }

  // Waits until every event that the server generated before this call has been recorded.
  void settle();
  std::vector<RecordedEvent> events();
  void clear();
  // Takes the events recorded so far, after settle().
  std::vector<RecordedEvent> take();

  // The text typed into the window, as UTF-8: each key press decoded to its character (Return as a
  // line feed, Tab as a tab); keys without a character (modifiers, arrows, Escape) add nothing.
  static std::string typedText(const std::vector<RecordedEvent>& events);
  static std::string keysymName(uint32_t keysym);

 private:
  void run();
  void refreshMapping();
  uint32_t keysymOf(uint8_t keycode, uint16_t state, bool* lockUnused) const;
  uint32_t baseKeysymOf(uint8_t keycode) const;

  xcb_connection_t* connection_ = nullptr;
  xcb_window_t window_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RecordedEvent> events_;
  uint64_t settleAsked_ = 0;
  uint64_t settleDone_ = 0;

  // Used on the recorder thread only (and by the constructor before it starts).
  uint8_t xkbEventBase_ = 0;
  int32_t keyboardDevice_ = -1;
  xkb_context* context_ = nullptr;
  xkb_keymap* keymap_ = nullptr;
  xkb_state* state_ = nullptr;
};

// Helpers that ask the server over a connection of their own.
struct XState {
  // The whole core keyboard mapping, as the server gives it.
  static std::vector<uint32_t> keyboardMapping(const std::string& display);
  // Keycodes that are down at the moment.
  static std::vector<uint8_t> keysDown(const std::string& display);
  // Pointer position and button/modifier mask.
  static bool pointer(const std::string& display, int* x, int* y, uint16_t* mask);
  // The atom of a name (a monitor's identifier is the atom of its name).
  static uint32_t atom(const std::string& display, const std::string& name);

  // The XKB state of the core keyboard: the locked group and the locked modifiers.
  struct KeyboardLocks {
    int group = -1;
    int mods = -1;
    bool operator==(const KeyboardLocks&) const = default;
  };
  static KeyboardLocks keyboardLocks(const std::string& display);
  // Locks a group and sets the locked modifiers, as a layout switch and Caps Lock or Num Lock
  // keys do; false when the server did not take it.
  static bool lockKeyboard(const std::string& display, KeyboardLocks locks);
};

}  // namespace halvorine::testing

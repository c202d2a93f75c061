#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>
#include <vector>

#include "wayland/wayland_connection.h"
#include "wayland/wayland_keymap.h"

struct zwp_virtual_keyboard_v1;

namespace halvorine::wayland {

// A virtual keyboard of the helper on the compositor's seat, with the helper's own keymap
// (HelperKeymap). The user's keyboards and their layouts are never touched: the compositor shows
// each client the keymap of the keyboard that typed last.
//
// Clients take a new keymap asynchronously and no event tells when they are done, so before the
// first key after an upload the keyboard waits one round trip and a short settle; longer when this
// keyboard is the seat's first, since clients then first have to bind a keyboard at all.
// Not thread-safe; false from a call means no compositor (or no virtual keyboard manager).
class Keyboard {
 public:
  struct Options {
    // Wait after a keymap upload on a seat that already had a keyboard.
    std::chrono::milliseconds keymapSettle = std::chrono::milliseconds(30);
    // Wait after this keyboard gave the seat its first keyboard.
    std::chrono::milliseconds firstKeyboardSettle = std::chrono::milliseconds(200);
    // Wait before a keymap gives a key typed since the last wait another keysym. X clients
    // decode a key with the mapping they fetch after the keymap change that preceded it; Xwayland
    // compiles each keymap (tens of milliseconds) before it answers them, so a second keymap that
    // arrives too soon is the one they get.
    std::chrono::milliseconds reuseSettle = std::chrono::milliseconds(250);
  };

  explicit Keyboard(Connection& connection);
  Keyboard(Connection& connection, Options options);
  ~Keyboard();
  Keyboard(const Keyboard&) = delete;
  Keyboard& operator=(const Keyboard&) = delete;

  // Presses a physical key (evdev code), after pressing the modifiers (modifier:: bits) that are
  // not down yet.
  bool pressKey(uint32_t key, uint32_t modifiers);
  // Releases the key and then the modifiers that pressKey pressed.
  bool releaseKey(uint32_t key);
  // Types the code points exactly, each as a press and release of a key that gives its keysym
  // with no modifier (a CR LF pair is one Return).
  bool typeText(std::u32string_view text);
  // Keys and modifiers still down go up, and the compositor has handled everything sent.
  bool finish();
  // Gives the virtual keyboard back to the compositor (a new one is made on next use).
  void release();

  const HelperKeymap& keymap() const { return keymap_; }
  // How many keymaps were uploaded so far (for tests and benchmarks).
  uint64_t uploads() const { return uploads_; }

 private:
  zwp_virtual_keyboard_v1* ensure();
  bool upload(zwp_virtual_keyboard_v1* keyboard);
  bool settle(std::chrono::milliseconds wait);
  void key(zwp_virtual_keyboard_v1* keyboard, uint32_t code, bool down);

  Connection& connection_;
  Options options_;
  HelperKeymap keymap_;
  zwp_virtual_keyboard_v1* keyboard_ = nullptr;
  uint64_t generation_ = 0;
  uint64_t uploads_ = 0;
  std::vector<uint32_t> held_;
  std::vector<uint32_t> requestModifiers_;
  int dropHandler_ = 0;
};

// The code points of UTF-8 text; invalid sequences become U+FFFD.
std::u32string codePointsOf(std::string_view utf8);

}  // namespace halvorine::wayland

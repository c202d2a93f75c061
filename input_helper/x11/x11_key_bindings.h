#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <vector>

#include "x11/x11_keyboard.h"
#include "x11/x_connection.h"

namespace halvorine::x11 {

// Keysyms that the layout has no key for, bound to spare keycodes for the length of one request.
// A keysym is bound on both levels, so that Shift does not change it, and a key of one group gives
// it in every group. Each keysym gets a keycode of its own, so that no binding changes while a
// client may still be reading an earlier key; only when the spare keycodes run out is the one used
// longest ago bound anew.
class SpareKeyBindings {
 public:
  // Starts over with these keycodes to bind (KeyboardMapping::spareKeycodes), nothing bound.
  void start(std::vector<xcb_keycode_t> spares);
  // Forgets every binding and spare keycode without sending anything.
  void clear();

  // The keycode bound to the keysym, which then counts as just used; 0 when it is not bound.
  xcb_keycode_t find(xcb_keysym_t sym);
  bool isBound(xcb_keycode_t keycode) const;

  // Binds the keysym to a spare keycode and records the new row in `mapping`, so that later
  // look-ups see the key as it is now. 0 when there is no keycode to bind, or when a binding in
  // use could not be taken over because the server did not confirm the events typed with it.
  xcb_keycode_t bind(XConnection& x, xcb_connection_t* c, KeyboardMapping& mapping,
                     xcb_keysym_t sym);

  // Gives every borrowed keycode the keysyms it had before the request (no round trip).
  void restore(xcb_connection_t* c, uint8_t keysymsPerKeycode) const;

 private:
  struct Binding {
    xcb_keycode_t keycode;
    xcb_keysym_t sym;
    std::vector<xcb_keysym_t> original;
    uint64_t lastUse;
  };

  std::vector<xcb_keycode_t> spares_;
  std::vector<Binding> bindings_;
  uint64_t useCounter_ = 0;
};

}  // namespace halvorine::x11

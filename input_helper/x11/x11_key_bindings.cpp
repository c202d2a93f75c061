#include "x11/x11_key_bindings.h"

#include <algorithm>
#include <utility>

namespace halvorine::x11 {

void SpareKeyBindings::start(std::vector<xcb_keycode_t> spares) {
  clear();
  spares_ = std::move(spares);
}

void SpareKeyBindings::clear() {
  spares_.clear();
  bindings_.clear();
  useCounter_ = 0;
}

xcb_keycode_t SpareKeyBindings::find(xcb_keysym_t sym) {
  for (Binding& b : bindings_) {
    if (b.sym == sym) {
      b.lastUse = ++useCounter_;
      return b.keycode;
    }
  }
  return 0;
}

bool SpareKeyBindings::isBound(xcb_keycode_t keycode) const {
  return std::any_of(bindings_.begin(), bindings_.end(),
                     [&](const Binding& b) { return b.keycode == keycode; });
}

xcb_keycode_t SpareKeyBindings::bind(XConnection& x, xcb_connection_t* c, KeyboardMapping& mapping,
                                     xcb_keysym_t sym) {
  Binding* target = nullptr;
  if (bindings_.size() < spares_.size()) {
    const xcb_keycode_t keycode = spares_[bindings_.size()];
    bindings_.push_back(Binding{keycode, 0, mapping.row(keycode), 0});
    target = &bindings_.back();
  } else if (!bindings_.empty()) {
    target = &*std::min_element(
        bindings_.begin(), bindings_.end(),
        [](const Binding& a, const Binding& b) { return a.lastUse < b.lastUse; });
    // Every event typed with the old binding has to be through before it changes.
    if (!x.sync()) return 0;
  } else {
    return 0;
  }
  std::vector<xcb_keysym_t> row(mapping.keysymsPerKeycode(), keysym::noSymbol);
  row[0] = sym;
  if (row.size() > 1) row[1] = sym;  // the same with Shift or Caps Lock
  xcb_change_keyboard_mapping(c, 1, target->keycode, mapping.keysymsPerKeycode(), row.data());
  // A borrowed key's own keysym must not be found on it any more.
  mapping.setRow(target->keycode, row);
  target->sym = sym;
  target->lastUse = ++useCounter_;
  return target->keycode;
}

void SpareKeyBindings::restore(xcb_connection_t* c, uint8_t keysymsPerKeycode) const {
  for (const Binding& b : bindings_) {
    xcb_change_keyboard_mapping(c, 1, b.keycode, keysymsPerKeycode, b.original.data());
  }
}

}  // namespace halvorine::x11

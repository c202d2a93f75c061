#include "wayland/wayland_keyboard.h"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <array>
#include <thread>

#include "wayland/protocols/virtual-keyboard-unstable-v1-client.h"
#include "wayland/wayland_pointer.h"

namespace halvorine::wayland {

namespace {

struct ModifierKey {
  uint32_t bit;
  uint32_t key;
};
// In the order they are pressed.
constexpr std::array<ModifierKey, 4> modifierKeys{{
    {modifier::shift, evdev::leftShift},
    {modifier::control, evdev::leftCtrl},
    {modifier::alt, evdev::leftAlt},
    {modifier::super, evdev::leftMeta},
}};

}  // namespace

std::u32string codePointsOf(std::string_view s) {
  std::u32string out;
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t length = 0;
    char32_t cp = 0;
    if (b < 0x80) {
      length = 1;
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      length = 2;
      cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      length = 3;
      cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      length = 4;
      cp = b & 0x07;
    }
    bool valid = length > 0 && i + length <= s.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) valid = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (valid && (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) {
      valid = false;
    }
    if (!valid) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += length;
  }
  return out;
}

Keyboard::Keyboard(Connection& connection) : Keyboard(connection, Options{}) {}

Keyboard::Keyboard(Connection& connection, Options options)
    : connection_(connection), options_(options) {
  dropHandler_ = connection_.onDrop([this] { release(); });
}

Keyboard::~Keyboard() {
  // Nothing may stay down when the helper goes.
  if (keyboard_ != nullptr && !held_.empty()) finish();
  release();
  connection_.removeDropHandler(dropHandler_);
}

void Keyboard::release() {
  if (keyboard_ != nullptr) zwp_virtual_keyboard_v1_destroy(keyboard_);
  keyboard_ = nullptr;
  held_.clear();
  requestModifiers_.clear();
}

bool Keyboard::settle(std::chrono::milliseconds wait) {
  if (!connection_.roundtrip()) return false;
  if (wait.count() > 0) {
    std::this_thread::sleep_for(wait);
    if (!connection_.roundtrip()) return false;
  }
  keymap_.markSettled();
  return true;
}

bool Keyboard::upload(zwp_virtual_keyboard_v1* keyboard) {
  const std::string text = keymap_.text();
  if (text.empty()) return false;
  // The compositor maps the file; it must hold the text with its terminating NUL.
  const int fd = memfd_create("halvorine-keymap", MFD_CLOEXEC);
  if (fd < 0) return false;
  const size_t size = text.size() + 1;
  bool written = ftruncate(fd, static_cast<off_t>(size)) == 0;
  for (size_t done = 0; written && done < text.size();) {
    const ssize_t n = pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n <= 0) written = false;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (written) {
    zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   static_cast<uint32_t>(size));
    ++uploads_;
  }
  // libwayland has duplicated the descriptor for sending.
  close(fd);
  return written && connection_.flush();
}

zwp_virtual_keyboard_v1* Keyboard::ensure() {
  if (connection_.get() == nullptr) return nullptr;
  if (keyboard_ != nullptr && generation_ == connection_.generation()) return keyboard_;
  release();
  zwp_virtual_keyboard_manager_v1* manager = connection_.virtualKeyboardManager();
  if (manager == nullptr || connection_.seat() == nullptr) return nullptr;
  const bool seatHadKeyboard = connection_.seatHasKeyboard();
  keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager, connection_.seat());
  generation_ = connection_.generation();
  // A keymap goes up at once: the compositor refuses keys before it, and clients need the time.
  if (!upload(keyboard_) ||
      !settle(seatHadKeyboard ? options_.keymapSettle : options_.firstKeyboardSettle)) {
    release();
    return nullptr;
  }
  return keyboard_;
}

void Keyboard::key(zwp_virtual_keyboard_v1* keyboard, uint32_t code, bool down) {
  zwp_virtual_keyboard_v1_key(
      keyboard, eventTime(), code,
      down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
  if (down) {
    held_.push_back(code);
  } else {
    auto it = std::find(held_.rbegin(), held_.rend(), code);
    if (it != held_.rend()) held_.erase(std::next(it).base());
  }
}

bool Keyboard::pressKey(uint32_t code, uint32_t modifiers) {
  zwp_virtual_keyboard_v1* k = ensure();
  if (k == nullptr) return false;
  for (const ModifierKey& m : modifierKeys) {
    if ((modifiers & m.bit) == 0 || std::find(held_.begin(), held_.end(), m.key) != held_.end()) {
      continue;
    }
    key(k, m.key, true);
    requestModifiers_.push_back(m.key);
  }
  key(k, code, true);
  return connection_.flush();
}

bool Keyboard::releaseKey(uint32_t code) {
  zwp_virtual_keyboard_v1* k = ensure();
  if (k == nullptr) return false;
  key(k, code, false);
  for (auto it = requestModifiers_.rbegin(); it != requestModifiers_.rend(); ++it) {
    key(k, *it, false);
  }
  requestModifiers_.clear();
  return connection_.flush();
}

bool Keyboard::typeText(std::u32string_view text) {
  zwp_virtual_keyboard_v1* k = ensure();
  if (k == nullptr) return false;
  std::vector<uint32_t> keysyms;
  keysyms.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n') continue;
    keysyms.push_back(keysymForCodePoint(text[i]));
  }
  // Held modifiers would change what the keys type.
  if (!requestModifiers_.empty()) {
    for (auto it = requestModifiers_.rbegin(); it != requestModifiers_.rend(); ++it) {
      key(k, *it, false);
    }
    requestModifiers_.clear();
  }
  size_t next = 0;
  while (next < keysyms.size()) {
    const std::vector<uint32_t> rest(keysyms.begin() + static_cast<long>(next), keysyms.end());
    const HelperKeymap::Placement placement = keymap_.place(rest);
    if (placement.changed) {
      // Keys typed with a key that now changes its keysym must be read first.
      if (placement.evictedUsed && !settle(options_.reuseSettle)) return false;
      if (!upload(k) || !settle(options_.keymapSettle)) return false;
    }
    for (size_t i = next; i < next + placement.placed; ++i) {
      const std::optional<uint32_t> code = keymap_.keyFor(keysyms[i]);
      if (!code) continue;
      keymap_.markUsed(keysyms[i]);
      key(k, *code, true);
      key(k, *code, false);
    }
    next += std::max<size_t>(placement.placed, 1);
    if (!connection_.flush()) return false;
  }
  return connection_.flush();
}

bool Keyboard::finish() {
  if (keyboard_ == nullptr || generation_ != connection_.generation()) {
    held_.clear();
    requestModifiers_.clear();
    return connection_.get() != nullptr && connection_.roundtrip();
  }
  while (!held_.empty()) key(keyboard_, held_.back(), false);
  requestModifiers_.clear();
  return connection_.roundtrip();
}

}  // namespace halvorine::wayland

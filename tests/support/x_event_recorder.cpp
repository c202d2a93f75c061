#include "x_event_recorder.h"

#include <poll.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <cstring>

// The XKB header names a member "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

namespace halvorine::testing {

namespace {

template <class T>
struct Freed {
  T* p;
  explicit Freed(T* ptr) : p(ptr) {}
  ~Freed() { std::free(p); }
  T* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

xcb_connection_t* connect(const std::string& display) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c) != 0) {
    xcb_disconnect(c);
    return nullptr;
  }
  return c;
}

// A connection with the XKB extension set up, or nullptr.
xcb_connection_t* connectXkb(const std::string& display) {
  xcb_connection_t* c = connect(display);
  if (c != nullptr &&
      xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                  XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr,
                                  nullptr) == 0) {
    xcb_disconnect(c);
    return nullptr;
  }
  return c;
}

}  // namespace

XEventRecorder::XEventRecorder(const std::string& display, bool managedWindow) {
  connection_ = connect(display);
  if (connection_ == nullptr) return;
  if (xkb_x11_setup_xkb_extension(
          connection_, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
          XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &xkbEventBase_, nullptr) == 0) {
    xcb_disconnect(connection_);
    connection_ = nullptr;
    return;
  }
  keyboardDevice_ = xkb_x11_get_core_keyboard_device_id(connection_);
  context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  // Told of every new keymap, whether set through XKB or the core protocol.
  constexpr uint16_t events =
      XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
  const xcb_xkb_select_events_details_t details{};
  xcb_xkb_select_events_aux(connection_, static_cast<xcb_xkb_device_spec_t>(keyboardDevice_),
                            events, 0, events, 0xff, 0xff, &details);
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
  window_ = xcb_generate_id(connection_);
  // A managed window has a background: Xwayland hands a window to the compositor only once it
  // has drawn something.
  const uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK;
  const uint32_t values[] = {screen->black_pixel, managedWindow ? 0u : 1u,
                             XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                 XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                 XCB_EVENT_MASK_POINTER_MOTION};
  xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0,
                    screen->width_in_pixels, screen->height_in_pixels, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, mask, values);
  if (managedWindow) {
    static constexpr char title[] = "halvorine-recorder";
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NAME,
                        XCB_ATOM_STRING, 8, sizeof(title) - 1, title);
  }
  xcb_map_window(connection_, window_);
  if (managedWindow) {
    // The window manager gives the focus once it has mapped the window.
    for (int i = 0; i < 500; ++i) {
      Freed focus(
          xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
      if (focus && focus->focus == window_) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  } else {
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }
  refreshMapping();
  thread_ = std::thread([this] { run(); });
}

XEventRecorder::~XEventRecorder() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (state_ != nullptr) xkb_state_unref(state_);
  if (keymap_ != nullptr) xkb_keymap_unref(keymap_);
  if (context_ != nullptr) xkb_context_unref(context_);
  if (connection_ != nullptr) xcb_disconnect(connection_);
}

void XEventRecorder::refreshMapping() {
  if (context_ == nullptr) return;
  xkb_keymap* keymap = xkb_x11_keymap_new_from_device(context_, connection_, keyboardDevice_,
                                                      XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (keymap == nullptr) return;
  if (state_ != nullptr) xkb_state_unref(state_);
  if (keymap_ != nullptr) xkb_keymap_unref(keymap_);
  keymap_ = keymap;
  state_ = xkb_state_new(keymap_);
}

uint32_t XEventRecorder::keysymOf(uint8_t keycode, uint16_t state, bool* lockUnused) const {
  if (state_ == nullptr) return 0;
  // The event's state: the real modifiers in the low byte, the group in bits 13 and 14.
  xkb_state_update_mask(state_, state & 0xff, 0, 0, 0, 0, (state >> 13) & 0x03);
  const xkb_mod_index_t lock = xkb_keymap_mod_get_index(keymap_, XKB_MOD_NAME_CAPS);
  *lockUnused = (state & XCB_MOD_MASK_LOCK) != 0 &&
                xkb_state_mod_index_is_consumed(state_, keycode, lock) == 0;
  return xkb_state_key_get_one_sym(state_, keycode);
}

uint32_t XEventRecorder::baseKeysymOf(uint8_t keycode) const {
  if (keymap_ == nullptr) return 0;
  const xkb_keysym_t* syms = nullptr;
  return xkb_keymap_key_get_syms_by_level(keymap_, keycode, 0, 0, &syms) > 0 ? syms[0] : 0;
}

void XEventRecorder::run() {
  const int fd = xcb_get_file_descriptor(connection_);
  uint64_t servedSettle = 0;
  while (!stop_) {
    {
      std::lock_guard lock(mutex_);
      if (settleAsked_ != servedSettle) servedSettle = settleAsked_;
    }
    const bool settling = servedSettle != settleDone_;
    if (settling) {
      // Every event sent before the reply reaches us before it.
      std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    } else {
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, 20);
    }
    while (xcb_generic_event_t* e = settling ? xcb_poll_for_queued_event(connection_)
                                             : xcb_poll_for_event(connection_)) {
      const uint8_t type = e->response_type & 0x7f;
      if (type == xkbEventBase_) {
        // XKB events carry their own type in the second byte.
        const uint8_t xkbType = reinterpret_cast<const uint8_t*>(e)[1];
        if (xkbType == XCB_XKB_MAP_NOTIFY || xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY) {
          refreshMapping();
        }
      } else if (type == XCB_MAPPING_NOTIFY) {
        auto* m = reinterpret_cast<xcb_mapping_notify_event_t*>(e);
        if (m->request == XCB_MAPPING_KEYBOARD) refreshMapping();
      } else if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE || type == XCB_BUTTON_PRESS ||
                 type == XCB_BUTTON_RELEASE || type == XCB_MOTION_NOTIFY) {
        // Key, button and motion events share this layout.
        auto* k = reinterpret_cast<xcb_key_press_event_t*>(e);
        RecordedEvent r{type, k->detail, k->state, k->root_x, k->root_y, 0, 0};
        if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
          r.keysym = keysymOf(k->detail, k->state, &r.lockUnused);
          r.baseKeysym = baseKeysymOf(k->detail);
        }
        std::lock_guard lock(mutex_);
        events_.push_back(r);
      }
      std::free(e);
    }
    if (xcb_connection_has_error(connection_) != 0) stop_ = true;
    if (settling) {
      std::lock_guard lock(mutex_);
      settleDone_ = servedSettle;
      changed_.notify_all();
    }
  }
  std::lock_guard lock(mutex_);
  settleDone_ = settleAsked_;
  changed_.notify_all();
}

void XEventRecorder::settle() {
  if (connection_ == nullptr) return;
  std::unique_lock lock(mutex_);
  const uint64_t ticket = ++settleAsked_;
  changed_.wait_for(lock, std::chrono::seconds(10), [&] { return settleDone_ >= ticket; });
}

std::vector<RecordedEvent> XEventRecorder::events() {
  std::lock_guard lock(mutex_);
  return events_;
}

void XEventRecorder::clear() {
  settle();
  std::lock_guard lock(mutex_);
  events_.clear();
}

std::vector<RecordedEvent> XEventRecorder::take() {
  settle();
  std::lock_guard lock(mutex_);
  std::vector<RecordedEvent> taken;
  taken.swap(events_);
  return taken;
}

std::string XEventRecorder::typedText(const std::vector<RecordedEvent>& events) {
  std::string text;
  auto append = [&](uint32_t cp) {
    if (cp < 0x80) {
      text += static_cast<char>(cp);
    } else if (cp < 0x800) {
      text += static_cast<char>(0xC0 | (cp >> 6));
      text += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      text += static_cast<char>(0xE0 | (cp >> 12));
      text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | (cp >> 18));
      text += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (cp & 0x3F));
    }
  };
  for (const RecordedEvent& e : events) {
    if (e.type != XCB_KEY_PRESS) continue;
    const uint32_t cp = xkb_keysym_to_utf32(e.keysym);
    if (e.keysym == XKB_KEY_Return) {
      append('\n');
    } else if (e.keysym == XKB_KEY_Tab) {
      append('\t');
    } else if (cp >= 0x20 && cp != 0x7f) {
      append(cp);
    }
  }
  return text;
}

std::string XEventRecorder::keysymName(uint32_t keysym) {
  switch (keysym) {
    case 0xff0d:
      return "Return";
    case 0xff09:
      return "Tab";
    case 0xff08:
      return "BackSpace";
    case 0xff1b:
      return "Escape";
    case 0xffff:
      return "Delete";
    case 0xff50:
      return "Home";
    case 0xff51:
      return "Left";
    case 0xff52:
      return "Up";
    case 0xff53:
      return "Right";
    case 0xff54:
      return "Down";
    case 0xff55:
      return "Prior";
    case 0xff56:
      return "Next";
    case 0xff57:
      return "End";
    case 0xffe1:
      return "Shift_L";
    case 0xffe3:
      return "Control_L";
    case 0xffe9:
      return "Alt_L";
    case 0xffeb:
      return "Super_L";
    default:
      break;
  }
  if (keysym >= 0x20 && keysym <= 0x7e) return std::string(1, static_cast<char>(keysym));
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%x", keysym);
  return hex;
}

std::vector<uint32_t> XState::keyboardMapping(const std::string& display) {
  std::vector<uint32_t> result;
  xcb_connection_t* c = connect(display);
  if (c == nullptr) return result;
  const xcb_setup_t* setup = xcb_get_setup(c);
  Freed reply(xcb_get_keyboard_mapping_reply(
      c,
      xcb_get_keyboard_mapping(c, setup->min_keycode,
                               static_cast<uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
      nullptr));
  if (reply) {
    result.push_back(reply->keysyms_per_keycode);
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.p);
    result.insert(result.end(), syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply.p));
  }
  xcb_disconnect(c);
  return result;
}

std::vector<uint8_t> XState::keysDown(const std::string& display) {
  std::vector<uint8_t> down;
  xcb_connection_t* c = connect(display);
  if (c == nullptr) return down;
  Freed reply(xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr));
  if (reply) {
    for (int k = 0; k < 256; ++k) {
      if ((reply->keys[k / 8] & (1 << (k % 8))) != 0) down.push_back(static_cast<uint8_t>(k));
    }
  }
  xcb_disconnect(c);
  return down;
}

bool XState::pointer(const std::string& display, int* x, int* y, uint16_t* mask) {
  xcb_connection_t* c = connect(display);
  if (c == nullptr) return false;
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  Freed reply(xcb_query_pointer_reply(c, xcb_query_pointer(c, screen->root), nullptr));
  if (reply) {
    *x = reply->root_x;
    *y = reply->root_y;
    *mask = reply->mask;
  }
  xcb_disconnect(c);
  return static_cast<bool>(reply);
}

uint32_t XState::atom(const std::string& display, const std::string& name) {
  xcb_connection_t* c = connect(display);
  if (c == nullptr) return 0;
  Freed reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
  const uint32_t atom = reply ? reply->atom : 0;
  xcb_disconnect(c);
  return atom;
}

XState::KeyboardLocks XState::keyboardLocks(const std::string& display) {
  KeyboardLocks locks;
  xcb_connection_t* c = connectXkb(display);
  if (c == nullptr) return locks;
  Freed reply(xcb_xkb_get_state_reply(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD), nullptr));
  if (reply) {
    locks.group = reply->lockedGroup;
    locks.mods = reply->lockedMods;
  }
  xcb_disconnect(c);
  return locks;
}

bool XState::lockKeyboard(const std::string& display, KeyboardLocks locks) {
  xcb_connection_t* c = connectXkb(display);
  if (c == nullptr) return false;
  const xcb_void_cookie_t cookie = xcb_xkb_latch_lock_state_checked(
      c, XCB_XKB_ID_USE_CORE_KBD, 0xff, static_cast<uint8_t>(locks.mods), 1,
      static_cast<uint8_t>(locks.group), 0, 0, 0);
  Freed error(xcb_request_check(c, cookie));
  xcb_disconnect(c);
  return !error && keyboardLocks(display) == locks;
}

}  // namespace halvorine::testing

#include "x_event_recorder.h"

#include <poll.h>

#include <cstdlib>
#include <cstring>

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

}  // namespace

XEventRecorder::XEventRecorder(const std::string& display, bool managedWindow) {
  connection_ = connect(display);
  if (connection_ == nullptr) return;
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
  if (connection_ != nullptr) xcb_disconnect(connection_);
}

void XEventRecorder::refreshMapping() {
  const xcb_setup_t* setup = xcb_get_setup(connection_);
  const uint8_t count = static_cast<uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  Freed reply(xcb_get_keyboard_mapping_reply(
      connection_, xcb_get_keyboard_mapping(connection_, setup->min_keycode, count), nullptr));
  if (!reply) return;
  minKeycode_ = setup->min_keycode;
  perKeycode_ = reply->keysyms_per_keycode;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.p);
  keysyms_.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply.p));
}

uint32_t XEventRecorder::keysymOf(uint8_t keycode, uint16_t state) const {
  if (perKeycode_ == 0 || keycode < minKeycode_) return 0;
  const size_t base = static_cast<size_t>(keycode - minKeycode_) * perKeycode_;
  if (base + perKeycode_ > keysyms_.size()) return 0;
  // Core protocol rules for group 1: Shift selects the second keysym; a missing second keysym
  // repeats the first.
  const bool shift = (state & XCB_MOD_MASK_SHIFT) != 0;
  const uint32_t first = keysyms_[base];
  const uint32_t second = perKeycode_ > 1 ? keysyms_[base + 1] : 0;
  if (shift && second != 0) return second;
  return first;
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
      if (type == XCB_MAPPING_NOTIFY) {
        auto* m = reinterpret_cast<xcb_mapping_notify_event_t*>(e);
        if (m->request == XCB_MAPPING_KEYBOARD) refreshMapping();
      } else if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE || type == XCB_BUTTON_PRESS ||
                 type == XCB_BUTTON_RELEASE || type == XCB_MOTION_NOTIFY) {
        // Key, button and motion events share this layout.
        auto* k = reinterpret_cast<xcb_key_press_event_t*>(e);
        RecordedEvent r{type, k->detail, k->state, k->root_x, k->root_y, 0, 0};
        if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
          r.keysym = keysymOf(k->detail, k->state);
          r.baseKeysym = keysymOf(k->detail, 0);
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
    const uint32_t s = e.keysym;
    if (s == 0xff0d) {
      append('\n');
    } else if (s == 0xff09) {
      append('\t');
    } else if ((s >= 0x20 && s <= 0x7e) || (s >= 0xa0 && s <= 0xff)) {
      append(s);
    } else if ((s & 0xff000000) == 0x01000000) {
      append(s & 0x00ffffff);
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

}  // namespace halvorine::testing

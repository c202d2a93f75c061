#include "wayland/wayland_connection.h"

#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>

#include "wayland/protocols/virtual-keyboard-unstable-v1-client.h"
#include "wayland/protocols/wlr-screencopy-unstable-v1-client.h"
#include "wayland/protocols/wlr-virtual-pointer-unstable-v1-client.h"
#include "wayland/protocols/xdg-output-unstable-v1-client.h"

namespace halvorine::wayland {

uint32_t displayIdForName(std::string_view name) {
  uint32_t hash = 2166136261u;
  for (const char c : name) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 16777619u;
  }
  return hash;
}

const Output* mainOutput(const std::vector<Output>& outputs) {
  for (const Output& o : outputs) {
    if (o.bounds.x == 0 && o.bounds.y == 0) return &o;
  }
  return outputs.empty() ? nullptr : &outputs.front();
}

Rect layoutBounds(const std::vector<Output>& outputs) {
  if (outputs.empty()) return Rect{};
  double left = outputs.front().bounds.x, top = outputs.front().bounds.y;
  double right = left + outputs.front().bounds.width;
  double bottom = top + outputs.front().bounds.height;
  for (const Output& o : outputs) {
    left = std::min(left, o.bounds.x);
    top = std::min(top, o.bounds.y);
    right = std::max(right, o.bounds.x + o.bounds.width);
    bottom = std::max(bottom, o.bounds.y + o.bounds.height);
  }
  return Rect{left, top, right - left, bottom - top};
}

namespace {

// libwayland reports broken connections on standard error; the helper tells them in its answers.
void silentLog(const char*, va_list) {}

struct OutputState {
  uint32_t globalName = 0;
  wl_output* output = nullptr;
  zxdg_output_v1* xdgOutput = nullptr;
  std::string name;  // from xdg-output, else from wl_output version 4
  std::string outputName;
  int32_t x = 0, y = 0, width = 0, height = 0;  // logical, from xdg-output
  bool haveLogical = false;
  int32_t geometryX = 0, geometryY = 0, modeWidth = 0, modeHeight = 0;
  int32_t transform = 0;
};

}  // namespace

struct Connection::State {
  wl_registry* registry = nullptr;
  wl_seat* seat = nullptr;
  uint32_t seatCapabilities = 0;
  wl_shm* shm = nullptr;
  zwlr_virtual_pointer_manager_v1* pointerManager = nullptr;
  zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
  zwlr_screencopy_manager_v1* screencopy = nullptr;
  uint32_t screencopyVersion = 0;
  zxdg_output_manager_v1* xdgOutputManager = nullptr;
  std::vector<std::unique_ptr<OutputState>> outputs;

  void addXdgOutput(OutputState& o);
  ~State();
};

namespace {

const wl_output_listener outputListener = {
    .geometry =
        [](void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*,
           const char*, int32_t transform) {
          auto* o = static_cast<OutputState*>(data);
          o->geometryX = x;
          o->geometryY = y;
          o->transform = transform;
        },
    .mode =
        [](void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
          auto* o = static_cast<OutputState*>(data);
          if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
            o->modeWidth = width;
            o->modeHeight = height;
          }
        },
    .done = [](void*, wl_output*) {},
    .scale = [](void*, wl_output*, int32_t) {},
    .name = [](void* data, wl_output*,
               const char* name) { static_cast<OutputState*>(data)->outputName = name; },
    .description = [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener xdgOutputListener = {
    .logical_position =
        [](void* data, zxdg_output_v1*, int32_t x, int32_t y) {
          auto* o = static_cast<OutputState*>(data);
          o->x = x;
          o->y = y;
        },
    .logical_size =
        [](void* data, zxdg_output_v1*, int32_t width, int32_t height) {
          auto* o = static_cast<OutputState*>(data);
          o->width = width;
          o->height = height;
          o->haveLogical = true;
        },
    .done = [](void*, zxdg_output_v1*) {},
    .name = [](void* data, zxdg_output_v1*,
               const char* name) { static_cast<OutputState*>(data)->name = name; },
    .description = [](void*, zxdg_output_v1*, const char*) {},
};

const wl_seat_listener seatListener = {
    .capabilities =
        [](void* data, wl_seat*, uint32_t capabilities) {
          static_cast<Connection::State*>(data)->seatCapabilities = capabilities;
        },
    .name = [](void*, wl_seat*, const char*) {},
};

void destroyOutput(OutputState& o) {
  if (o.xdgOutput != nullptr) zxdg_output_v1_destroy(o.xdgOutput);
  if (o.output != nullptr) {
    if (wl_output_get_version(o.output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
      wl_output_release(o.output);
    } else {
      wl_output_destroy(o.output);
    }
  }
  o.xdgOutput = nullptr;
  o.output = nullptr;
}

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
              uint32_t version) {
  auto* s = static_cast<Connection::State*>(data);
  const std::string_view iface(interface);
  const auto bind = [&](const wl_interface* type, uint32_t highest) {
    return wl_registry_bind(registry, name, type, std::min(version, highest));
  };
  if (iface == wl_seat_interface.name && s->seat == nullptr) {
    s->seat = static_cast<wl_seat*>(bind(&wl_seat_interface, 2));
    wl_seat_add_listener(s->seat, &seatListener, s);
  } else if (iface == wl_shm_interface.name && s->shm == nullptr) {
    s->shm = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
  } else if (iface == zwlr_virtual_pointer_manager_v1_interface.name &&
             s->pointerManager == nullptr) {
    s->pointerManager = static_cast<zwlr_virtual_pointer_manager_v1*>(
        bind(&zwlr_virtual_pointer_manager_v1_interface, 2));
  } else if (iface == zwp_virtual_keyboard_manager_v1_interface.name &&
             s->keyboardManager == nullptr) {
    s->keyboardManager = static_cast<zwp_virtual_keyboard_manager_v1*>(
        bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
  } else if (iface == zwlr_screencopy_manager_v1_interface.name && s->screencopy == nullptr) {
    s->screencopyVersion = std::min(version, 3u);
    s->screencopy =
        static_cast<zwlr_screencopy_manager_v1*>(bind(&zwlr_screencopy_manager_v1_interface, 3));
  } else if (iface == zxdg_output_manager_v1_interface.name && s->xdgOutputManager == nullptr) {
    s->xdgOutputManager =
        static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3));
    for (auto& o : s->outputs) s->addXdgOutput(*o);
  } else if (iface == wl_output_interface.name) {
    auto o = std::make_unique<OutputState>();
    o->globalName = name;
    o->output = static_cast<wl_output*>(bind(&wl_output_interface, 4));
    wl_output_add_listener(o->output, &outputListener, o.get());
    s->addXdgOutput(*o);
    s->outputs.push_back(std::move(o));
  }
}

void onGlobalRemove(void* data, wl_registry*, uint32_t name) {
  auto* s = static_cast<Connection::State*>(data);
  auto it = std::find_if(s->outputs.begin(), s->outputs.end(),
                         [&](const auto& o) { return o->globalName == name; });
  if (it != s->outputs.end()) {
    destroyOutput(**it);
    s->outputs.erase(it);
  }
}

const wl_registry_listener registryListener = {.global = onGlobal, .global_remove = onGlobalRemove};

}  // namespace

void Connection::State::addXdgOutput(OutputState& o) {
  if (xdgOutputManager == nullptr || o.xdgOutput != nullptr) return;
  o.xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputManager, o.output);
  zxdg_output_v1_add_listener(o.xdgOutput, &xdgOutputListener, &o);
}

Connection::State::~State() {
  for (auto& o : outputs) destroyOutput(*o);
  if (xdgOutputManager != nullptr) zxdg_output_manager_v1_destroy(xdgOutputManager);
  if (screencopy != nullptr) zwlr_screencopy_manager_v1_destroy(screencopy);
  if (keyboardManager != nullptr) zwp_virtual_keyboard_manager_v1_destroy(keyboardManager);
  if (pointerManager != nullptr) zwlr_virtual_pointer_manager_v1_destroy(pointerManager);
  if (shm != nullptr) wl_shm_destroy(shm);
  if (seat != nullptr) wl_seat_destroy(seat);
  if (registry != nullptr) wl_registry_destroy(registry);
}

Connection::Connection() : Connection(Options{}) {}

Connection::Connection(Options options) : options_(std::move(options)) {
  wl_log_set_handler_client(silentLog);
}

Connection::~Connection() {
  drop();
}

void Connection::drop() {
  // Objects of other classes made on this connection go first: their proxies die with it.
  for (auto& [id, handler] : dropHandlers_) handler();
  state_.reset();
  if (display_ != nullptr) wl_display_disconnect(display_);
  display_ = nullptr;
}

int Connection::onDrop(std::function<void()> handler) {
  dropHandlers_.emplace_back(++lastHandlerId_, std::move(handler));
  return lastHandlerId_;
}

void Connection::removeDropHandler(int id) {
  std::erase_if(dropHandlers_, [&](const auto& h) { return h.first == id; });
}

bool Connection::fail(int error) {
  lastError_ = error != 0 ? error : EPIPE;
  drop();
  return false;
}

bool Connection::open() {
  display_ =
      wl_display_connect(options_.displayName.empty() ? nullptr : options_.displayName.c_str());
  if (display_ == nullptr) {
    lastError_ = errno != 0 ? errno : ENOENT;
    return false;
  }
  ++generation_;
  state_ = std::make_unique<State>();
  state_->registry = wl_display_get_registry(display_);
  wl_registry_add_listener(state_->registry, &registryListener, state_.get());
  // The first round trip announces the globals; the second brings what the bound ones tell
  // (outputs' names and places, the seat's capabilities).
  if (!roundtrip() || !roundtrip()) return false;
  lastError_ = 0;
  return true;
}

bool Connection::alive() {
  if (display_ == nullptr) return false;
  if (wl_display_get_error(display_) != 0) return fail(wl_display_get_error(display_));
  pollfd p{wl_display_get_fd(display_), POLLIN, 0};
  if (::poll(&p, 1, 0) < 0) return fail(errno);
  // A compositor that has gone may have sent events before it closed the socket: reading those
  // would take the connection for a live one until the next look.
  if ((p.revents & (POLLHUP | POLLERR)) != 0) return fail(EPIPE);
  if ((p.revents & POLLIN) != 0) {
    // Events are waiting: read them without blocking.
    if (wl_display_prepare_read(display_) == 0) {
      if (wl_display_read_events(display_) < 0) return fail(errno);
    }
    if (wl_display_dispatch_pending(display_) < 0) return fail(wl_display_get_error(display_));
  }
  return true;
}

wl_display* Connection::get() {
  if (display_ != nullptr && alive()) return display_;
  if (display_ == nullptr && !open()) {
    drop();
    return nullptr;
  }
  return display_;
}

namespace {

int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

}  // namespace

Connection::DeadlineScope::DeadlineScope(Connection& connection,
                                         std::chrono::steady_clock::time_point deadline)
    : connection_(connection), previous_(connection.deadline_) {
  connection_.deadline_ = deadline;
}

Connection::DeadlineScope::~DeadlineScope() {
  connection_.deadline_ = previous_;
}

std::chrono::steady_clock::time_point Connection::waitDeadline() const {
  const auto own = std::chrono::steady_clock::now() + options_.timeout;
  return deadline_ ? std::min(own, *deadline_) : own;
}

bool Connection::flush() {
  if (display_ == nullptr) return false;
  const auto deadline = waitDeadline();
  while (wl_display_flush(display_) < 0) {
    if (errno != EAGAIN) return fail(errno);
    pollfd p{wl_display_get_fd(display_), POLLOUT, 0};
    const int left = millisecondsLeft(deadline);
    const int n = ::poll(&p, 1, left);
    if (n < 0 && errno != EINTR) return fail(errno);
    if (n == 0) return fail(ETIMEDOUT);
    if ((p.revents & (POLLHUP | POLLERR)) != 0) return fail(EPIPE);
  }
  return true;
}

bool Connection::dispatchPending() {
  if (display_ == nullptr) return false;
  if (wl_display_dispatch_pending(display_) < 0) return fail(wl_display_get_error(display_));
  return true;
}

int Connection::waitUntil(const std::function<bool()>& done) {
  const auto deadline = waitDeadline();
  const auto pending = [&] {
    return wl_display_dispatch_pending(display_) < 0 ? std::max(wl_display_get_error(display_), 1)
                                                     : 0;
  };
  for (;;) {
    if (const int e = pending()) return e;
    if (done()) return 0;
    while (wl_display_prepare_read(display_) != 0) {
      if (const int e = pending()) return e;
    }
    if (done()) {
      wl_display_cancel_read(display_);
      return 0;
    }
    // wl_display_flush does not block: a full socket is waited for by the poll below, whose
    // deadline also covers a compositor that stops reading.
    if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
      const int error = errno;
      wl_display_cancel_read(display_);
      return error;
    }
    pollfd p{wl_display_get_fd(display_), POLLIN, 0};
    const int n = ::poll(&p, 1, millisecondsLeft(deadline));
    if (n < 0 && errno == EINTR) {
      wl_display_cancel_read(display_);
      continue;
    }
    if (n <= 0) {
      const int error = n == 0 ? ETIMEDOUT : errno;
      wl_display_cancel_read(display_);
      return error;
    }
    if ((p.revents & POLLIN) == 0) {
      wl_display_cancel_read(display_);
      return EPIPE;
    }
    if (wl_display_read_events(display_) < 0) return errno != 0 ? errno : EPIPE;
  }
}

bool Connection::dispatchUntil(const std::function<bool()>& done) {
  if (display_ == nullptr) return false;
  const int error = waitUntil(done);
  return error == 0 || fail(error);
}

bool Connection::roundtrip() {
  if (display_ == nullptr) return false;
  bool done = false;
  wl_callback* callback = wl_display_sync(display_);
  static const wl_callback_listener listener = {
      .done = [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
  wl_callback_add_listener(callback, &listener, &done);
  const int error = waitUntil([&] { return done; });
  // The proxy has to go before a failed connection is closed.
  wl_callback_destroy(callback);
  return error == 0 || fail(error);
}

bool Connection::trusted() {
  return get() != nullptr && state_->pointerManager != nullptr &&
         state_->keyboardManager != nullptr;
}

wl_seat* Connection::seat() const {
  return state_ ? state_->seat : nullptr;
}
wl_shm* Connection::shm() const {
  return state_ ? state_->shm : nullptr;
}
zwlr_virtual_pointer_manager_v1* Connection::virtualPointerManager() const {
  return state_ ? state_->pointerManager : nullptr;
}
zwp_virtual_keyboard_manager_v1* Connection::virtualKeyboardManager() const {
  return state_ ? state_->keyboardManager : nullptr;
}
zwlr_screencopy_manager_v1* Connection::screencopyManager() const {
  return state_ ? state_->screencopy : nullptr;
}
uint32_t Connection::screencopyVersion() const {
  return state_ ? state_->screencopyVersion : 0;
}
bool Connection::seatHasKeyboard() const {
  return state_ && (state_->seatCapabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0;
}
bool Connection::seatHasPointer() const {
  return state_ && (state_->seatCapabilities & WL_SEAT_CAPABILITY_POINTER) != 0;
}

std::vector<Output> Connection::outputs() const {
  std::vector<Output> list;
  if (!state_) return list;
  for (const auto& o : state_->outputs) {
    Output out;
    out.name = !o->name.empty() ? o->name : o->outputName;
    out.output = o->output;
    if (o->haveLogical) {
      out.bounds = Rect{static_cast<double>(o->x), static_cast<double>(o->y),
                        static_cast<double>(o->width), static_cast<double>(o->height)};
    } else {
      // Without xdg-output: the position and the mode's size (right for scale 1).
      out.bounds = Rect{static_cast<double>(o->geometryX), static_cast<double>(o->geometryY),
                        static_cast<double>(o->modeWidth), static_cast<double>(o->modeHeight)};
    }
    // A quarter turn swaps the mode's sides: screencopy delivers the output as it is shown.
    const bool turned = (o->transform & 1) != 0;
    out.pixelWidth = turned ? o->modeHeight : o->modeWidth;
    out.pixelHeight = turned ? o->modeWidth : o->modeHeight;
    out.transform = o->transform;
    if (out.name.empty() || out.bounds.isEmpty()) continue;
    out.displayId = displayIdForName(out.name);
    list.push_back(std::move(out));
  }
  return list;
}

std::vector<Output> Connection::refreshOutputs() {
  // New outputs are bound while the first round trip dispatches; the second brings their names
  // and places.
  if (get() == nullptr || !roundtrip() || !roundtrip()) return {};
  return outputs();
}

}  // namespace halvorine::wayland

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/geometry.h"

struct wl_display;
struct wl_registry;
struct wl_seat;
struct wl_shm;
struct wl_output;
struct zwlr_virtual_pointer_manager_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwlr_screencopy_manager_v1;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;

namespace halvorine::wayland {

// The display identifier of an output: the 32-bit FNV-1a hash of its name in UTF-8, so that a
// host can compute it from the name the compositor shows.
uint32_t displayIdForName(std::string_view name);

// One output of the compositor, placed in the layout by its logical position and size.
struct Output {
  std::string name;
  uint32_t displayId = 0;
  Rect bounds;  // logical position and size in the layout
  wl_output* output = nullptr;
  // The size of the output's pixels (its current mode, turned by the output's transform), which
  // a scaled output has larger than its logical size; 0 when the compositor told no mode.
  int64_t pixelWidth = 0;
  int64_t pixelHeight = 0;
  // wl_output's transform (a turn of 180 degrees changes no size, but every pixel).
  int32_t transform = 0;
};

// The output at logical (0, 0), else the first one; nullptr for an empty list.
const Output* mainOutput(const std::vector<Output>& outputs);
// The smallest rectangle that holds every output; an empty rectangle for an empty list.
Rect layoutBounds(const std::vector<Output>& outputs);

// One client connection to a Wayland compositor, opened lazily and opened anew once the old one
// has died, so that a new compositor on the same socket name is used again. Every wait for the
// compositor has a deadline: a compositor that stops answering counts as gone and the connection
// is dropped. Not thread-safe: one thread uses a connection at a time.
//
// Objects made on a connection die with it; users compare generation() to notice a reconnect.
class Connection {
 public:
  struct Options {
    // The socket name; empty for the one WAYLAND_DISPLAY names (libwayland's rules).
    std::string displayName;
    std::chrono::milliseconds timeout = std::chrono::seconds(2);
  };

  Connection();
  explicit Connection(Options options);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // A usable display with its globals known, or nullptr when no compositor can be reached. Cheap
  // when the current connection is healthy: one non-blocking look at the socket.
  wl_display* get();
  // Counts the connections opened so far.
  uint64_t generation() const { return generation_; }
  // The errno of the last failure (connect, read, write, time-out = ETIMEDOUT), 0 if none.
  int lastErrorCode() const { return lastError_; }
  // Gives up the current connection.
  void drop();
  // Whether a connection is open now (it may still turn out to be dead on next use).
  bool connected() const { return display_ != nullptr; }

  // Bounds every wait of this connection by a moment, besides its own time-out, while it lives:
  // a wait that reaches the moment fails as a time-out. Scopes nest; the inner one wins.
  class DeadlineScope {
   public:
    DeadlineScope(Connection& connection, std::chrono::steady_clock::time_point deadline);
    ~DeadlineScope();
    DeadlineScope(const DeadlineScope&) = delete;
    DeadlineScope& operator=(const DeadlineScope&) = delete;

   private:
    Connection& connection_;
    std::optional<std::chrono::steady_clock::time_point> previous_;
  };

  // Sends everything queued, waiting for room in the socket up to the deadline.
  bool flush();
  // Waits until the compositor has handled every request sent so far, dispatching events.
  bool roundtrip();
  // Dispatches events until done() holds; false when the deadline passes or the connection dies
  // (it is then dropped).
  bool dispatchUntil(const std::function<bool()>& done);
  // Dispatches what has arrived without waiting.
  bool dispatchPending();

  // Reachable, and the compositor offers both the virtual pointer and the virtual keyboard.
  bool trusted();

  // Globals of the current connection (nullptr when absent or not connected).
  wl_seat* seat() const;
  wl_shm* shm() const;
  zwlr_virtual_pointer_manager_v1* virtualPointerManager() const;
  zwp_virtual_keyboard_manager_v1* virtualKeyboardManager() const;
  zwlr_screencopy_manager_v1* screencopyManager() const;
  uint32_t screencopyVersion() const;
  // Whether the seat announced a keyboard (of any client or device) at the last dispatch.
  bool seatHasKeyboard() const;
  bool seatHasPointer() const;

  // The outputs with a name and a logical size, in the order the compositor announced them.
  // Reflects the last dispatch; refreshOutputs() asks the compositor first.
  std::vector<Output> outputs() const;
  std::vector<Output> refreshOutputs();

  std::chrono::milliseconds timeout() const { return options_.timeout; }

  // Runs handler just before a connection is closed, while its proxies can still be destroyed.
  // Returns an id for removeDropHandler().
  int onDrop(std::function<void()> handler);
  void removeDropHandler(int id);

  struct State;

 private:
  bool open();
  bool fail(int error);
  bool alive();
  // 0 once done() holds, else the errno of the failure; the connection is left as it is.
  int waitUntil(const std::function<bool()>& done);
  // When the wait that starts now has to end.
  std::chrono::steady_clock::time_point waitDeadline() const;

  Options options_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  wl_display* display_ = nullptr;
  std::unique_ptr<State> state_;
  uint64_t generation_ = 0;
  int lastError_ = 0;
  std::vector<std::pair<int, std::function<void()>>> dropHandlers_;
  int lastHandlerId_ = 0;
};

}  // namespace halvorine::wayland

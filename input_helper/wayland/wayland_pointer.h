#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/geometry.h"
#include "wayland/wayland_connection.h"

struct zwlr_virtual_pointer_v1;

namespace halvorine::wayland {

// Linux input button codes (linux/input-event-codes.h).
namespace button {
inline constexpr uint32_t left = 0x110;
inline constexpr uint32_t right = 0x111;
inline constexpr uint32_t middle = 0x112;
}  // namespace button

// Where this process last put the pointer, readable from any thread: screen capture reports it
// from a thread of its own while the input side moves the pointer.
class PointerPosition {
 public:
  Point get() const {
    std::lock_guard lock(mutex_);
    return point_;
  }
  void set(Point point) {
    std::lock_guard lock(mutex_);
    point_ = point;
  }

 private:
  mutable std::mutex mutex_;
  Point point_;
};

// A virtual pointer of the helper on the compositor's seat. It is made on first use and kept
// while the connection lives, so that a stream of requests reuses it; a reconnect makes a new one.
// Wayland lets no client read the global pointer, so position() is the place this object last
// moved the pointer to, (0, 0) before the first move.
//
// Every call sends one group of events closed by a frame; finish() waits until the compositor
// has handled all of them. Calls return false when no compositor (or no virtual pointer manager)
// is there; nothing is sent then.
class Pointer {
 public:
  // `position` is where the moves are recorded; a pointer of its own when none is given.
  explicit Pointer(Connection& connection, std::shared_ptr<PointerPosition> position = nullptr);
  ~Pointer();
  Pointer(const Pointer&) = delete;
  Pointer& operator=(const Pointer&) = delete;

  // Absolute motion over the bounding box of all outputs; a target outside it goes to its edge.
  bool moveTo(Point target);
  // Relative motion, as a physical mouse makes it (the compositor keeps the pointer on an output).
  bool moveBy(double dx, double dy);
  // A button press (down) or release by its Linux code.
  bool button(uint32_t code, bool down);
  // Wheel steps, with the sign meaning of the X11 backend: a positive delta scrolls up. One step
  // per 40 units of delta, rounded up; 0 sends nothing.
  bool wheel(int32_t delta);

  Point position() const { return position_->get(); }
  // The compositor has handled every event sent so far (one round trip).
  bool finish();
  // Gives the virtual pointer back to the compositor (a new one is made on next use).
  void release();

  // Steps for a wheel delta: sign as sent on the Wayland axis (positive = down), magnitude in
  // steps of 40 rounded up.
  static int32_t wheelSteps(int32_t delta);

 private:
  zwlr_virtual_pointer_v1* ensure();

  Connection& connection_;
  zwlr_virtual_pointer_v1* pointer_ = nullptr;
  uint64_t generation_ = 0;
  std::shared_ptr<PointerPosition> position_;
  int dropHandler_ = 0;
};

// Milliseconds of the monotonic clock, as input event timestamps carry them.
uint32_t eventTime();

}  // namespace halvorine::wayland

#include "wayland/wayland_pointer.h"

#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "wayland/protocols/wlr-virtual-pointer-unstable-v1-client.h"

namespace halvorine::wayland {

uint32_t eventTime() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

Pointer::Pointer(Connection& connection, std::shared_ptr<PointerPosition> position)
    : connection_(connection),
      position_(position ? std::move(position) : std::make_shared<PointerPosition>()) {
  dropHandler_ = connection_.onDrop([this] { release(); });
}

Pointer::~Pointer() {
  release();
  connection_.removeDropHandler(dropHandler_);
}

void Pointer::release() {
  if (pointer_ != nullptr) zwlr_virtual_pointer_v1_destroy(pointer_);
  pointer_ = nullptr;
}

zwlr_virtual_pointer_v1* Pointer::ensure() {
  if (connection_.get() == nullptr) return nullptr;
  if (pointer_ != nullptr && generation_ == connection_.generation()) return pointer_;
  release();
  zwlr_virtual_pointer_manager_v1* manager = connection_.virtualPointerManager();
  if (manager == nullptr) return nullptr;
  pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, connection_.seat());
  generation_ = connection_.generation();
  return pointer_;
}

namespace {

// A coordinate on an axis of `extent` whole pixels from 0: rounded and kept inside.
uint32_t onAxis(double value, double extent) {
  if (std::isnan(value)) return 0;
  const double last = std::max(extent - 1, 0.0);
  return static_cast<uint32_t>(std::lround(std::clamp(value, 0.0, last)));
}

}  // namespace

bool Pointer::moveTo(Point target) {
  zwlr_virtual_pointer_v1* p = ensure();
  if (p == nullptr) return false;
  const Rect box = layoutBounds(connection_.outputs());
  if (box.isEmpty()) return false;
  const uint32_t x = onAxis(target.x - box.x, box.width);
  const uint32_t y = onAxis(target.y - box.y, box.height);
  zwlr_virtual_pointer_v1_motion_absolute(p, eventTime(), x, y, static_cast<uint32_t>(box.width),
                                          static_cast<uint32_t>(box.height));
  zwlr_virtual_pointer_v1_frame(p);
  position_->set(target);
  return connection_.flush();
}

bool Pointer::moveBy(double dx, double dy) {
  zwlr_virtual_pointer_v1* p = ensure();
  if (p == nullptr) return false;
  if (std::isnan(dx) || std::isnan(dy)) return false;
  // wl_fixed_t holds about ±8 million.
  dx = std::clamp(dx, -8e6, 8e6);
  dy = std::clamp(dy, -8e6, 8e6);
  zwlr_virtual_pointer_v1_motion(p, eventTime(), wl_fixed_from_double(dx),
                                 wl_fixed_from_double(dy));
  zwlr_virtual_pointer_v1_frame(p);
  const Point from = position_->get();
  position_->set(Point{from.x + dx, from.y + dy});
  return connection_.flush();
}

bool Pointer::button(uint32_t code, bool down) {
  zwlr_virtual_pointer_v1* p = ensure();
  if (p == nullptr) return false;
  zwlr_virtual_pointer_v1_button(
      p, eventTime(), code,
      down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  zwlr_virtual_pointer_v1_frame(p);
  return connection_.flush();
}

int32_t Pointer::wheelSteps(int32_t delta) {
  // One wheel click scrolls about 40 pixels; scrolling up is negative on the Wayland axis.
  const int64_t magnitude = delta > 0 ? int64_t{delta} : -int64_t{delta};
  const auto steps = static_cast<int32_t>((magnitude + 39) / 40);
  return delta > 0 ? -steps : steps;
}

bool Pointer::wheel(int32_t delta) {
  const int32_t steps = wheelSteps(delta);
  if (steps == 0) return connection_.get() != nullptr;
  zwlr_virtual_pointer_v1* p = ensure();
  if (p == nullptr) return false;
  // A physical wheel reports 15 degrees of rotation per click.
  zwlr_virtual_pointer_v1_axis_source(p, WL_POINTER_AXIS_SOURCE_WHEEL);
  zwlr_virtual_pointer_v1_axis_discrete(p, eventTime(), WL_POINTER_AXIS_VERTICAL_SCROLL,
                                        wl_fixed_from_int(15 * steps), steps);
  zwlr_virtual_pointer_v1_frame(p);
  return connection_.flush();
}

bool Pointer::finish() {
  return connection_.get() != nullptr && connection_.roundtrip();
}

}  // namespace halvorine::wayland

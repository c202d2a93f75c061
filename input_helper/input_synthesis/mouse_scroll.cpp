#include "input_synthesis/mouse_scroll.h"

#include <algorithm>
#include <cmath>

#include "input_synthesis/coordinate_mapping.h"

namespace halvorine {

namespace {

HelperOutput mouseCreateFailed(const InputCommand& command) {
  return output(false, command.type, false, "mouse_event_create_failed");
}

HelperOutput posted(const InputCommand& command, Point target) {
  return output(true, command.type, true, std::nullopt, true, target.x, target.y);
}

}  // namespace

MouseButton mouseButton(const std::optional<std::string>& button) {
  return button && *button == "right" ? MouseButton::right : MouseButton::left;
}

std::optional<MouseEventType> mouseType(const std::string& type, MouseButton button) {
  const bool right = button == MouseButton::right;
  if (type == "mouse_move") return MouseEventType::mouseMoved;
  if (type == "mouse_down")
    return right ? MouseEventType::rightMouseDown : MouseEventType::leftMouseDown;
  if (type == "mouse_up") return right ? MouseEventType::rightMouseUp : MouseEventType::leftMouseUp;
  return std::nullopt;
}

int32_t scrollDelta(const std::optional<double>& dy) {
  const double value = dy.value_or(0);
  if (std::isnan(value)) return 0;
  // Limiting first keeps infinities and huge values inside the integer range.
  return static_cast<int32_t>(std::round(std::clamp(value, -120.0, 120.0)));
}

HelperOutput postMouse(const InputCommand& command, DesktopServices& desktop) {
  if (command.type == "mouse_delta") {
    const Point target = deltaPointFor(command, desktop);
    auto event = desktop.createMouseEvent(MouseEventType::mouseMoved, target, MouseButton::left);
    if (!event) return mouseCreateFailed(command);
    desktop.post(*event);
    return posted(command, target);
  }

  const Point target = pointFor(command, desktop);
  const MouseButton button = mouseButton(command.button);

  if (command.type == "mouse_click") {
    const bool right = button == MouseButton::right;
    auto down = desktop.createMouseEvent(
        right ? MouseEventType::rightMouseDown : MouseEventType::leftMouseDown, target, button);
    if (!down) return mouseCreateFailed(command);
    auto up = desktop.createMouseEvent(
        right ? MouseEventType::rightMouseUp : MouseEventType::leftMouseUp, target, button);
    // A click posts both halves or nothing: an unposted down is simply released here.
    if (!up) return mouseCreateFailed(command);
    desktop.post(*down);
    desktop.post(*up);
    return posted(command, target);
  }

  const std::optional<MouseEventType> type = mouseType(command.type, button);
  if (!type) return output(false, command.type, false, "unsupported_input_type");
  auto event = desktop.createMouseEvent(*type, target, button);
  if (!event) return mouseCreateFailed(command);
  desktop.post(*event);
  return posted(command, target);
}

HelperOutput postScroll(const InputCommand& command, DesktopServices& desktop) {
  const int32_t delta = scrollDelta(command.dy);
  if (delta != 0) {
    auto event = desktop.createScrollWheelEvent(delta);
    if (!event) return output(false, command.type, false, "scroll_event_create_failed");
    desktop.post(*event);
  }
  return output(true, command.type, true);
}

}  // namespace halvorine

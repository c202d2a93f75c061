#include "input_synthesis/mouse_scroll.h"

#include <algorithm>
#include <cmath>

#include "input_synthesis/coordinate_mapping.h"
#include "input_synthesis/input_answers.h"
#include "wire/wire_names.h"

namespace halvorine {

namespace {

// A pointer answer reports where the pointer went, and only when it went there.
HelperOutput pointerAnswer(const InputCommand& command, Point target, bool posted) {
  if (!posted) return failedAnswer(command.type, wire::reason::mouseEventCreateFailed);
  HelperOutput result = appliedAnswer(command.type);
  result.x = target.x;
  result.y = target.y;
  return result;
}

}  // namespace

MouseButton mouseButton(const std::optional<std::string>& button) {
  return button && *button == wire::value::rightButton ? MouseButton::right : MouseButton::left;
}

int32_t scrollDelta(const std::optional<double>& dy) {
  const double value = dy.value_or(0);
  if (std::isnan(value)) return 0;
  // Limiting first keeps infinities and huge values inside the integer range.
  return static_cast<int32_t>(std::round(std::clamp(value, -120.0, 120.0)));
}

HelperOutput postMouse(const InputCommand& command, Desktop& desktop) {
  // A relative move is a plain move, whatever button the command names.
  if (command.type == wire::type::mouseDelta) {
    const Point target = deltaPointFor(command, desktop);
    return pointerAnswer(command, target, desktop.movePointer(target));
  }
  const Point target = pointFor(command, desktop);
  if (command.type == wire::type::mouseMove) {
    return pointerAnswer(command, target, desktop.movePointer(target));
  }
  const MouseButton button = mouseButton(command.button);
  if (command.type == wire::type::mouseClick) {
    return pointerAnswer(command, target, desktop.click(button, target));
  }
  const bool down = command.type == wire::type::mouseDown;
  return pointerAnswer(command, target, desktop.pressButton(button, target, down));
}

HelperOutput postScroll(const InputCommand& command, Desktop& desktop) {
  const int32_t delta = scrollDelta(command.dy);
  if (delta != 0 && !desktop.turnWheel(delta)) {
    return failedAnswer(command.type, wire::reason::scrollEventCreateFailed);
  }
  return appliedAnswer(command.type);
}

}  // namespace halvorine

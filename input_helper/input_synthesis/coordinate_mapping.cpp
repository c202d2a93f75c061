#include "input_synthesis/coordinate_mapping.h"

#include <algorithm>
#include <cmath>

#include "input_synthesis/post_input.h"
#include "wire/wire_names.h"

namespace halvorine {

double clamped(double value) {
  if (std::isnan(value)) return 0;
  return std::min(1.0, std::max(0.0, value));
}

bool isNormalized(const InputCommand& command) {
  return command.coordinateSpace && *command.coordinateSpace == wire::value::normalized;
}

Rect displayBoundsFor(const InputCommand& command, Desktop& desktop) {
  if (command.displayId) {
    Rect bounds = desktop.displayBounds(*command.displayId);
    if (!bounds.isEmpty()) return bounds;
  }
  return desktop.displayBounds(desktop.mainDisplayId());
}

Point pointFor(const InputCommand& command, Desktop& desktop) {
  // The pointer is read only when it is the answer: on X11 the read is a round trip, and every
  // request already pays one to make sure its events have been processed.
  if (!command.x || !command.y) return currentMouseLocation(desktop);
  if (isNormalized(command)) {
    const Rect bounds = displayBoundsFor(command, desktop);
    return Point{bounds.x + clamped(*command.x) * bounds.width,
                 bounds.y + clamped(*command.y) * bounds.height};
  }
  return Point{*command.x, *command.y};
}

Point deltaPointFor(const InputCommand& command, Desktop& desktop) {
  const Point pointer = currentMouseLocation(desktop);
  return Point{pointer.x + command.dx.value_or(0), pointer.y + command.dy.value_or(0)};
}

}  // namespace halvorine

#pragma once

#include "platform/desktop.h"
#include "platform/geometry.h"
#include "wire/input_command.h"

namespace halvorine {

// Where pointer commands land, in global desktop coordinates. Nothing here fails: gaps in a
// command fall back to the pointer's position or to the main display.

// The value limited to 0..1; NaN gives 0.
double clamped(double value);

// True only for the exact, case-sensitive coordinate space "normalized".
bool isNormalized(const InputCommand& command);

// The display named by displayId when it exists and is not empty, else the main display.
Rect displayBoundsFor(const InputCommand& command, Desktop& desktop);

// The target of an absolute or normalised command; the pointer when x or y is missing (the
// pointer is read only then).
Point pointFor(const InputCommand& command, Desktop& desktop);

// The pointer's position moved by (dx, dy), a missing component counting as 0.
Point deltaPointFor(const InputCommand& command, Desktop& desktop);

}  // namespace halvorine

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/desktop.h"
#include "wire/helper_output.h"
#include "wire/input_command.h"

namespace halvorine {

// Exactly "right" selects the right button; anything else, absent included, the left one.
MouseButton mouseButton(const std::optional<std::string>& button);

// The wheel delta of a scroll command: dy rounded half away from zero and limited to -120..120.
// A missing or non-numeric dy gives 0.
int32_t scrollDelta(const std::optional<double>& dy);

// One of the five mouse request types ("mouse_move", "mouse_down", "mouse_up", "mouse_click",
// "mouse_delta"); the router sends no other type here.
HelperOutput postMouse(const InputCommand& command, Desktop& desktop);
HelperOutput postScroll(const InputCommand& command, Desktop& desktop);

}  // namespace halvorine

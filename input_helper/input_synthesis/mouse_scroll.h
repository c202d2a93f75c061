#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "wire/helper_output.h"
#include "wire/input_command.h"
#include "platform/desktop_services.h"

namespace halvorine {

// Exactly "right" selects the right button; anything else, absent included, the left one.
MouseButton mouseButton(const std::optional<std::string>& button);

// The event type of a single-event mouse command; nullopt for "mouse_click", "mouse_delta" and
// anything that is not a mouse command.
std::optional<MouseEventType> mouseType(const std::string& type, MouseButton button);

// The wheel delta of a scroll command: dy rounded half away from zero and limited to -120..120.
// A missing or non-numeric dy gives 0.
int32_t scrollDelta(const std::optional<double>& dy);

HelperOutput postMouse(const InputCommand& command, DesktopServices& desktop);
HelperOutput postScroll(const InputCommand& command, DesktopServices& desktop);

}  // namespace halvorine

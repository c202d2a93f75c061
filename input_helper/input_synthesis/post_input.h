#pragma once

#include "wire/helper_output.h"
#include "wire/input_command.h"
#include "platform/desktop_services.h"

namespace halvorine {

// The pointer's position, (0, 0) when it cannot be read.
Point currentMouseLocation(DesktopServices& desktop);

// Carries out one input request that has passed the permission gate and answers it.
HelperOutput postInput(const InputCommand& command, DesktopServices& desktop);

}  // namespace halvorine

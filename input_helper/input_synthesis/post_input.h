#pragma once

#include "platform/desktop.h"
#include "wire/helper_output.h"
#include "wire/input_command.h"

namespace halvorine {

// The pointer's position, (0, 0) when it cannot be read.
Point currentMouseLocation(Desktop& desktop);

// Carries out one input request that has passed the permission gate and answers it.
HelperOutput postInput(const InputCommand& command, Desktop& desktop);

}  // namespace halvorine

#pragma once

#include "command_channel/modes.h"
#include "platform/accessibility.h"
#include "platform/desktop.h"
#include "screen_capture/screen_capture.h"

namespace halvorine {

// Turns one decoded request into its answer; never fails.
HelperOutput handle(const InputCommand& command, Accessibility& accessibility, Desktop& desktop,
                    ScreenCapture& capture);

// The helper that the modes run: requests go to handle(), trust and pointer to the platform.
Helper helperOver(Accessibility& accessibility, Desktop& desktop, ScreenCapture& capture);

}  // namespace halvorine

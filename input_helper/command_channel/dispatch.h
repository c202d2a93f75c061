#pragma once

#include "platform/accessibility_services.h"
#include "wire/helper_output.h"
#include "wire/input_command.h"
#include "platform/desktop_services.h"
#include "screen_capture/screen_capture.h"

namespace halvorine {

// The platform services and process-wide state that requests are served with.
struct HelperContext {
  AccessibilityServices& accessibility;
  DesktopServices& desktop;
  ScreenCapture& capture;
};

bool isTrusted(AccessibilityServices& accessibility, bool prompt = false);

// Turns one decoded request into its answer; never fails.
HelperOutput handle(const InputCommand& command, HelperContext& context);

}  // namespace halvorine

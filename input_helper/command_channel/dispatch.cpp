#include "command_channel/dispatch.h"

#include "input_synthesis/post_input.h"

namespace halvorine {

bool isTrusted(AccessibilityServices& accessibility, bool prompt) {
  return prompt ? accessibility.isProcessTrustedWithPrompt() : accessibility.isProcessTrusted();
}

HelperOutput handle(const InputCommand& command, HelperContext& context) {
  // Screen capture has no input permission to ask for.
  if (command.type == "capture_frame") return context.capture.captureFrame(command);
  // Asked anew for every request: the permission can be granted or withdrawn at any time.
  if (!isTrusted(context.accessibility, command.promptForPermission.value_or(false))) {
    return output(false, command.type, false, "accessibility_permission_required", false);
  }
  if (command.type == "probe") return output(true, command.type, false);
  return postInput(command, context.desktop);
}

}  // namespace halvorine

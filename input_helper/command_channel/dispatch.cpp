#include "command_channel/dispatch.h"

#include "input_synthesis/post_input.h"

namespace halvorine {

// Placeholder until the permission gate lands.
bool isTrusted(AccessibilityServices& accessibility, bool prompt) {
  return prompt ? accessibility.isProcessTrustedWithPrompt() : accessibility.isProcessTrusted();
}

HelperOutput handle(const InputCommand& command, HelperContext& context) {
  if (command.type == "capture_frame") return context.capture.captureMacFrame(command);
  return postInput(command, context.desktop);
}

}  // namespace halvorine

#include "command_channel/dispatch.h"

#include "input_synthesis/post_input.h"
#include "wire/wire_names.h"

namespace halvorine {

HelperOutput handle(const InputCommand& command, Accessibility& accessibility, Desktop& desktop,
                    ScreenCapture& capture) {
  // Screen capture has no input permission to ask for.
  if (command.type == wire::type::captureFrame) return capture.captureFrame(command);
  if (!accessibility.isTrusted(command.promptForPermission.value_or(false))) {
    HelperOutput refused;
    refused.type = command.type;
    refused.applied = false;
    refused.reason = std::string(wire::reason::accessibilityPermissionRequired);
    refused.trusted = false;
    return refused;
  }
  // A probe only asks whether input would be accepted.
  if (command.type == wire::type::probe) {
    HelperOutput probed;
    probed.ok = true;
    probed.type = command.type;
    probed.applied = false;
    probed.trusted = true;
    return probed;
  }
  return postInput(command, desktop);
}

Helper helperOver(Accessibility& accessibility, Desktop& desktop, ScreenCapture& capture) {
  return Helper{
      .handle =
          [&](const InputCommand& command) {
            return handle(command, accessibility, desktop, capture);
          },
      .isTrusted = [&](bool prompt) { return accessibility.isTrusted(prompt); },
      .pointerLocation = [&] { return currentMouseLocation(desktop); },
  };
}

}  // namespace halvorine

#include "command_channel/modes.h"
#include "input_synthesis/post_input.h"

// Kept apart from the modes so that they build (for fuzzing) without the platform code.
namespace halvorine {

HelperOutput ContextChannelServices::handle(const InputCommand& command) {
  return halvorine::handle(command, context_);
}

bool ContextChannelServices::isTrusted(bool prompt) {
  return halvorine::isTrusted(context_.accessibility, prompt);
}

Point ContextChannelServices::currentMouseLocation() {
  return halvorine::currentMouseLocation(context_.desktop);
}

}  // namespace halvorine

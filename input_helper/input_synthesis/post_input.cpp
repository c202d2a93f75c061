#include "input_synthesis/post_input.h"

#include "input_synthesis/input_answers.h"
#include "input_synthesis/key_text.h"
#include "input_synthesis/mouse_scroll.h"
#include "wire/wire_names.h"

namespace halvorine {

Point currentMouseLocation(Desktop& desktop) {
  return desktop.pointerLocation().value_or(Point{});
}

namespace {

HelperOutput route(const InputCommand& command, Desktop& desktop) {
  namespace type = wire::type;
  const std::string& t = command.type;
  if (t == type::mouseMove || t == type::mouseDown || t == type::mouseUp || t == type::mouseClick ||
      t == type::mouseDelta) {
    return postMouse(command, desktop);
  }
  if (t == type::scroll) return postScroll(command, desktop);
  if (t == type::keyTap) return postKeyTap(command, desktop);
  if (t == type::textInput) return postTextInput(command, desktop);
  return failedAnswer(command.type, wire::reason::unsupportedInputType);
}

}  // namespace

HelperOutput postInput(const InputCommand& command, Desktop& desktop) {
  HelperOutput result = route(command, desktop);
  // Whatever the outcome: the actions must have reached the desktop before the answer goes out,
  // and nothing the request held for itself may outlive it.
  desktop.finishRequest();
  return result;
}

}  // namespace halvorine

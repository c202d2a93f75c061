#include "input_synthesis/post_input.h"

#include "input_synthesis/key_text.h"
#include "input_synthesis/mouse_scroll.h"

namespace halvorine {

Point currentMouseLocation(DesktopServices& desktop) {
  return desktop.pointerLocation().value_or(Point{});
}

namespace {

HelperOutput route(const InputCommand& command, DesktopServices& desktop) {
  const std::string& type = command.type;
  if (type == "mouse_move" || type == "mouse_down" || type == "mouse_up" || type == "mouse_click" ||
      type == "mouse_delta") {
    return postMouse(command, desktop);
  }
  if (type == "scroll") return postScroll(command, desktop);
  if (type == "key_tap") return postKeyTap(command, desktop);
  if (type == "text_input") return postTextInput(command, desktop);
  return output(false, command.type, false, "unsupported_input_type");
}

}  // namespace

HelperOutput postInput(const InputCommand& command, DesktopServices& desktop) {
  HelperOutput result = route(command, desktop);
  // Whatever the outcome: the events must have reached the desktop before the answer goes out,
  // and nothing the request held for itself may outlive it.
  desktop.finishRequest();
  return result;
}

}  // namespace halvorine

#include "input_synthesis/post_input.h"

namespace halvorine {

// Placeholders until input synthesis lands.
Point currentMouseLocation(DesktopServices& desktop) {
  return desktop.pointerLocation().value_or(Point{});
}

HelperOutput postInput(const InputCommand& command, DesktopServices&) {
  return output(false, command.type, false, "unsupported_input_type");
}

}  // namespace halvorine

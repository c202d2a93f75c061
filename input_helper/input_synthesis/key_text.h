#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop.h"
#include "wire/helper_output.h"
#include "wire/input_command.h"

namespace halvorine {

// Pacing of keyboard input, so that slow clients keep up with every event.
inline constexpr std::chrono::milliseconds keyDownPause{10};
inline constexpr std::chrono::milliseconds textEventPause{10};
inline constexpr std::chrono::milliseconds textCharacterPause{20};

// The text split into user-perceived characters (extended grapheme clusters), each as UTF-8. A
// byte that is not part of valid UTF-8 counts as one U+FFFD.
std::vector<std::string> graphemeClusters(std::string_view utf8);

HelperOutput postKeyTap(const InputCommand& command, Desktop& desktop);
HelperOutput postTextInput(const InputCommand& command, Desktop& desktop);
// Types the text character by character; the answer carries the request's type and the number of
// characters, also when typing stops part of the way.
HelperOutput postUnicodeText(std::string_view text, const std::string& type, Desktop& desktop);

}  // namespace halvorine

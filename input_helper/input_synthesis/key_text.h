#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wire/helper_output.h"
#include "wire/input_command.h"
#include "platform/desktop_services.h"

namespace halvorine {

// Pacing of keyboard input, so that slow clients keep up with every event.
inline constexpr std::chrono::milliseconds keyDownPause{10};
inline constexpr std::chrono::milliseconds textEventPause{10};
inline constexpr std::chrono::milliseconds textCharacterPause{20};

// The text split into user-perceived characters (extended grapheme clusters), each as UTF-16 code
// units. A byte that is not part of valid UTF-8 counts as one U+FFFD.
std::vector<std::u16string> characterUnits(std::string_view utf8);

HelperOutput postKeyTap(const InputCommand& command, DesktopServices& desktop);
HelperOutput postTextInput(const InputCommand& command, DesktopServices& desktop);
HelperOutput postUnicodeText(std::string_view text, const std::string& type,
                             const std::optional<std::string>& key, DesktopServices& desktop);

}  // namespace halvorine

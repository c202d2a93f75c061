#include "input_synthesis/key_text.h"

#include <utf8proc.h>

#include "input_synthesis/input_answers.h"
#include "input_synthesis/key_names.h"
#include "wire/wire_names.h"

namespace halvorine {

std::vector<std::string> graphemeClusters(std::string_view utf8) {
  std::vector<std::string> characters;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(utf8.data());
  const auto size = static_cast<utf8proc_ssize_t>(utf8.size());
  utf8proc_ssize_t offset = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  while (offset < size) {
    utf8proc_int32_t cp = 0;
    utf8proc_ssize_t used = utf8proc_iterate(bytes + offset, size - offset, &cp);
    const bool invalid = used <= 0;
    if (invalid) {
      cp = 0xFFFD;
      used = 1;
    }
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, cp, &state)) {
      characters.emplace_back();
    }
    if (invalid) {
      characters.back().append("\xEF\xBF\xBD");
    } else {
      characters.back().append(utf8.substr(static_cast<size_t>(offset), static_cast<size_t>(used)));
    }
    offset += used;
    previous = cp;
  }
  return characters;
}

HelperOutput postKeyTap(const InputCommand& command, Desktop& desktop) {
  const std::optional<uint16_t> code = keyCodeFor(command.key);
  const auto answer = [&](bool ok, std::string_view reason) {
    HelperOutput result = ok ? appliedAnswer(command.type) : failedAnswer(command.type, reason);
    result.key = command.key;
    return result;
  };
  if (!code) return answer(false, wire::reason::unsupportedKey);
  const uint64_t mask = eventFlagsFor(command.modifiers);
  for (const bool down : {true, false}) {
    if (!desktop.pressKey(*code, mask, down)) {
      return answer(false, wire::reason::keyboardEventCreateFailed);
    }
    if (down) desktop.pause(keyDownPause);
  }
  return answer(true, {});
}

HelperOutput postTextInput(const InputCommand& command, Desktop& desktop) {
  if (!command.text || command.text->empty()) {
    return failedAnswer(command.type, wire::reason::missingText);
  }
  return postUnicodeText(*command.text, command.type, desktop);
}

HelperOutput postUnicodeText(std::string_view text, const std::string& type, Desktop& desktop) {
  const std::vector<std::string> characters = graphemeClusters(text);
  const auto answer = [&](bool ok) {
    HelperOutput result =
        ok ? appliedAnswer(type) : failedAnswer(type, wire::reason::keyboardEventCreateFailed);
    result.textLength = static_cast<int64_t>(characters.size());
    return result;
  };
  for (const std::string& character : characters) {
    for (const bool down : {true, false}) {
      if (!desktop.typeCharacter(character, down)) return answer(false);
      desktop.pause(textEventPause);
    }
    desktop.pause(textCharacterPause);
  }
  return answer(true);
}

}  // namespace halvorine

#include "input_synthesis/key_text.h"

#include <utf8proc.h>

#include "input_synthesis/key_names.h"

namespace halvorine {

namespace {

void appendUtf16(std::u16string& units, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    units.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    units.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    units.push_back(static_cast<char16_t>(cp));
  }
}

}  // namespace

std::vector<std::u16string> characterUnits(std::string_view utf8) {
  std::vector<std::u16string> characters;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(utf8.data());
  const auto size = static_cast<utf8proc_ssize_t>(utf8.size());
  utf8proc_ssize_t offset = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  while (offset < size) {
    utf8proc_int32_t cp = 0;
    utf8proc_ssize_t used = utf8proc_iterate(bytes + offset, size - offset, &cp);
    if (used <= 0) {
      cp = 0xFFFD;
      used = 1;
    }
    offset += used;
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, cp, &state)) {
      characters.emplace_back();
    }
    appendUtf16(characters.back(), static_cast<char32_t>(cp));
    previous = cp;
  }
  return characters;
}

HelperOutput postKeyTap(const InputCommand& command, DesktopServices& desktop) {
  const std::optional<uint16_t> code = keyCodeFor(command.key);
  if (!code) {
    return output(false, command.type, false, "unsupported_key", true, std::nullopt, std::nullopt,
                  command.key);
  }
  const uint64_t mask = eventFlagsFor(command.modifiers);
  std::unique_ptr<EventSource> source = desktop.createKeyboardEventSource();
  for (const bool keyDown : {true, false}) {
    std::unique_ptr<DesktopEvent> event = desktop.createKeyboardEvent(source.get(), *code, keyDown);
    if (!event) {
      return output(false, command.type, false, "keyboard_event_create_failed", true, std::nullopt,
                    std::nullopt, command.key);
    }
    desktop.setFlags(*event, mask);
    desktop.post(*event);
    if (keyDown) desktop.pause(keyDownPause);
  }
  return output(true, command.type, true, std::nullopt, true, std::nullopt, std::nullopt,
                command.key);
}

HelperOutput postTextInput(const InputCommand& command, DesktopServices& desktop) {
  if (!command.text || command.text->empty()) {
    return output(false, command.type, false, "missing_text");
  }
  return postUnicodeText(*command.text, command.type, std::nullopt, desktop);
}

HelperOutput postUnicodeText(std::string_view text, const std::string& type,
                             const std::optional<std::string>& key, DesktopServices& desktop) {
  const std::vector<std::u16string> characters = characterUnits(text);
  const auto length = static_cast<int64_t>(characters.size());
  std::unique_ptr<EventSource> source = desktop.createKeyboardEventSource();
  for (const std::u16string& units : characters) {
    for (const bool keyDown : {true, false}) {
      std::unique_ptr<DesktopEvent> event = desktop.createKeyboardEvent(source.get(), 0, keyDown);
      if (!event) {
        return output(false, type, false, "keyboard_event_create_failed", true, std::nullopt,
                      std::nullopt, key, length);
      }
      desktop.setUnicodeString(*event, units);
      desktop.post(*event);
      desktop.pause(textEventPause);
    }
    desktop.pause(textCharacterPause);
  }
  return output(true, type, true, std::nullopt, true, std::nullopt, std::nullopt, key, length);
}

}  // namespace halvorine

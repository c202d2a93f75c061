#include "input_synthesis/key_names.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include <utf8proc.h>

#include "platform/desktop.h"

namespace halvorine {

namespace {

constexpr std::pair<std::string_view, uint16_t> keyTable[] = {
    {"a", 0},
    {"b", 11},
    {"c", 8},
    {"d", 2},
    {"e", 14},
    {"f", 3},
    {"g", 5},
    {"h", 4},
    {"i", 34},
    {"j", 38},
    {"k", 40},
    {"l", 37},
    {"m", 46},
    {"n", 45},
    {"o", 31},
    {"p", 35},
    {"q", 12},
    {"r", 15},
    {"s", 1},
    {"t", 17},
    {"u", 32},
    {"v", 9},
    {"w", 13},
    {"x", 7},
    {"y", 16},
    {"z", 6},

    {"0", 29},
    {"1", 18},
    {"2", 19},
    {"3", 20},
    {"4", 21},
    {"5", 23},
    {"6", 22},
    {"7", 26},
    {"8", 28},
    {"9", 25},

    {"=", 24},
    {"-", 27},
    {"]", 30},
    {"[", 33},
    {"'", 39},
    {";", 41},
    {"\\", 42},
    {",", 43},
    {"/", 44},
    {".", 47},
    {"`", 50},

    {"return", keycode::returnKey},
    {"enter", keycode::returnKey},
    {"tab", keycode::tab},
    {"space", keycode::space},
    {"delete", keycode::backspace},
    {"backspace", keycode::backspace},
    {"escape", keycode::escape},
    {"esc", keycode::escape},
    {"home", keycode::home},
    {"pageup", keycode::pageUp},
    {"forwarddelete", keycode::forwardDelete},
    {"end", keycode::end},
    {"pagedown", keycode::pageDown},
    {"left", keycode::left},
    {"right", keycode::right},
    {"down", keycode::down},
    {"up", keycode::up},
};

// Full Unicode lowercasing, code point by code point, so that any letter case of a name matches
// (the Kelvin sign lowercases to "k" as well). Bytes that are not UTF-8 are kept as they are and
// then match nothing.
std::string lowercased(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t offset = 0;
  const auto size = static_cast<utf8proc_ssize_t>(text.size());
  while (offset < size) {
    utf8proc_int32_t cp = 0;
    const utf8proc_ssize_t used = utf8proc_iterate(bytes + offset, size - offset, &cp);
    if (used <= 0) {
      result.push_back(text[static_cast<size_t>(offset)]);
      ++offset;
      continue;
    }
    utf8proc_uint8_t encoded[4];
    const utf8proc_ssize_t n = utf8proc_encode_char(utf8proc_tolower(cp), encoded);
    result.append(reinterpret_cast<const char*>(encoded), static_cast<size_t>(n));
    offset += used;
  }
  return result;
}

}  // namespace

std::optional<uint16_t> keyCodeFor(const std::optional<std::string>& key) {
  if (!key) return std::nullopt;
  const std::string name = lowercased(*key);
  for (const auto& [entry, code] : keyTable) {
    if (entry == name) return code;
  }
  return std::nullopt;
}

uint64_t eventFlagsFor(const std::optional<std::vector<std::string>>& modifiers) {
  uint64_t mask = 0;
  if (!modifiers) return mask;
  for (const std::string& raw : *modifiers) {
    const std::string name = lowercased(raw);
    if (name == "primary" || name == "command" || name == "cmd" || name == "meta") {
      mask |= maskCommand;
    } else if (name == "shift") {
      mask |= maskShift;
    } else if (name == "option" || name == "alt") {
      mask |= maskAlternate;
    } else if (name == "control" || name == "ctrl") {
      mask |= maskControl;
    }
  }
  return mask;
}

}  // namespace halvorine

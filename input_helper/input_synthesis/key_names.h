#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halvorine {

// Virtual key codes of the named keys (the numbering the host uses, independent of any layout).
namespace keycode {
inline constexpr uint16_t returnKey = 36;
inline constexpr uint16_t tab = 48;
inline constexpr uint16_t space = 49;
inline constexpr uint16_t backspace = 51;
inline constexpr uint16_t escape = 53;
inline constexpr uint16_t home = 115;
inline constexpr uint16_t pageUp = 116;
inline constexpr uint16_t forwardDelete = 117;
inline constexpr uint16_t end = 119;
inline constexpr uint16_t pageDown = 121;
inline constexpr uint16_t left = 123;
inline constexpr uint16_t right = 124;
inline constexpr uint16_t down = 125;
inline constexpr uint16_t up = 126;
}  // namespace keycode

// The virtual key code of a key name in any letter case; nullopt for an absent or unknown name.
// Nothing is trimmed.
std::optional<uint16_t> keyCodeFor(const std::optional<std::string>& key);

// The union of the modifier flags named in the list (any letter case); unknown names are skipped.
uint64_t eventFlagsFor(const std::optional<std::vector<std::string>>& modifiers);

}  // namespace halvorine

#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "x_event_recorder.h"

namespace halvorine::testing {

// Every name of the helper's key table with the keysym of the key it names; X11 and xkbcommon
// number keysyms alike. The codes behind the names are not in key order, so a slip in a
// backend's table shows against this list.
struct KeyNameCase {
  const char* name;
  uint32_t keysym;
};
inline constexpr KeyNameCase keyTableKeysyms[] = {
    {"a", 'a'},
    {"b", 'b'},
    {"c", 'c'},
    {"d", 'd'},
    {"e", 'e'},
    {"f", 'f'},
    {"g", 'g'},
    {"h", 'h'},
    {"i", 'i'},
    {"j", 'j'},
    {"k", 'k'},
    {"l", 'l'},
    {"m", 'm'},
    {"n", 'n'},
    {"o", 'o'},
    {"p", 'p'},
    {"q", 'q'},
    {"r", 'r'},
    {"s", 's'},
    {"t", 't'},
    {"u", 'u'},
    {"v", 'v'},
    {"w", 'w'},
    {"x", 'x'},
    {"y", 'y'},
    {"z", 'z'},
    {"0", '0'},
    {"1", '1'},
    {"2", '2'},
    {"3", '3'},
    {"4", '4'},
    {"5", '5'},
    {"6", '6'},
    {"7", '7'},
    {"8", '8'},
    {"9", '9'},
    {"=", '='},
    {"-", '-'},
    {"]", ']'},
    {"[", '['},
    {"'", '\''},
    {";", ';'},
    {"\\", '\\'},
    {",", ','},
    {"/", '/'},
    {".", '.'},
    {"`", '`'},
    {"return", 0xff0d},
    {"enter", 0xff0d},
    {"tab", 0xff09},
    {"space", ' '},
    {"delete", 0xff08},
    {"backspace", 0xff08},
    {"escape", 0xff1b},
    {"esc", 0xff1b},
    {"home", 0xff50},
    {"pageup", 0xff55},
    {"forwarddelete", 0xffff},
    {"end", 0xff57},
    {"pagedown", 0xff56},
    {"left", 0xff51},
    {"right", 0xff53},
    {"down", 0xff54},
    {"up", 0xff52},
};

// Key events as the key tap cases expect them: "+Key state" for a press (the modifier state
// before it), "-Key" for a release, naming each key by its unshifted keysym.
inline std::vector<std::string> keys(const std::vector<RecordedEvent>& events) {
  std::vector<std::string> result;
  for (const RecordedEvent& e : events) {
    if (e.type != XCB_KEY_PRESS && e.type != XCB_KEY_RELEASE) continue;
    // Appended piece by piece: "+" + std::string makes g++ 12 at -O3 report a false -Wrestrict.
    std::string line(1, e.type == XCB_KEY_PRESS ? '+' : '-');
    line += XEventRecorder::keysymName(e.baseKeysym);
    if (e.type == XCB_KEY_PRESS) {
      line += ' ';
      line += std::to_string(e.state & 0xff);
    }
    result.push_back(std::move(line));
  }
  return result;
}

// Key taps with their modifiers, and what a client window receives for each: "+Name state" for a
// press with the modifier state before it, "-Name" for a release, in order.
struct KeyTapCase {
  nlohmann::json request;
  std::vector<std::string> keys;
};
inline std::vector<KeyTapCase> keyTapCases() {
  const auto state = [](uint32_t mask) { return std::to_string(mask); };
  const uint32_t shift = XCB_MOD_MASK_SHIFT, control = XCB_MOD_MASK_CONTROL, alt = XCB_MOD_MASK_1,
                 super = XCB_MOD_MASK_4;
  return {
      {{{"type", "key_tap"}, {"key", "Return"}, {"modifiers", {"cmd"}}},
       {"+Super_L 0", "+Return " + state(super), "-Return", "-Super_L"}},
      {{{"type", "key_tap"}, {"key", "a"}, {"modifiers", {"SHIFT"}}},
       {"+Shift_L 0", "+a " + state(shift), "-a", "-Shift_L"}},
      {{{"type", "key_tap"}, {"key", "left"}, {"modifiers", {"meta", "alt", "ctrl", "shift", "x"}}},
       {"+Shift_L 0", "+Control_L " + state(shift), "+Alt_L " + state(shift | control),
        "+Super_L " + state(shift | control | alt), "+Left " + state(shift | control | alt | super),
        "-Left", "-Super_L", "-Alt_L", "-Control_L", "-Shift_L"}},
      {{{"type", "key_tap"}, {"key", "pageup"}}, {"+Prior 0", "-Prior"}},
      {{{"type", "key_tap"}, {"key", "pagedown"}}, {"+Next 0", "-Next"}},
      {{{"type", "key_tap"}, {"key", "forwarddelete"}}, {"+Delete 0", "-Delete"}},
      {{{"type", "key_tap"}, {"key", "delete"}, {"modifiers", {"option"}}},
       {"+Alt_L 0", "+BackSpace " + state(alt), "-BackSpace", "-Alt_L"}},
      {{{"type", "key_tap"}, {"key", "esc"}, {"modifiers", {"control"}}},
       {"+Control_L 0", "+Escape " + state(control), "-Escape", "-Control_L"}},
      {{{"type", "key_tap"}, {"key", "6"}}, {"+6 0", "-6"}},
      {{{"type", "key_tap"}, {"key", "`"}}, {"+` 0", "-`"}},
  };
}

}  // namespace halvorine::testing

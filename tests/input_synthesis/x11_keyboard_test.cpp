#include <gtest/gtest.h>

#include "input_synthesis/key_names.h"
#include "x11/x11_keyboard.h"

namespace halvorine::x11 {
namespace {

// Every key name reaches the keysym of the key it names (the numbering of virtual key codes is
// not in key order, so a slip in either table shows here).
TEST(X11Keyboard, EveryKeyNameHasItsKeysym) {
  const struct {
    const char* name;
    xcb_keysym_t sym;
  } cases[] = {
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
      {"return", keysym::returnKey},
      {"tab", keysym::tab},
      {"space", ' '},
      {"delete", keysym::backSpace},
      {"escape", keysym::escape},
      {"home", keysym::home},
      {"pageup", keysym::prior},
      {"forwarddelete", keysym::deleteKey},
      {"end", keysym::end},
      {"pagedown", keysym::next},
      {"left", keysym::left},
      {"right", keysym::right},
      {"down", keysym::down},
      {"up", keysym::up},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<uint16_t> code = keyCodeFor(std::string(c.name));
    ASSERT_TRUE(code);
    EXPECT_EQ(keysymForVirtualKey(*code), c.sym);
  }
  EXPECT_EQ(keysymForVirtualKey(10), std::nullopt);
  EXPECT_EQ(keysymForVirtualKey(52), std::nullopt);
}

TEST(X11Keyboard, CodePointKeysyms) {
  const struct {
    char32_t cp;
    xcb_keysym_t sym;
  } cases[] = {
      {U'a', 'a'},
      {U'A', 'A'},
      {U' ', ' '},
      {U'~', '~'},
      {0xA0, 0xA0},
      {0xE9, 0xE9},
      {0xFF, 0xFF},
      {0x100, 0x1000100},
      {0x20AC, 0x10020AC},
      {0x4E2D, 0x1004E2D},
      {0x1F600, 0x101F600},
      {0x301, 0x1000301},
      {U'\n', keysym::returnKey},
      {U'\r', keysym::returnKey},
      {U'\t', keysym::tab},
      {0x85, 0x1000085},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(keysymForCodePoint(c.cp), c.sym) << std::hex << static_cast<uint32_t>(c.cp);
  }
}

}  // namespace
}  // namespace halvorine::x11

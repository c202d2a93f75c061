#include <gtest/gtest.h>

#include "fake_desktop.h"
#include "input_synthesis/key_names.h"
#include "input_synthesis/key_text.h"
#include "input_synthesis/post_input.h"

namespace halvorine {
namespace {

using testing::FakeDesktop;

TEST(KeyNames, LookupInAnyLetterCase) {
  const struct {
    std::optional<std::string> name;
    std::optional<uint16_t> code;
  } cases[] = {
      {"a", 0},
      {"A", 0},
      {"z", 6},
      {"0", 29},
      {"6", 22},
      {"5", 23},
      {"return", 36},
      {"Return", 36},
      {"ENTER", 36},
      {"ESC", 53},
      {"escape", 53},
      {"tab", 48},
      {"space", 49},
      {"delete", 51},
      {"Backspace", 51},
      {"forwardDelete", 117},
      {"PageUp", 116},
      {"pagedown", 121},
      {"home", 115},
      {"end", 119},
      {"left", 123},
      {"right", 124},
      {"down", 125},
      {"up", 126},
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
      // The Kelvin sign is an upper-case k.
      {"\u212A", 40},
      {std::nullopt, std::nullopt},
      {"", std::nullopt},
      {"F1", std::nullopt},
      {"capslock", std::nullopt},
      {"shift", std::nullopt},
      {" a", std::nullopt},
      {"a ", std::nullopt},
      {"kp_1", std::nullopt},
      {"\xff", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name.value_or("(absent)"));
    EXPECT_EQ(keyCodeFor(c.name), c.code);
  }
}

TEST(KeyNames, ModifierMaskIsUnionOfKnownNames) {
  using List = std::vector<std::string>;
  const struct {
    std::optional<List> names;
    uint64_t mask;
  } cases[] = {
      {std::nullopt, 0},
      {List{}, 0},
      {List{"SHIFT", "Cmd"}, maskShift | maskCommand},
      {List{"SHIFT", "Cmd", "hyper"}, maskShift | maskCommand},
      {List{"shift", "shift"}, maskShift},
      {List{"primary"}, maskCommand},
      {List{"meta", "command"}, maskCommand},
      {List{"alt", "Option"}, maskAlternate},
      {List{"ctrl", "control"}, maskControl},
      {List{"fn", " shift"}, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(eventFlagsFor(c.names), c.mask);
  }
}

InputCommand keyTap(std::optional<std::string> key, std::optional<std::vector<std::string>> mods) {
  InputCommand cmd;
  cmd.type = "key_tap";
  cmd.key = std::move(key);
  cmd.modifiers = std::move(mods);
  return cmd;
}

TEST(KeyTap, PostsDownAndUpWithTheSameFlags) {
  FakeDesktop desktop;
  const HelperOutput result = postInput(keyTap("Return", std::vector<std::string>{"cmd"}), desktop);
  EXPECT_EQ(result, output(true, "key_tap", true, std::nullopt, true, std::nullopt, std::nullopt,
                           "Return"));
  EXPECT_EQ(desktop.log, (std::vector<std::string>{"post key 36 down flags 100000", "pause 10",
                                                   "post key 36 up flags 100000", "finish"}));
}

TEST(KeyTap, Failures) {
  const struct {
    std::optional<std::string> key;
    std::vector<int> failing;
    const char* reason;
    std::vector<std::string> posts;
  } cases[] = {
      {std::nullopt, {}, "unsupported_key", {}},
      {"F1", {}, "unsupported_key", {}},
      {"a", {1}, "keyboard_event_create_failed", {}},
      // The key-down went out; releasing it is left to the end of the request.
      {"a", {2}, "keyboard_event_create_failed", {"post key 0 down"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key.value_or("(absent)"));
    FakeDesktop desktop;
    desktop.failingActions = c.failing;
    const HelperOutput result = postInput(keyTap(c.key, std::nullopt), desktop);
    EXPECT_EQ(result,
              output(false, "key_tap", false, c.reason, true, std::nullopt, std::nullopt, c.key));
    EXPECT_EQ(desktop.posts(), c.posts);
    EXPECT_EQ(desktop.finishCount, 1);
  }
}

InputCommand textInput(std::optional<std::string> text) {
  InputCommand cmd;
  cmd.type = "text_input";
  cmd.text = std::move(text);
  cmd.key = "ignored";
  cmd.modifiers = std::vector<std::string>{"shift"};
  return cmd;
}

TEST(TextInput, MissingText) {
  for (const auto& text : {std::optional<std::string>{}, std::optional<std::string>{""}}) {
    FakeDesktop desktop;
    EXPECT_EQ(postInput(textInput(text), desktop),
              output(false, "text_input", false, "missing_text"));
    EXPECT_TRUE(desktop.posts().empty());
  }
}

TEST(TextInput, EachCharacterTravelsWholeOnOneDownAndOneUp) {
  const struct {
    const char* name;
    std::string text;
    std::vector<std::string> characters;
  } cases[] = {
      {"precomposed", "h\u00e9llo", {"h", "\u00e9", "l", "l", "o"}},
      {"combining accent", "e\u0301", {"e\u0301"}},
      {"outside the BMP", "\U0001F600", {"\U0001F600"}},
      {"flag", "\U0001F1F3\U0001F1F4!", {"\U0001F1F3\U0001F1F4", "!"}},
      {"family",
       "\U0001F468\u200D\U0001F469\u200D\U0001F467",
       {"\U0001F468\u200D\U0001F469\u200D\U0001F467"}},
      {"CJK and CR LF", "\u4E2D\r\n", {"\u4E2D", "\r\n"}},
      {"invalid byte", "a\xff", {"a", "\uFFFD"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDesktop desktop;
    const HelperOutput result = postInput(textInput(c.text), desktop);
    const auto n = static_cast<int64_t>(c.characters.size());
    EXPECT_EQ(result, output(true, "text_input", true, std::nullopt, true, std::nullopt,
                             std::nullopt, std::nullopt, n));
    std::vector<std::string> expectedCharacters;
    for (const std::string& ch : c.characters) {
      expectedCharacters.push_back(ch);
      expectedCharacters.push_back(ch);
    }
    EXPECT_EQ(desktop.postedCharacters, expectedCharacters);
    EXPECT_EQ(desktop.count("post text down"), n);
    EXPECT_EQ(desktop.count("post text up"), n);
    // Two 10 ms pauses after the events and 20 ms after each character; no flags on text.
    EXPECT_EQ(desktop.count("pause 10"), 2 * n);
    EXPECT_EQ(desktop.count("pause 20"), n);
    for (const std::string& line : desktop.posts())
      EXPECT_EQ(line.find("flags"), std::string::npos);
  }
}

TEST(TextInput, PacingOfOneCharacter) {
  FakeDesktop desktop;
  postInput(textInput("x"), desktop);
  EXPECT_EQ(desktop.log, (std::vector<std::string>{"post text down", "pause 10", "post text up",
                                                   "pause 10", "pause 20", "finish"}));
}

TEST(TextInput, FailureMidwayReportsLengthOfWholeText) {
  FakeDesktop desktop;
  desktop.failingActions = {4};  // the second character's key-up
  const HelperOutput result = postInput(textInput("abc"), desktop);
  EXPECT_EQ(result, output(false, "text_input", false, "keyboard_event_create_failed", true,
                           std::nullopt, std::nullopt, std::nullopt, 3));
  EXPECT_EQ(desktop.posts(),
            (std::vector<std::string>{"post text down", "post text up", "post text down"}));
  EXPECT_EQ(desktop.finishCount, 1);
}

}  // namespace
}  // namespace halvorine

#pragma once

// Input request tables that the end-to-end tests of every backend share.
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace halvorine::testing {

// A text, the textLength of its answer and what a window receives.
struct TextInputCase {
  std::string text;
  int length;
  std::string received;
};

inline std::vector<TextInputCase> textInputCases() {
  return {
      {"Caf\u00e9 e\u0301 \U0001F600\u4E2D!", 10, "Caf\u00e9 e\u0301 \U0001F600\u4E2D!"},
      {"A~ \"Q\"\t{}|?", 11, "A~ \"Q\"\t{}|?"},
      {"line\r\nnext\rlast\n", 15, "line\nnext\nlast\n"},
      // More distinct unmapped characters than an X keymap has free keycodes.
      {"\u4E00\u4E01\u4E02\u4E03\u4E04\u4E05\u4E06\u4E07\u4E08\u4E09\u4E0A\u4E0B\u4E0C\u4E0D"
       "\u4E0E\u4E0F\u4E10\u4E11\u4E12\u4E13\u4E14\u4E15\u4E16\u4E17\u4E18\u4E00\u4E01",
       27,
       "\u4E00\u4E01\u4E02\u4E03\u4E04\u4E05\u4E06\u4E07\u4E08\u4E09\u4E0A\u4E0B\u4E0C\u4E0D"
       "\u4E0E\u4E0F\u4E10\u4E11\u4E12\u4E13\u4E14\u4E15\u4E16\u4E17\u4E18\u4E00\u4E01"},
  };
}

// A scroll request's dy and the wheel clicks an X window sees: button 4 up, 5 down.
struct WheelCase {
  nlohmann::json dy;
  int button;
  int clicks;
};

inline std::vector<WheelCase> wheelCases() {
  return {
      {0.4, 0, 0},  {nullptr, 0, 0}, {1, 4, 1},   {40, 4, 1},     {41, 4, 2},
      {-7.5, 5, 1}, {-80, 5, 2},     {500, 4, 3}, {-1e300, 5, 3},
  };
}

}  // namespace halvorine::testing

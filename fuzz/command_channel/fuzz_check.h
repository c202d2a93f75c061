#pragma once

// Checks shared by the fuzz targets: an answer line is exactly one line of JSON, an object whose
// keys are in strictly ascending order. Any violation aborts, which libFuzzer reports.
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

namespace halvorine::fuzz {

[[noreturn]] inline void fail(const char* what, std::string_view line) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(std::min<size_t>(line.size(), 2000)),
               line.data());
  std::abort();
}

// Returns the parsed object so callers can compare values.
inline nlohmann::ordered_json checkAnswerLine(std::string_view line) {
  if (line.empty() || line.back() != '\n') fail("no line feed at the end", line);
  if (line.find('\n') != line.size() - 1) fail("line feed inside the line", line);
  auto parsed = nlohmann::ordered_json::parse(line.begin(), line.end() - 1, nullptr, false);
  if (!parsed.is_object()) fail("not a JSON object", line);
  if (!parsed.contains("ok") || !parsed["ok"].is_boolean()) fail("no boolean ok", line);
  const std::string* previous = nullptr;
  for (auto it = parsed.begin(); it != parsed.end(); ++it) {
    if (it.value().is_null()) fail("null member", line);
    if (previous != nullptr && !(*previous < it.key())) fail("keys not in ascending order", line);
    previous = &it.key();
  }
  return parsed;
}

}  // namespace halvorine::fuzz

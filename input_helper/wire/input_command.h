#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvorine {

// One request to the input helper. Built only by decodeInputCommand and never changed afterwards.
struct InputCommand {
  std::string type;
  std::optional<double> x;
  std::optional<double> y;
  std::optional<double> dx;
  std::optional<double> dy;
  std::optional<std::string> coordinateSpace;
  std::optional<uint32_t> displayId;
  std::optional<std::string> button;
  std::optional<std::string> key;
  std::optional<std::string> text;
  std::optional<std::vector<std::string>> modifiers;
  std::optional<bool> promptForPermission;
  std::optional<int64_t> maxWidth;
  std::optional<int64_t> jpegQuality;
  std::optional<std::string> scaleMode;
  std::optional<bool> suppressUnchanged;
};

// Decodes one JSON document. Any rule broken gives nullopt: there is no partial command.
std::optional<InputCommand> decodeInputCommand(std::string_view document);

}  // namespace halvorine

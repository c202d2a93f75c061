#include "command_channel/input_command.h"

namespace halvorine {

// Placeholder until the decoder lands.
std::optional<InputCommand> decodeInputCommand(std::string_view) { return std::nullopt; }

}  // namespace halvorine

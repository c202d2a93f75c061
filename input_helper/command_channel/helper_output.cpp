#include "command_channel/helper_output.h"

namespace halvorine {

HelperOutput output(bool ok, std::optional<std::string> type, std::optional<bool> applied,
                    std::optional<std::string> reason, std::optional<bool> trusted,
                    std::optional<double> x, std::optional<double> y,
                    std::optional<std::string> key, std::optional<int64_t> textLength) {
  HelperOutput r;
  r.ok = ok;
  r.type = std::move(type);
  r.applied = applied;
  r.reason = std::move(reason);
  r.trusted = trusted;
  r.x = x;
  r.y = y;
  r.key = std::move(key);
  r.textLength = textLength;
  return r;
}

// Placeholder until the writer lands.
std::optional<std::string> encodeHelperOutput(const HelperOutput&) { return std::nullopt; }
bool printOutput(const HelperOutput&) { return false; }

}  // namespace halvorine

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "wire/wire_names.h"

namespace halvorine {

// One answer of the input helper. Only `ok` is always present; unset fields are not written.
struct HelperOutput {
  bool ok = false;
  std::optional<std::string> type;
  std::optional<bool> applied;
  std::optional<std::string> reason;
  std::optional<bool> trusted;
  std::optional<double> x;
  std::optional<double> y;
  std::optional<std::string> key;
  std::optional<int64_t> textLength;
  std::optional<std::string> frameMimeType;
  std::optional<std::string> frameBase64;
  std::optional<int64_t> frameBytes;
  std::optional<int64_t> frameWidth;
  std::optional<int64_t> frameHeight;
  std::optional<bool> frameUnchanged;
  std::optional<int64_t> sourceWidth;
  std::optional<int64_t> sourceHeight;
  std::optional<double> screenLeft;
  std::optional<double> screenTop;
  std::optional<double> screenWidth;
  std::optional<double> screenHeight;
  std::optional<double> captureElapsedMs;
  std::optional<double> scaleElapsedMs;
  std::optional<double> encodeElapsedMs;
  std::optional<std::string> scaleMode;
  std::optional<std::string> captureBackend;
  std::optional<std::string> dispatchBackend;
  std::optional<std::string> nativeRuntime;

  bool operator==(const HelperOutput&) const = default;
};

// The result builder of the input handlers; `trusted` defaults to true because handlers are only
// reached after the permission gate.
HelperOutput output(bool ok, std::optional<std::string> type = std::nullopt,
                    std::optional<bool> applied = std::nullopt,
                    std::optional<std::string> reason = std::nullopt,
                    std::optional<bool> trusted = true, std::optional<double> x = std::nullopt,
                    std::optional<double> y = std::nullopt,
                    std::optional<std::string> key = std::nullopt,
                    std::optional<int64_t> textLength = std::nullopt);

// The line written instead of a record that cannot be encoded (a non-finite number).
inline constexpr std::string_view jsonEncodeFailedLine = wire::jsonEncodeFailedLine;

// Encodes the record as one compact JSON line with sorted keys and the trailing line feed, or
// nullopt when a floating-point field is not finite.
std::optional<std::string> encodeHelperOutput(const HelperOutput& result);

// Appends the encoded line to `out` (which keeps its capacity between answers); false, with `out`
// unchanged, when a floating-point field is not finite.
bool appendHelperOutputLine(std::string& out, const HelperOutput& result);

}  // namespace halvorine

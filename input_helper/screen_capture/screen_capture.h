#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/capture_platform.h"
#include "screen_capture/fnv1a.h"
#include "screen_capture/jpeg_encoder.h"
#include "wire/helper_output.h"
#include "wire/input_command.h"

namespace halvorine {

// The resolved capture target; never changed once built.
struct CaptureContext {
  // The display as it was listed.
  ListedDisplay display;
  // Its listed size, at least 2 by 2.
  int64_t sourceWidth = 2;
  int64_t sourceHeight = 2;
  Rect screenBounds;
};

// The pixel size a frame is delivered at, from the listed display size and maxWidth.
PixelSize captureSize(int64_t sourceWidth, int64_t sourceHeight, std::optional<int64_t> maxWidth);
// The encoder quality (0.35 to 0.88) for a requested jpegQuality.
double encoderQuality(std::optional<int64_t> jpegQuality);
// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string base64Encode(std::span<const uint8_t> bytes);
std::string captureReason(std::string_view base, std::optional<PlatformError> error);

// Serves "capture_frame" requests. Holds the process-wide capture state (the cached capture
// target and the hash of the last frame delivered to the host), which carries over between
// requests. That state is shared with the completions handed to the platform, so a completion
// that arrives after its request gave up still finds it alive, and every access to it is locked.
class ScreenCapture {
 public:
  // How long the screenshot itself may take, counted from when it was requested.
  static constexpr std::chrono::nanoseconds defaultWaitTimeout = std::chrono::seconds(10);
  // Every platform call made for one request ends within this time of the request's arrival, so
  // that the answer reaches the host within 10.5 s whatever the display does.
  static constexpr std::chrono::nanoseconds defaultAnswerBudget = std::chrono::milliseconds(10200);
  // The end of the budget that the screenshot wait leaves for reading the pointer of the failure
  // record.
  static constexpr std::chrono::nanoseconds pointerReserve = std::chrono::milliseconds(200);

  // Encodes with a JpegEncoder of its own.
  explicit ScreenCapture(CapturePlatform& platform,
                         std::chrono::nanoseconds waitTimeout = defaultWaitTimeout,
                         std::chrono::nanoseconds answerBudget = defaultAnswerBudget);
  // Encodes with `encoder`, which has to outlive the platform's completions.
  ScreenCapture(CapturePlatform& platform, FrameEncoder& encoder,
                std::chrono::nanoseconds waitTimeout = defaultWaitTimeout,
                std::chrono::nanoseconds answerBudget = defaultAnswerBudget);
  ~ScreenCapture();
  ScreenCapture(const ScreenCapture&) = delete;
  ScreenCapture& operator=(const ScreenCapture&) = delete;

  // Blocks until the frame has been processed or the wait has timed out, at most for the answer
  // budget; never fails.
  HelperOutput captureFrame(const InputCommand& command);

  // A copy of the cached capture target (for tests and diagnostics).
  std::optional<CaptureContext> cachedContext() const;

  struct State;

 private:
  CapturePlatform& platform_;
  std::chrono::nanoseconds waitTimeout_;
  std::chrono::nanoseconds answerBudget_;
  std::shared_ptr<State> state_;
};

}  // namespace halvorine

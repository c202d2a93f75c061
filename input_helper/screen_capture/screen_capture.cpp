#include "screen_capture/screen_capture.h"

namespace halvorine {

// Placeholder until screen capture lands.
struct ScreenCapture::State {};

ScreenCapture::ScreenCapture(CapturePlatform& platform)
    : platform_(platform), state_(std::make_shared<State>()) {}
ScreenCapture::~ScreenCapture() = default;

HelperOutput ScreenCapture::captureMacFrame(const InputCommand& command) {
  HelperOutput r;
  r.type = command.type;
  r.applied = false;
  r.reason = "screencapturekit_capture_failed";
  return r;
}

}  // namespace halvorine

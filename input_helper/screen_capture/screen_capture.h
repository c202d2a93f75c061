#pragma once

#include "command_channel/helper_output.h"
#include "command_channel/input_command.h"
#include "screen_capture/capture_platform.h"

namespace halvorine {

// Serves "capture_frame" requests. Holds the process-wide capture state (the cached capture
// target and the hash of the last encoded frame), which carries over between requests.
class ScreenCapture {
 public:
  explicit ScreenCapture(CapturePlatform& platform);
  ~ScreenCapture();
  ScreenCapture(const ScreenCapture&) = delete;
  ScreenCapture& operator=(const ScreenCapture&) = delete;

  HelperOutput captureMacFrame(const InputCommand& command);

 private:
  struct State;
  CapturePlatform& platform_;
  std::shared_ptr<State> state_;
};

}  // namespace halvorine

// The permission gate of handle(): capture bypasses it without asking, everything else is asked
// anew with the request's prompt wish, and only an exact "probe" is answered here.
#include "command_channel/dispatch.h"

#include <gtest/gtest.h>

#include "screen_capture/screen_capture.h"

namespace halvorine {
namespace {

class FakeAccessibility : public Accessibility {
 public:
  bool trusted = true;
  int plain = 0;
  int prompting = 0;
  bool isTrusted(bool prompt) override {
    ++(prompt ? prompting : plain);
    return trusted;
  }
};

// A desktop where no action can be done: postInput answers without touching a real display.
class InertDesktop : public Desktop {
 public:
  int calls = 0;
  std::optional<Point> pointerLocation() override { return ++calls, Point{1, 2}; }
  uint32_t mainDisplayId() override { return ++calls, 1; }
  Rect displayBounds(uint32_t) override { return ++calls, Rect{0, 0, 100, 100}; }
  bool movePointer(Point) override { return ++calls, false; }
  bool pressButton(MouseButton, Point, bool) override { return ++calls, false; }
  bool click(MouseButton, Point) override { return ++calls, false; }
  bool turnWheel(int32_t) override { return ++calls, false; }
  bool pressKey(uint16_t, uint64_t, bool) override { return ++calls, false; }
  bool typeCharacter(std::string_view, bool) override { return ++calls, false; }
  void pause(std::chrono::milliseconds) override { ++calls; }
  void finishRequest() override { ++calls; }
};

// A platform without displays to list: the capture path answers at once with a failure of its
// own.
class NoCapturePlatform : public CapturePlatform {
 public:
  uint32_t mainDisplayId(Deadline) override { return 1; }
  Rect displayBounds(uint32_t, Deadline) override { return Rect::null(); }
  void listDisplays(Deadline, DisplayListCompletion completion) override {
    completion(std::nullopt, PlatformError{-1});
  }
  void grabDisplay(const ListedDisplay&, PixelSize, Deadline, FrameCompletion completion) override {
    completion(nullptr, PlatformError{-1});
  }
  uint64_t uptimeNanoseconds() override { return 0; }
  Point currentMouseLocation(Deadline) override { return {}; }
};

struct Gate : ::testing::Test {
  FakeAccessibility accessibility;
  InertDesktop desktop;
  NoCapturePlatform platform;
  ScreenCapture capture{platform};
  Helper helper = helperOver(accessibility, desktop, capture);

  HelperOutput send(const std::string& type, std::optional<bool> prompt = std::nullopt) {
    InputCommand c;
    c.type = type;
    c.promptForPermission = prompt;
    return helper.handle(c);
  }
};

TEST_F(Gate, ProbeWhileTrusted) {
  EXPECT_EQ(send("probe"), output(true, "probe", false));
  EXPECT_EQ(accessibility.plain, 1);
  EXPECT_EQ(desktop.calls, 0);  // a probe reports no pointer position
}

TEST_F(Gate, EveryNonCaptureTypeRefusedWhileNotTrusted) {
  accessibility.trusted = false;
  for (const char* type : {"probe", "mouse_click", "no_such_type", "Probe", ""}) {
    EXPECT_EQ(send(type), output(false, type, false, "accessibility_permission_required", false));
  }
  EXPECT_EQ(desktop.calls, 0);
}

TEST_F(Gate, PromptFollowsTheRequest) {
  accessibility.trusted = false;
  send("mouse_move", true);
  EXPECT_EQ(accessibility.prompting, 1);
  send("mouse_move", false);
  send("mouse_move");
  EXPECT_EQ(accessibility.prompting, 1);
  EXPECT_EQ(accessibility.plain, 2);
}

TEST_F(Gate, CaptureBypassesGateWithoutAsking) {
  accessibility.trusted = false;
  for (std::optional<bool> prompt : {std::optional<bool>{}, std::optional<bool>{true}}) {
    const HelperOutput r = send("capture_frame", prompt);
    EXPECT_EQ(r.type, "capture_frame");
    EXPECT_NE(r.reason.value_or(""), "accessibility_permission_required");
  }
  EXPECT_EQ(accessibility.plain + accessibility.prompting, 0);
}

TEST_F(Gate, NearProbeGoesToInputDispatch) {
  for (const char* type : {"Probe", "probe ", "PROBE", "no_such_type"}) {
    const HelperOutput r = send(type);
    EXPECT_EQ(r, output(false, type, false, "unsupported_input_type")) << type;
  }
}

}  // namespace
}  // namespace halvorine

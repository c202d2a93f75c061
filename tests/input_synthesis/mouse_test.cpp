#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fake_desktop.h"
#include "input_synthesis/coordinate_mapping.h"
#include "input_synthesis/mouse_scroll.h"
#include "input_synthesis/post_input.h"

namespace halvorine {
namespace {

using testing::FakeDesktop;

InputCommand command(const std::string& json) {
  std::optional<InputCommand> decoded = decodeInputCommand(json);
  EXPECT_TRUE(decoded) << json;
  return decoded.value_or(InputCommand{});
}

// A desktop with a main display and a second one to its right, at (100, 0), that is smaller.
FakeDesktop twoDisplays() {
  FakeDesktop desktop;
  desktop.displays = {
      {1, Rect{0, 0, 1920, 1080}}, {7, Rect{100, 0, 800, 600}}, {8, Rect{50, 50, 0, 300}}};
  return desktop;
}

struct MappingCase {
  const char* name;
  const char* json;
  Point expected;
};

TEST(CoordinateMapping, TargetsOfMouseMove) {
  const MappingCase cases[] = {
      {"normalised on display 7",
       R"({"type":"mouse_move","x":0.5,"y":0.25,"coordinateSpace":"normalized","displayId":7})",
       {500, 150}},
      {"fractions clamped",
       R"({"type":"mouse_move","x":-0.2,"y":1.5,"coordinateSpace":"normalized","displayId":7})",
       {100, 600}},
      {"far corner is origin + size",
       R"({"type":"mouse_move","x":1,"y":1,"coordinateSpace":"normalized","displayId":7})",
       {900, 600}},
      {"no display id: main",
       R"({"type":"mouse_move","x":0.5,"y":0.5,"coordinateSpace":"normalized"})",
       {960, 540}},
      {"unknown display: main",
       R"({"type":"mouse_move","x":0.5,"y":0.5,"coordinateSpace":"normalized","displayId":99})",
       {960, 540}},
      {"empty display: main",
       R"({"type":"mouse_move","x":0.5,"y":0.5,"coordinateSpace":"normalized","displayId":8})",
       {960, 540}},
      {"absolute ignores display",
       R"({"type":"mouse_move","x":-500,"y":20,"displayId":7})",
       {-500, 20}},
      {"absolute keeps fractions", R"({"type":"mouse_move","x":10.75,"y":-3.5})", {10.75, -3.5}},
      {"lone x: pointer", R"({"type":"mouse_move","x":10})", {40, 50}},
      {"lone y: pointer",
       R"({"type":"mouse_move","y":10,"coordinateSpace":"normalized"})",
       {40, 50}},
      {"no coordinates: pointer", R"({"type":"mouse_move"})", {40, 50}},
      {"space in capitals is absolute",
       R"({"type":"mouse_move","x":0.5,"y":0.5,"coordinateSpace":"NORMALIZED","displayId":7})",
       {0.5, 0.5}},
  };
  for (const MappingCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDesktop desktop = twoDisplays();
    const InputCommand cmd = command(c.json);
    const HelperOutput result = postInput(cmd, desktop);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.x, c.expected.x);
    EXPECT_EQ(result.y, c.expected.y);
    ASSERT_EQ(desktop.posts().size(), 1u);
    // The pointer is read exactly when the target falls back to it.
    const bool fallsBack = !cmd.x || !cmd.y;
    EXPECT_EQ(desktop.count("pointer"), fallsBack ? 1 : 0);
  }
}

TEST(CoordinateMapping, UnreadablePointerCountsAsOrigin) {
  FakeDesktop desktop;
  desktop.pointer.reset();
  EXPECT_EQ(currentMouseLocation(desktop), (Point{0, 0}));
  const HelperOutput result =
      postInput(command(R"({"type":"mouse_delta","dx":3,"dy":4})"), desktop);
  EXPECT_EQ(result.x, 3);
  EXPECT_EQ(result.y, 4);
}

TEST(CoordinateMapping, ClampedHandlesNonFiniteValues) {
  EXPECT_EQ(clamped(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(clamped(std::numeric_limits<double>::infinity()), 1);
  EXPECT_EQ(clamped(-std::numeric_limits<double>::infinity()), 0);
  EXPECT_EQ(clamped(0.3), 0.3);
}

struct MouseCase {
  const char* json;
  std::vector<std::string> posts;
};

TEST(MouseEvents, EventsPostedPerCommand) {
  const MouseCase cases[] = {
      {R"({"type":"mouse_move","x":5,"y":6})", {"post move to 5,6"}},
      {R"({"type":"mouse_move","x":5,"y":6,"button":"right"})", {"post move to 5,6"}},
      {R"({"type":"mouse_down","x":5,"y":6})", {"post left down at 5,6"}},
      {R"({"type":"mouse_down","x":5,"y":6,"button":"middle"})", {"post left down at 5,6"}},
      {R"({"type":"mouse_down","x":5,"y":6,"button":"RIGHT"})", {"post left down at 5,6"}},
      {R"({"type":"mouse_down","x":5,"y":6,"button":"right"})", {"post right down at 5,6"}},
      {R"({"type":"mouse_up","x":5,"y":6})", {"post left up at 5,6"}},
      {R"({"type":"mouse_up","x":5,"y":6,"button":"right"})", {"post right up at 5,6"}},
      {R"({"type":"mouse_click","x":5,"y":6})", {"post left down at 5,6", "post left up at 5,6"}},
      {R"({"type":"mouse_click","x":5,"y":6,"button":"right"})",
       {"post right down at 5,6", "post right up at 5,6"}},
      // A relative move is always a plain move, whatever the command says.
      {R"({"type":"mouse_delta","dx":5,"dy":-3,"button":"right"})", {"post move to 45,47"}},
      {R"({"type":"mouse_delta"})", {"post move to 40,50"}},
  };
  for (const MouseCase& c : cases) {
    SCOPED_TRACE(c.json);
    FakeDesktop desktop;
    const InputCommand cmd = command(c.json);
    const HelperOutput result = postInput(cmd, desktop);
    EXPECT_EQ(result, output(true, cmd.type, true, std::nullopt, true, result.x, result.y));
    EXPECT_TRUE(result.x && result.y);
    EXPECT_EQ(desktop.posts(), c.posts);
    EXPECT_EQ(desktop.finishCount, 1);
  }
}

TEST(MouseEvents, DeltaFromPointerIsReported) {
  FakeDesktop desktop;
  desktop.pointer = Point{100, 100};
  const HelperOutput result =
      postInput(command(R"({"type":"mouse_delta","dx":5,"dy":-3})"), desktop);
  EXPECT_EQ(result.x, 105);
  EXPECT_EQ(result.y, 97);
}

TEST(MouseEvents, ClickPostsBothHalvesTogether) {
  FakeDesktop desktop;
  postInput(command(R"({"type":"mouse_click","x":1,"y":2})"), desktop);
  EXPECT_EQ(desktop.log,
            (std::vector<std::string>{"post left down at 1,2", "post left up at 1,2", "finish"}));
}

struct FailureCase {
  const char* json;
  std::vector<int> failingActions;
  const char* reason;
};

TEST(MouseEvents, FailuresPostNothingAndReportNoPosition) {
  const FailureCase cases[] = {
      {R"({"type":"mouse_move","x":1,"y":2})", {1}, "mouse_event_create_failed"},
      {R"({"type":"mouse_delta","dx":1})", {1}, "mouse_event_create_failed"},
      {R"({"type":"mouse_click","x":1,"y":2})", {1}, "mouse_event_create_failed"},
      // The up half cannot be made, so the down half is not posted either: both or nothing.
      {R"({"type":"mouse_click","x":1,"y":2})", {2}, "mouse_event_create_failed"},
      {R"({"type":"Mouse_Move","x":1,"y":2})", {}, "unsupported_input_type"},
      {R"({"type":"mouse_move ","x":1,"y":2})", {}, "unsupported_input_type"},
      {R"({"type":"swipe"})", {}, "unsupported_input_type"},
      {R"({"type":"scroll","dy":50})", {1}, "scroll_event_create_failed"},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.json);
    FakeDesktop desktop;
    desktop.failingActions = c.failingActions;
    const InputCommand cmd = command(c.json);
    const HelperOutput result = postInput(cmd, desktop);
    EXPECT_EQ(result, output(false, cmd.type, false, c.reason));
    EXPECT_TRUE(desktop.posts().empty());
    // The request is still finished: nothing it began may stay behind.
    EXPECT_EQ(desktop.finishCount, 1);
  }
}

TEST(ScrollEvents, DeltaIsRoundedAndLimited) {
  const struct {
    const char* json;
    std::optional<int> posted;
  } cases[] = {
      {R"({"type":"scroll","dy":0.4})", std::nullopt},
      {R"({"type":"scroll","dy":-0.4})", std::nullopt},
      {R"({"type":"scroll","dx":30})", std::nullopt},
      {R"({"type":"scroll"})", std::nullopt},
      {R"({"type":"scroll","dy":2.5})", 3},
      {R"({"type":"scroll","dy":-2.5})", -3},
      {R"({"type":"scroll","dy":-7.5})", -8},
      {R"({"type":"scroll","dy":120})", 120},
      {R"({"type":"scroll","dy":500})", 120},
      {R"({"type":"scroll","dy":-1e300})", -120},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    FakeDesktop desktop;
    const HelperOutput result = postInput(command(c.json), desktop);
    EXPECT_EQ(result, output(true, "scroll", true));
    if (c.posted) {
      EXPECT_EQ(desktop.posts(),
                std::vector<std::string>{"post scroll " + std::to_string(*c.posted)});
    } else {
      EXPECT_TRUE(desktop.posts().empty());
    }
  }
  EXPECT_EQ(scrollDelta(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(scrollDelta(-std::numeric_limits<double>::infinity()), -120);
}

}  // namespace
}  // namespace halvorine

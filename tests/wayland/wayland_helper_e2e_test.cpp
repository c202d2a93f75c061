// The real input helper with HALVORINE_BACKEND=wayland on headless sway, in stream and one-shot
// mode, as the test user. An X client under sway's Xwayland records what arrives; the helper
// itself gets no DISPLAY, so everything it does goes through the compositor.
#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "channel_cases.h"
#include "input_cases.h"
#include "key_table_cases.h"
#include "process.h"
#include "sway_server.h"
#include "wayland/wayland_connection.h"
#include "wayland/wayland_pointer.h"
#include "x_event_recorder.h"
#include "xwayland_events.h"

namespace halvorine::testing {
namespace {

using nlohmann::json;
using wayland::Connection;
using wayland::displayIdForName;

RunOptions helperOptions(const std::string& waylandDisplay, std::string input = {},
                         const char* backend = "wayland") {
  RunOptions options;
  options.env["HALVORINE_BACKEND"] =
      backend != nullptr ? std::optional<std::string>(backend) : std::nullopt;
  options.env["WAYLAND_DISPLAY"] = waylandDisplay;
  options.env["DISPLAY"] = std::nullopt;
  options.stdinData = std::move(input);
  options.timeout = std::chrono::seconds(20);
  return options;
}

// (+button, x, y) for presses and (-button, x, y) for releases.
std::vector<std::tuple<int, int, int>> buttons(const std::vector<RecordedEvent>& events) {
  std::vector<std::tuple<int, int, int>> result;
  for (const RecordedEvent& e : events) {
    if (e.type == XCB_BUTTON_PRESS) result.emplace_back(e.detail, e.rootX, e.rootY);
    if (e.type == XCB_BUTTON_RELEASE) result.emplace_back(-e.detail, e.rootX, e.rootY);
  }
  return result;
}

class HelperOnSway : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(runAsWaylandTestUser()); }

  void SetUp() override {
    ASSERT_NO_THROW(server = std::make_unique<SwayServer>());
    // The test's own pointer stays on the seat for the whole run: sway 1.7 can crash when the
    // seat's only pointer (one per one-shot helper) comes and goes while Xwayland runs.
    keeperConnection = std::make_unique<Connection>(
        Connection::Options{server->waylandDisplay(), std::chrono::milliseconds(2000)});
    keeper = std::make_unique<wayland::Pointer>(*keeperConnection);
    recorder = std::make_unique<XEventRecorder>(server->xDisplay(), true);
    ASSERT_TRUE(recorder->ok());
    // The window takes pointer events once the compositor has placed it.
    bool placed = false;
    for (int i = 0; i < 100 && !placed; ++i) {
      ASSERT_TRUE(keeper->moveTo(Point{double(600 + i % 2), 500}));
      ASSERT_TRUE(keeper->finish());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      placed = !motions(recorder->take()).empty();
    }
    ASSERT_TRUE(placed);
  }

  void TearDown() override {
    helper.reset();
    recorder.reset();
    keeper.reset();
    keeperConnection.reset();
    server.reset();
  }

  void startStream() {
    helper = std::make_unique<ChildProcess>(
        std::vector<std::string>{binaryPath("HalvorineInputHelper"), "--stream"},
        helperOptions(server->waylandDisplay()));
  }

  json ask(const json& request) {
    EXPECT_TRUE(helper->write(request.dump() + "\n"));
    const std::optional<std::string> line = helper->readLine(std::chrono::seconds(20));
    EXPECT_TRUE(line) << request.dump();
    return line ? json::parse(*line) : json();
  }

  RunResult oneShot(const json& request, std::vector<std::string> switches = {}) {
    std::vector<std::string> argv{binaryPath("HalvorineInputHelper")};
    argv.insert(argv.end(), switches.begin(), switches.end());
    return runProcess(argv, helperOptions(server->waylandDisplay(), request.dump()));
  }

  std::vector<RecordedEvent> eventsUntilMotionTo(std::pair<int, int> at) {
    return takeUntil(*recorder, [&](const std::vector<RecordedEvent>& e) {
      return !motions(e).empty() && motions(e).back() == at;
    });
  }

  std::unique_ptr<SwayServer> server;
  std::unique_ptr<Connection> keeperConnection;
  std::unique_ptr<wayland::Pointer> keeper;
  std::unique_ptr<XEventRecorder> recorder;
  std::unique_ptr<ChildProcess> helper;
};

TEST_F(HelperOnSway, TrustProbeAndBackendChoice) {
  const struct {
    std::vector<std::string> switches;
    json request;
    const char* backend;
    int status;
    json answer;
  } cases[] = {
      {{},
       {{"type", "probe"}},
       "wayland",
       0,
       {{"ok", true}, {"applied", false}, {"trusted", true}, {"type", "probe"}}},
      {{},
       {{"type", "probe"}, {"promptForPermission", true}},
       "wayland",
       0,
       {{"ok", true}, {"applied", false}, {"trusted", true}, {"type", "probe"}}},
      // Before this process has moved the pointer, (0, 0) is reported.
      {{"--permission-status"},
       nullptr,
       "wayland",
       0,
       {{"ok", true},
        {"applied", false},
        {"trusted", true},
        {"type", "permission_status"},
        {"x", 0},
        {"y", 0}}},
      {{"--permission-status", "--prompt"},
       nullptr,
       "wayland",
       0,
       {{"ok", true},
        {"applied", false},
        {"trusted", true},
        {"type", "permission_status"},
        {"x", 0},
        {"y", 0}}},
      // Without the variable the reachable compositor is chosen; with x11 the X11 backend is
      // used, and there is no DISPLAY here.
      {{"--permission-status"},
       nullptr,
       nullptr,
       0,
       {{"ok", true},
        {"applied", false},
        {"trusted", true},
        {"type", "permission_status"},
        {"x", 0},
        {"y", 0}}},
      {{},
       {{"type", "probe"}},
       "x11",
       3,
       {{"ok", false},
        {"applied", false},
        {"trusted", false},
        {"type", "probe"},
        {"reason", "accessibility_permission_required"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.dump() + " " + (c.backend != nullptr ? c.backend : "unset"));
    std::vector<std::string> argv{binaryPath("HalvorineInputHelper")};
    argv.insert(argv.end(), c.switches.begin(), c.switches.end());
    const RunResult r =
        runProcess(argv, helperOptions(server->waylandDisplay(),
                                       c.request.is_null() ? "" : c.request.dump(), c.backend));
    EXPECT_EQ(r.exitStatus, c.status);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(json::parse(r.out), c.answer);
  }

  // A copy of the program without its backend module beside it is not trusted, quietly.
  namespace fs = std::filesystem;
  const fs::path folder =
      fs::temp_directory_path() / ("halvorine-no-module-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  fs::copy_file(binaryPath("HalvorineInputHelper"), folder / "HalvorineInputHelper");
  const RunResult r = runProcess({(folder / "HalvorineInputHelper").string()},
                                 helperOptions(server->waylandDisplay(), R"({"type":"probe"})"));
  fs::remove_all(folder);
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(json::parse(r.out)["reason"], "accessibility_permission_required");
}

TEST_F(HelperOnSway, PointerInStreamMode) {
  startStream();
  struct Case {
    json request;
    double answerX, answerY;
    // The last motion the window sees, or nullopt where the request sends none.
    std::optional<std::pair<int, int>> seen;
  };
  const Case cases[] = {
      {{{"type", "mouse_move"}, {"x", 100}, {"y", 200}}, 100, 200, {{100, 200}}},
      {{{"type", "mouse_move"}, {"x", 10.6}, {"y", 20.4}}, 10.6, 20.4, {{11, 20}}},
      {{{"type", "mouse_delta"}, {"dx", 5}, {"dy", -3}}, 15.6, 17.4, {{16, 17}}},
      {{{"type", "mouse_delta"}}, 15.6, 17.4, std::nullopt},
      {{{"type", "mouse_move"}, {"x", 5}}, 15.6, 17.4, std::nullopt},
      // The compositor keeps the pointer on the outputs; the answer tells the target as asked.
      {{{"type", "mouse_move"}, {"x", -50}, {"y", 5000}}, -50, 5000, {{0, 799}}},
      {{{"type", "mouse_move"}, {"x", 300}, {"y", 310}}, 300, 310, {{300, 310}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.dump());
    const json answer = ask(c.request);
    EXPECT_EQ(answer["ok"], true);
    EXPECT_EQ(answer["applied"], true);
    EXPECT_EQ(answer["x"].get<double>(), c.answerX);
    EXPECT_EQ(answer["y"].get<double>(), c.answerY);
    if (c.seen) {
      const auto seen = motions(eventsUntilMotionTo(*c.seen));
      ASSERT_FALSE(seen.empty());
      EXPECT_EQ(seen.back(), *c.seen);
    }
  }

  // Without x and y a click happens where the pointer is: no motion, and the answer carries the
  // position this helper last set.
  using Buttons = std::vector<std::tuple<int, int, int>>;
  const struct {
    json request;
    Buttons expected;
  } clicks[] = {
      {{{"type", "mouse_click"}}, {{1, 300, 310}, {-1, 300, 310}}},
      {{{"type", "mouse_click"}, {"button", "right"}}, {{3, 300, 310}, {-3, 300, 310}}},
      {{{"type", "mouse_click"}, {"x", 320}, {"y", 330}}, {{1, 320, 330}, {-1, 320, 330}}},
      {{{"type", "mouse_down"}, {"x", 340}, {"y", 350}, {"button", "right"}}, {{3, 340, 350}}},
      {{{"type", "mouse_up"}, {"button", "right"}}, {{-3, 340, 350}}},
  };
  for (const auto& c : clicks) {
    SCOPED_TRACE(c.request.dump());
    const json answer = ask(c.request);
    EXPECT_EQ(answer["ok"], true);
    const auto events = takeUntil(*recorder, [&](const std::vector<RecordedEvent>& e) {
      return buttons(e).size() >= c.expected.size();
    });
    EXPECT_EQ(buttons(events), c.expected);
    const auto [_, x, y] = c.expected.front();
    EXPECT_EQ(answer["x"].get<double>(), x);
    EXPECT_EQ(answer["y"].get<double>(), y);
    if (!c.request.contains("x")) {
      EXPECT_EQ(motions(events), (std::vector<std::pair<int, int>>{}));
    }
  }

  // Positive scroll deltas scroll up, one wheel click per 40, rounded up.
  for (const WheelCase& c : wheelCases()) {
    SCOPED_TRACE(c.dy.dump());
    EXPECT_EQ(ask({{"type", "scroll"}, {"dy", c.dy}}),
              (json{{"ok", true}, {"applied", true}, {"trusted", true}, {"type", "scroll"}}));
    Buttons expected;
    for (int i = 0; i < c.clicks; ++i) {
      expected.emplace_back(c.button, 340, 350);
      expected.emplace_back(-c.button, 340, 350);
    }
    EXPECT_EQ(buttons(takeUntil(*recorder,
                                [&](const std::vector<RecordedEvent>& e) {
                                  return buttons(e).size() >= expected.size();
                                })),
              expected);
  }
  helper->closeStdin();
  EXPECT_EQ(helper->wait(), 0);
  EXPECT_EQ(helper->err(), "");
}

TEST_F(HelperOnSway, NormalisedCoordinatesOnTwoOutputs) {
  ASSERT_TRUE(server->command("create_output"));
  ASSERT_TRUE(server->command("output HEADLESS-2 resolution 640x480 position 1280 0"));
  const uint32_t second = displayIdForName("HEADLESS-2");
  startStream();
  // The window covers HEADLESS-1 only: a move to the second output is seen through the relative
  // move that follows it.
  const struct {
    json request;
    double x, y;
    std::optional<std::pair<int, int>> seen;
  } cases[] = {
      {{{"type", "mouse_move"}, {"x", 0.25}, {"y", 0.5}, {"coordinateSpace", "normalized"}},
       320,
       400,
       {{320, 400}}},
      {{{"type", "mouse_move"},
        {"x", 0.5},
        {"y", 0.5},
        {"coordinateSpace", "normalized"},
        {"displayId", second}},
       1600,
       240,
       std::nullopt},
      {{{"type", "mouse_delta"}, {"dx", -600}, {"dy", 10}}, 1000, 250, {{1000, 250}}},
      {{{"type", "mouse_move"},
        {"x", 1},
        {"y", 1},
        {"coordinateSpace", "normalized"},
        {"displayId", second}},
       1920,
       480,
       std::nullopt},
      {{{"type", "mouse_delta"}, {"dx", -1000}, {"dy", 0}}, 920, 480, {{919, 479}}},
      // An unknown display is the main one, HEADLESS-1 at (0, 0).
      {{{"type", "mouse_move"},
        {"x", 0.5},
        {"y", 0.5},
        {"coordinateSpace", "normalized"},
        {"displayId", 12345}},
       640,
       400,
       {{640, 400}}},
      {{{"type", "mouse_move"},
        {"x", 0.5},
        {"y", 0.5},
        {"coordinateSpace", "normalized"},
        {"displayId", 2675618608u}},
       640,
       400,
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.dump());
    const json answer = ask(c.request);
    EXPECT_EQ(answer["ok"], true);
    EXPECT_EQ(answer["x"].get<double>(), c.x);
    EXPECT_EQ(answer["y"].get<double>(), c.y);
    if (c.seen) {
      const auto seen = motions(eventsUntilMotionTo(*c.seen));
      ASSERT_FALSE(seen.empty());
      EXPECT_EQ(seen.back(), *c.seen);
    }
  }
}

TEST_F(HelperOnSway, KeyTapsAndTextInStreamMode) {
  startStream();
  for (const testing::KeyTapCase& c : testing::keyTapCases()) {
    SCOPED_TRACE(c.request.dump());
    EXPECT_EQ(ask(c.request), (json{{"ok", true},
                                    {"applied", true},
                                    {"trusted", true},
                                    {"type", "key_tap"},
                                    {"key", c.request["key"]}}));
    EXPECT_EQ(keys(takeUntil(*recorder,
                             [&](const std::vector<RecordedEvent>& e) {
                               return keys(e).size() >= c.keys.size();
                             })),
              c.keys);
  }
  EXPECT_EQ(ask({{"type", "key_tap"}, {"key", "F1"}})["reason"], "unsupported_key");

  for (const TextInputCase& c : textInputCases()) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ask({{"type", "text_input"}, {"text", c.text}}), (json{{"ok", true},
                                                                     {"applied", true},
                                                                     {"trusted", true},
                                                                     {"type", "text_input"},
                                                                     {"textLength", c.length}}));
    const auto events = takeUntil(*recorder, [&](const std::vector<RecordedEvent>& e) {
      return XEventRecorder::typedText(e).size() >= c.received.size();
    });
    EXPECT_EQ(XEventRecorder::typedText(events), c.received);
  }
  EXPECT_EQ(XState::keysDown(server->xDisplay()), std::vector<uint8_t>{});
}

TEST_F(HelperOnSway, ChannelAnswersAsOnX11) {
  for (const ChannelCase& c : trustedChannelCases()) {
    std::vector<std::string> argv{binaryPath("HalvorineInputHelper")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const RunResult r = runProcess(argv, helperOptions(server->waylandDisplay(), c.input));
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.exitStatus, c.status) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
  }
}

TEST_F(HelperOnSway, ButtonStaysDownUntilItsMouseUpAndFailuresLeaveNoTrace) {
  startStream();
  EXPECT_EQ(ask({{"type", "mouse_down"}, {"x", 50}, {"y", 60}})["ok"], true);
  EXPECT_EQ(ask({{"type", "mouse_move"}, {"x", 70}, {"y", 80}})["ok"], true);
  EXPECT_EQ(ask({{"type", "mouse_up"}, {"x", 90}, {"y", 100}})["ok"], true);
  const auto events = takeUntil(
      *recorder, [](const std::vector<RecordedEvent>& e) { return buttons(e).size() >= 2; });
  bool dragged = false;
  for (const RecordedEvent& e : events) {
    if (e.type == XCB_MOTION_NOTIFY && e.rootX == 70 && e.rootY == 80) {
      dragged = (e.state & XCB_BUTTON_MASK_1) != 0;
    }
  }
  EXPECT_TRUE(dragged);
  EXPECT_EQ(buttons(events), (std::vector<std::tuple<int, int, int>>{{1, 50, 60}, {-1, 90, 100}}));

  // Refused requests send nothing, and the next one works.
  const std::pair<json, const char*> failures[] = {
      {{{"type", "text_input"}, {"text", ""}}, "missing_text"},
      {{{"type", "Mouse_Move"}}, "unsupported_input_type"},
      {{{"type", "key_tap"}, {"key", "F1"}}, "unsupported_key"},
  };
  for (const auto& [request, reason] : failures) {
    EXPECT_EQ(ask(request)["reason"], reason);
  }
  EXPECT_EQ(ask({{"type", "text_input"}, {"text", "ok"}})["ok"], true);
  EXPECT_EQ(XEventRecorder::typedText(takeUntil(*recorder,
                                                [](const std::vector<RecordedEvent>& e) {
                                                  return XEventRecorder::typedText(e).size() >= 2;
                                                })),
            "ok");
}

// Every request is answered while the compositor is gone, each with its failure, and a new one
// on the same socket is used again without restarting the helper.
TEST_F(HelperOnSway, CompositorKilledMidStreamAndReplacedOnTheSameSocket) {
  startStream();
  EXPECT_EQ(ask({{"type", "probe"}})["ok"], true);
  EXPECT_EQ(ask({{"type", "capture_frame"}, {"maxWidth", 320}})["ok"], true);
  recorder.reset();
  keeper.reset();
  keeperConnection.reset();
  server->stop();

  EXPECT_EQ(ask({{"type", "probe"}}), (json{{"ok", false},
                                            {"applied", false},
                                            {"trusted", false},
                                            {"type", "probe"},
                                            {"reason", "accessibility_permission_required"}}));
  EXPECT_EQ(ask({{"type", "mouse_move"}, {"x", 5}, {"y", 5}})["reason"],
            "accessibility_permission_required");
  const json capture = ask({{"type", "capture_frame"}});
  EXPECT_EQ(capture["ok"], false);
  EXPECT_EQ(capture.value("reason", "").rfind("screencapturekit_", 0), 0u) << capture.dump();
  EXPECT_TRUE(helper->write("not json\n"));
  EXPECT_EQ(json::parse(helper->readLine().value_or("{}")).value("reason", ""),
            "invalid_input_command");

  ASSERT_NO_THROW(server->restart());
  keeperConnection = std::make_unique<Connection>(
      Connection::Options{server->waylandDisplay(), std::chrono::milliseconds(2000)});
  keeper = std::make_unique<wayland::Pointer>(*keeperConnection);
  ASSERT_TRUE(keeper->moveTo(Point{1279, 799}) && keeper->finish());
  EXPECT_EQ(ask({{"type", "probe"}})["ok"], true);
  const json moved = ask({{"type", "mouse_move"}, {"x", 40}, {"y", 30}});
  EXPECT_EQ(moved["ok"], true) << moved.dump();
  const json again = ask({{"type", "capture_frame"}, {"maxWidth", 320}});
  EXPECT_EQ(again.value("ok", false), true) << again.dump().substr(0, 300);
  EXPECT_EQ(again.value("x", -1.0), 40);
  helper->closeStdin();
  EXPECT_EQ(helper->wait(), 0);
  EXPECT_EQ(helper->err(), "");
}

// `make demo` with HALVORINE_DEMO_USE_DISPLAY=1 in a Wayland session types into the focused
// window and captures the compositor's output.
TEST_F(HelperOnSway, DemoRunsOnTheWaylandSession) {
  namespace fs = std::filesystem;
  // A build folder of the test user's own for the frame, with the real programs in it.
  const fs::path build =
      fs::temp_directory_path() / ("halvorine-demo-" + std::to_string(::getpid()));
  fs::create_directories(build);
  fs::create_directory_symlink(fs::path(binaryPath("HalvorineInputHelper")).parent_path(),
                               build / "bin");
  RunOptions o;
  o.env["HALVORINE_DEMO_USE_DISPLAY"] = "1";
  o.env["HALVORINE_BACKEND"] = std::nullopt;
  o.env["WAYLAND_DISPLAY"] = server->waylandDisplay();
  o.env["DISPLAY"] = std::nullopt;
  o.timeout = std::chrono::seconds(60);
  const RunResult r = runProcess({"bash", HALVORINE_DEMO_SCRIPT, build.string()}, o);
  const bool frameSaved = fs::exists(build / "halvorine-demo-frame.jpg");
  // Without the variable the demo keeps to its private X server, though a session is around.
  o.env["HALVORINE_DEMO_USE_DISPLAY"] = std::nullopt;
  const RunResult privateRun = runProcess({"bash", HALVORINE_DEMO_SCRIPT, build.string()}, o);
  fs::remove_all(build);
  EXPECT_EQ(privateRun.exitStatus, 0) << privateRun.out << privateRun.err;
  EXPECT_NE(privateRun.out.find("demo: private X server on"), std::string::npos) << privateRun.out;
  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("demo: using your Wayland session"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("demo: frame 1280x800 saved"), std::string::npos) << r.out;
  EXPECT_TRUE(frameSaved);
  const std::string typed = "echo hello from Halvorine";
  const auto events = takeUntil(*recorder, [&](const std::vector<RecordedEvent>& e) {
    return XEventRecorder::typedText(e).size() > typed.size();
  });
  EXPECT_EQ(XEventRecorder::typedText(events), typed + "\n");
}

// One process per request: each brings its own virtual pointer and keyboard to the seat.
TEST_F(HelperOnSway, OneShotRequests) {
  RunResult r = oneShot({{"type", "mouse_move"}, {"x", 200}, {"y", 300}});
  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
  EXPECT_EQ(json::parse(r.out)["x"], 200);
  const auto seen = motions(eventsUntilMotionTo({200, 300}));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), (std::pair<int, int>{200, 300}));

  // A fresh process has set nothing: a click without x and y stays where the pointer is and
  // answers (0, 0); a relative move goes from wherever the pointer is.
  r = oneShot({{"type", "mouse_click"}});
  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
  EXPECT_EQ(json::parse(r.out)["x"], 0);
  auto events = takeUntil(
      *recorder, [](const std::vector<RecordedEvent>& e) { return buttons(e).size() >= 2; });
  EXPECT_EQ(buttons(events),
            (std::vector<std::tuple<int, int, int>>{{1, 200, 300}, {-1, 200, 300}}));
  EXPECT_EQ(motions(events), (std::vector<std::pair<int, int>>{}));

  r = oneShot({{"type", "mouse_delta"}, {"dx", 7}, {"dy", 9}});
  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
  EXPECT_EQ(json::parse(r.out)["x"], 7);
  EXPECT_EQ(json::parse(r.out)["y"], 9);
  EXPECT_EQ(motions(eventsUntilMotionTo({207, 309})).back(), (std::pair<int, int>{207, 309}));

  r = oneShot({{"type", "key_tap"}, {"key", "z"}, {"modifiers", {"shift"}}});
  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
  EXPECT_EQ(
      keys(takeUntil(*recorder,
                     [](const std::vector<RecordedEvent>& e) { return keys(e).size() >= 4; })),
      (std::vector<std::string>{"+Shift_L 0", "+z 1", "-z", "-Shift_L"}));

  r = oneShot({{"type", "text_input"}, {"text", "d\u00e9j\u00e0 \u65e5"}});
  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  const std::string expected = "d\u00e9j\u00e0 \u65e5";
  events = takeUntil(*recorder, [&](const std::vector<RecordedEvent>& e) {
    return XEventRecorder::typedText(e).size() >= expected.size();
  });
  EXPECT_EQ(XEventRecorder::typedText(events), expected);
  EXPECT_EQ(XState::keysDown(server->xDisplay()), std::vector<uint8_t>{});
}

// Under a Wayland session the compositor is chosen; X11 when WAYLAND_DISPLAY names none or
// HALVORINE_BACKEND says so. The two tell themselves apart by the pointer they report: X11 reads
// it from Xwayland (the test put it over the window at (600 or 601, 500)), Wayland reports what
// this process has set, (0, 0).
TEST_F(HelperOnSway, TheSessionChoosesTheBackend) {
  const std::string missing = server->runtimeDir() + "/wayland-none";
  const struct {
    const char* name;
    std::optional<std::string> backend;
    std::optional<std::string> waylandDisplay;
    bool wayland;
  } cases[] = {
      {"compositor named", std::nullopt, server->waylandDisplay(), true},
      {"compositor named, other backend word", "auto", server->waylandDisplay(), true},
      {"WAYLAND_DISPLAY unset", std::nullopt, std::nullopt, false},
      {"WAYLAND_DISPLAY empty", std::nullopt, "", false},
      {"WAYLAND_DISPLAY names no socket", std::nullopt, missing, false},
      {"forced x11 under sway", "x11", server->waylandDisplay(), false},
      {"forced wayland", "wayland", server->waylandDisplay(), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions o = helperOptions("", "", nullptr);
    o.env["HALVORINE_BACKEND"] = c.backend;
    o.env["WAYLAND_DISPLAY"] = c.waylandDisplay;
    o.env["DISPLAY"] = server->xDisplay();
    o.env["XDG_RUNTIME_DIR"] = server->runtimeDir();
    const RunResult r = runProcess({binaryPath("HalvorineInputHelper"), "--permission-status"}, o);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    const json a = json::parse(r.out);
    EXPECT_EQ(a["trusted"], true);
    if (c.wayland) {
      EXPECT_EQ(a["x"], 0);
      EXPECT_EQ(a["y"], 0);
    } else {
      EXPECT_GE(a["x"].get<double>(), 600);
      EXPECT_EQ(a["y"], 500);
    }
  }
  // A relative name is looked up in XDG_RUNTIME_DIR, as libwayland does.
  RunOptions o = helperOptions("", R"({"type":"capture_frame","maxWidth":320})", nullptr);
  o.env["WAYLAND_DISPLAY"] = server->waylandDisplay().substr(server->runtimeDir().size() + 1);
  o.env["XDG_RUNTIME_DIR"] = server->runtimeDir();
  const RunResult r = runProcess({binaryPath("HalvorineInputHelper")}, o);
  EXPECT_EQ(r.exitStatus, 0) << r.out.substr(0, 300);
  EXPECT_EQ(json::parse(r.out)["frameWidth"], 320);
}

TEST(HelperOnWeston, NotTrusted) {
  ASSERT_TRUE(runAsWaylandTestUser());
  WestonServer weston;
  ASSERT_TRUE(weston.running());
  const json refused = {{"ok", false},
                        {"applied", false},
                        {"trusted", false},
                        {"type", "mouse_move"},
                        {"reason", "accessibility_permission_required"}};
  RunResult r = runProcess({binaryPath("HalvorineInputHelper")},
                           helperOptions(weston.waylandDisplay(),
                                         json{{"type", "mouse_move"}, {"x", 1}, {"y", 1}}.dump()));
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(json::parse(r.out), refused);
  r = runProcess({binaryPath("HalvorineInputHelper"), "--permission-status"},
                 helperOptions(weston.waylandDisplay()));
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(json::parse(r.out)["trusted"], false);
  // Chosen by the session as well; its outputs are listed, but it offers no screencopy.
  RunOptions bySession = helperOptions(weston.waylandDisplay(), R"({"type":"capture_frame"})");
  bySession.env["HALVORINE_BACKEND"] = std::nullopt;
  r = runProcess({binaryPath("HalvorineInputHelper")}, bySession);
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(json::parse(r.out)["reason"], "screencapturekit_capture_failed_2");
}

}  // namespace
}  // namespace halvorine::testing

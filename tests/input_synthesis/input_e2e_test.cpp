// Drives the real helper in stream mode on a private X server and looks at what a client window
// receives.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <utf8proc.h>
#include <xkbcommon/xkbcommon.h>

#include <memory>

#include "input_cases.h"
#include "key_table_cases.h"
#include "process.h"
#include "x_event_recorder.h"
#include "xvfb_server.h"

namespace halvorine::testing {
namespace {

using nlohmann::json;

constexpr uint16_t button1Mask = XCB_BUTTON_MASK_1;

struct Session {
  explicit Session(XvfbServer::Options options = {})
      : server(std::move(options)),
        recorder(server.display()),
        helper({binaryPath("HalvorineInputHelper"), "--stream"}, onDisplay(server.display())),
        mapping(XState::keyboardMapping(server.display())) {}

  // Sends one request and returns its answer, after checking what every request must leave
  // behind: the keyboard mapping as it was and no key held down.
  json ask(const json& request) {
    EXPECT_TRUE(helper.write(request.dump() + "\n"));
    const std::optional<std::string> line = helper.readLine(std::chrono::seconds(20));
    EXPECT_TRUE(line) << request.dump();
    if (!line) return json();
    EXPECT_EQ(XState::keyboardMapping(server.display()), mapping) << request.dump();
    EXPECT_EQ(XState::keysDown(server.display()), std::vector<uint8_t>{}) << request.dump();
    return json::parse(*line);
  }

  void pointer(int* x, int* y, uint16_t* mask = nullptr) {
    uint16_t m = 0;
    ASSERT_TRUE(XState::pointer(server.display(), x, y, &m));
    if (mask != nullptr) *mask = m;
  }

  XvfbServer server;
  XEventRecorder recorder;
  ChildProcess helper;
  std::vector<uint32_t> mapping;
};

class InputEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { session = new Session(); }
  static void TearDownTestSuite() {
    delete session;
    session = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(session->recorder.ok());
    ASSERT_FALSE(session->mapping.empty());
    // Leave buttons up and the pointer in a known place between tests.
    session->ask({{"type", "mouse_up"}, {"x", 1}, {"y", 1}, {"button", "right"}});
    session->ask({{"type", "mouse_up"}, {"x", 1}, {"y", 1}});
    session->recorder.clear();
  }
  static Session* session;
};
Session* InputEndToEnd::session = nullptr;

std::vector<std::pair<int, int>> buttons(const std::vector<RecordedEvent>& events) {
  std::vector<std::pair<int, int>> result;  // (+button for press, -button for release)
  for (const RecordedEvent& e : events) {
    if (e.type == XCB_BUTTON_PRESS) result.emplace_back(e.detail, 1);
    if (e.type == XCB_BUTTON_RELEASE) result.emplace_back(e.detail, 0);
  }
  return result;
}

TEST_F(InputEndToEnd, PointerMovesAndDeltas) {
  struct Case {
    json request;
    double answerX, answerY;
    int pointerX, pointerY;
  };
  const Case cases[] = {
      {{{"type", "mouse_move"}, {"x", 100}, {"y", 200}}, 100, 200, 100, 200},
      {{{"type", "mouse_move"}, {"x", 10.6}, {"y", 20.4}}, 10.6, 20.4, 11, 20},
      {{{"type", "mouse_delta"}, {"dx", 5}, {"dy", -3}}, 16, 17, 16, 17},
      {{{"type", "mouse_delta"}}, 16, 17, 16, 17},
      {{{"type", "mouse_move"}, {"x", 5}}, 16, 17, 16, 17},
      // The server keeps the pointer on the screen; the answer tells the target as asked.
      {{{"type", "mouse_move"}, {"x", -50}, {"y", 5000}}, -50, 5000, 0, 799},
      {{{"type", "mouse_move"}, {"x", 1e9}, {"y", 3}}, 1e9, 3, 1279, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.dump());
    const json answer = session->ask(c.request);
    EXPECT_EQ(answer["ok"], true);
    EXPECT_EQ(answer["applied"], true);
    EXPECT_EQ(answer["type"], c.request["type"]);
    EXPECT_EQ(answer["x"].get<double>(), c.answerX);
    EXPECT_EQ(answer["y"].get<double>(), c.answerY);
    int x = -1, y = -1;
    session->pointer(&x, &y);
    EXPECT_EQ(x, c.pointerX);
    EXPECT_EQ(y, c.pointerY);
  }
  // The window saw the pointer arrive where the first request sent it.
  const std::vector<RecordedEvent> events = session->recorder.take();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().type, XCB_MOTION_NOTIFY);
  EXPECT_EQ(events.front().rootX, 100);
  EXPECT_EQ(events.front().rootY, 200);
}

TEST_F(InputEndToEnd, ButtonsAndClicks) {
  using Buttons = std::vector<std::pair<int, int>>;
  const struct {
    json request;
    Buttons expected;
  } cases[] = {
      {{{"type", "mouse_click"}, {"x", 300}, {"y", 310}}, {{1, 1}, {1, 0}}},
      {{{"type", "mouse_click"}, {"x", 320}, {"y", 330}, {"button", "right"}}, {{3, 1}, {3, 0}}},
      {{{"type", "mouse_click"}, {"x", 320}, {"y", 330}, {"button", "middle"}}, {{1, 1}, {1, 0}}},
      {{{"type", "mouse_down"}, {"x", 340}, {"y", 350}, {"button", "right"}}, {{3, 1}}},
      {{{"type", "mouse_up"}, {"x", 341}, {"y", 351}, {"button", "right"}}, {{3, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.dump());
    const json answer = session->ask(c.request);
    EXPECT_EQ(answer["ok"], true);
    const std::vector<RecordedEvent> events = session->recorder.take();
    EXPECT_EQ(buttons(events), c.expected);
    for (const RecordedEvent& e : events) {
      if (e.type == XCB_BUTTON_PRESS || e.type == XCB_BUTTON_RELEASE) {
        EXPECT_EQ(e.rootX, c.request["x"].get<int>());
        EXPECT_EQ(e.rootY, c.request["y"].get<int>());
      }
    }
  }
}

TEST_F(InputEndToEnd, ButtonStaysDownUntilItsMouseUp) {
  session->ask({{"type", "mouse_down"}, {"x", 50}, {"y", 60}});
  int x = 0, y = 0;
  uint16_t mask = 0;
  session->pointer(&x, &y, &mask);
  EXPECT_NE(mask & button1Mask, 0);
  session->ask({{"type", "mouse_move"}, {"x", 70}, {"y", 80}});
  session->ask({{"type", "mouse_up"}, {"x", 90}, {"y", 100}});
  session->pointer(&x, &y, &mask);
  EXPECT_EQ(mask & button1Mask, 0);
  const std::vector<RecordedEvent> events = session->recorder.take();
  bool dragged = false;
  for (const RecordedEvent& e : events) {
    if (e.type == XCB_MOTION_NOTIFY && e.rootX == 70 && e.rootY == 80) {
      dragged = (e.state & button1Mask) != 0;
    }
  }
  EXPECT_TRUE(dragged);
  EXPECT_EQ(buttons(events), (std::vector<std::pair<int, int>>{{1, 1}, {1, 0}}));
}

TEST_F(InputEndToEnd, WheelClicks) {
  for (const WheelCase& c : wheelCases()) {
    SCOPED_TRACE(c.dy.dump());
    const json answer = session->ask({{"type", "scroll"}, {"dy", c.dy}, {"dx", 50}});
    EXPECT_EQ(answer,
              (json{{"ok", true}, {"applied", true}, {"trusted", true}, {"type", "scroll"}}));
    std::vector<std::pair<int, int>> expected;
    for (int i = 0; i < c.clicks; ++i) {
      expected.emplace_back(c.button, 1);
      expected.emplace_back(c.button, 0);
    }
    EXPECT_EQ(buttons(session->recorder.take()), expected);
  }
}

TEST_F(InputEndToEnd, KeyTapsWithModifiers) {
  for (const testing::KeyTapCase& c : testing::keyTapCases()) {
    SCOPED_TRACE(c.request.dump());
    const json answer = session->ask(c.request);
    EXPECT_EQ(answer, (json{{"ok", true},
                            {"applied", true},
                            {"trusted", true},
                            {"type", "key_tap"},
                            {"key", c.request["key"]}}));
    EXPECT_EQ(keys(session->recorder.take()), c.keys);
  }
}

TEST_F(InputEndToEnd, UnknownKeyPostsNothing) {
  const json answer = session->ask({{"type", "key_tap"}, {"key", "F1"}});
  EXPECT_EQ(answer, (json{{"ok", false},
                          {"applied", false},
                          {"trusted", true},
                          {"type", "key_tap"},
                          {"key", "F1"},
                          {"reason", "unsupported_key"}}));
  EXPECT_TRUE(session->recorder.take().empty());
}

TEST_F(InputEndToEnd, ExactTextReceived) {
  for (const TextInputCase& c : textInputCases()) {
    SCOPED_TRACE(c.text);
    const json answer = session->ask({{"type", "text_input"}, {"text", c.text}});
    EXPECT_EQ(answer, (json{{"ok", true},
                            {"applied", true},
                            {"trusted", true},
                            {"type", "text_input"},
                            {"textLength", c.length}}));
    const std::vector<RecordedEvent> events = session->recorder.take();
    EXPECT_EQ(XEventRecorder::typedText(events), c.received);
    // Text goes out without modifiers, each press released before the next.
    int down = 0;
    for (const RecordedEvent& e : events) {
      if (e.type == XCB_KEY_PRESS) {
        EXPECT_EQ(e.state & 0xff, 0);
        EXPECT_EQ(++down, 1);
      } else if (e.type == XCB_KEY_RELEASE) {
        --down;
      }
    }
  }
}

TEST_F(InputEndToEnd, RequestsAfterFailuresStillWork) {
  EXPECT_EQ(session->ask({{"type", "text_input"}, {"text", ""}})["reason"], "missing_text");
  EXPECT_EQ(session->ask({{"type", "Mouse_Move"}})["reason"], "unsupported_input_type");
  EXPECT_EQ(session->ask({{"type", "text_input"}, {"text", "ok"}})["ok"], true);
  EXPECT_EQ(XEventRecorder::typedText(session->recorder.take()), "ok");
}

TEST(InputEndToEndMonitors, NormalisedCoordinatesOnVirtualMonitors) {
  Session s;
  const auto xrandr = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "xrandr");
    const RunResult r = runProcess(args, onDisplay(s.server.display()));
    ASSERT_EQ(r.exitStatus, 0) << r.err;
  };
  xrandr({"--setmonitor", "left", "640/1x800/1+0+0", "none"});
  xrandr({"--setmonitor", "*right", "400/1x300/1+640+100", "none"});
  const uint32_t left = XState::atom(s.server.display(), "left");
  const uint32_t right = XState::atom(s.server.display(), "right");
  ASSERT_NE(left, 0u);

  const struct {
    json request;
    int x, y;
  } cases[] = {
      {{{"x", 0.5}, {"y", 0.25}, {"displayId", left}}, 320, 200},
      {{{"x", 0.5}, {"y", 0.5}, {"displayId", right}}, 840, 250},
      {{{"x", 0}, {"y", 0}, {"displayId", right}}, 640, 100},
      {{{"x", 1}, {"y", 1}, {"displayId", right}}, 1040, 400},
      {{{"x", -3}, {"y", 7}, {"displayId", left}}, 0, 800},
      // The primary monitor is the main display.
      {{{"x", 0.25}, {"y", 0.5}}, 740, 250},
      {{{"x", 0.25}, {"y", 0.5}, {"displayId", 12345}}, 740, 250},
  };
  for (const auto& c : cases) {
    json request = c.request;
    request["type"] = "mouse_click";
    request["coordinateSpace"] = "normalized";
    SCOPED_TRACE(request.dump());
    const json answer = s.ask(request);
    EXPECT_EQ(answer["ok"], true);
    EXPECT_EQ(answer["x"].get<double>(), c.x);
    EXPECT_EQ(answer["y"].get<double>(), c.y);
    const std::vector<RecordedEvent> events = s.recorder.take();
    ASSERT_EQ(buttons(events).size(), 2u);
    for (const RecordedEvent& e : events) {
      if (e.type == XCB_BUTTON_PRESS) {
        EXPECT_EQ(e.rootX, std::min(c.x, 1279));
        EXPECT_EQ(e.rootY, std::min(c.y, 799));
      }
    }
  }
}

TEST(InputEndToEndKeymap, TextOnAKeymapWithoutFreeKeycodes) {
  Session s;
  // Fill every free keycode, so that characters outside the keymap must borrow keys.
  const std::vector<uint32_t>& mapping = s.mapping;
  const uint32_t perKeycode = mapping.at(0);
  std::string fill;
  for (size_t k = 0; 1 + (k + 1) * perKeycode <= mapping.size(); ++k) {
    bool empty = true;
    for (uint32_t i = 0; i < perKeycode; ++i) empty = empty && mapping[1 + k * perKeycode + i] == 0;
    if (empty) fill += "keycode " + std::to_string(8 + k) + " = F20\n";
  }
  ASSERT_FALSE(fill.empty());
  const RunResult r = runProcess({"xmodmap", "-"}, onDisplay(s.server.display(), fill));
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  s.mapping = XState::keyboardMapping(s.server.display());
  s.recorder.clear();

  const std::string text = "\u4E2D\u6587 \u00e9\u00c9 \u0410\u0411\u0412\u0413\u0414\u0415 aA";
  const json answer = s.ask({{"type", "text_input"}, {"text", text}});
  EXPECT_EQ(answer["ok"], true);
  EXPECT_EQ(XEventRecorder::typedText(s.recorder.take()), text);
}

// Text arrives exactly as sent, and a key tap names a key, whatever layout, group and lock state
// the keyboard is in. Each case sets its keymap with setxkbmap and its locks through XKB, as a
// layout switch and the Caps Lock and Num Lock keys do; the request must leave both as they were.
TEST(InputEndToEndLayouts, TextArrivesExactlyOnEveryLayoutAndLockState) {
  Session s;
  constexpr int capsLock = XCB_MOD_MASK_LOCK;
  constexpr int numLock = XCB_MOD_MASK_2;
  const std::string mixed = "Ab\u0444\u0416 \u00e9\u00c9 \U0001F600 1+2";
  const struct {
    const char* layouts;
    int group;
    int locks;
    json request;
    std::string received;
  } cases[] = {
      // The second group locked: its keys give Cyrillic, so Latin letters need keys of their own.
      {"us,ru", 1, 0, {{"type", "text_input"}, {"text", "ab"}}, "ab"},
      {"us,ru", 1, 0, {{"type", "text_input"}, {"text", mixed}}, mixed},
      {"us,ru", 1, capsLock, {{"type", "text_input"}, {"text", mixed}}, mixed},
      {"us,ru",
       1,
       capsLock | numLock,
       {{"type", "text_input"}, {"text", "ab\u0444\u0424 19"}},
       "ab\u0444\u0424 19"},
      {"us,ru", 0, capsLock, {{"type", "text_input"}, {"text", mixed}}, mixed},
      {"us",
       0,
       capsLock,
       {{"type", "text_input"}, {"text", "Hello, World! a~z \u00e0\u0101\u0430"}},
       "Hello, World! a~z \u00e0\u0101\u0430"},
      {"us", 0, numLock, {{"type", "text_input"}, {"text", "123 *-+ abc"}}, "123 *-+ abc"},
      {"us,de",
       1,
       0,
       {{"type", "text_input"}, {"text", "zy@\u00e4\u00c4\u00df"}},
       "zy@\u00e4\u00c4\u00df"},
      {"us,de",
       1,
       capsLock | numLock,
       {{"type", "text_input"}, {"text", "zY@\u00e4\u00c4\u00df"}},
       "zY@\u00e4\u00c4\u00df"},
      // A key tap presses the key its code names: on the Russian group the "a" key types the
      // Russian letter that group has there.
      {"us,ru", 1, 0, {{"type", "key_tap"}, {"key", "a"}}, "\u0444"},
      {"us,ru", 1, capsLock, {{"type", "key_tap"}, {"key", "a"}}, "\u0424"},
      {"us,ru", 0, 0, {{"type", "key_tap"}, {"key", "a"}}, "a"},
  };
  const std::string& display = s.server.display();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.layouts) + " group " + std::to_string(c.group) + " locks " +
                 std::to_string(c.locks) + " " + c.request.dump());
    const RunResult r = runProcess({"setxkbmap", "-layout", c.layouts}, onDisplay(display));
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const XState::KeyboardLocks locks{c.group, c.locks};
    ASSERT_TRUE(XState::lockKeyboard(display, locks));
    s.mapping = XState::keyboardMapping(display);
    s.recorder.clear();
    const json answer = s.ask(c.request);
    EXPECT_EQ(answer["ok"], true);
    const std::vector<RecordedEvent> events = s.recorder.take();
    EXPECT_EQ(XEventRecorder::typedText(events), c.received);
    EXPECT_EQ(XState::keyboardLocks(display), locks);
    // Where Caps Lock reaches a key, each client turns it to upper case by its own rules; a text
    // key may only meet it with a character that upper case leaves as it is.
    for (const RecordedEvent& e : events) {
      const auto cp = static_cast<utf8proc_int32_t>(xkb_keysym_to_utf32(e.keysym));
      if (e.type == XCB_KEY_PRESS && e.lockUnused && c.request["type"] == "text_input") {
        EXPECT_EQ(utf8proc_toupper(cp), cp) << XEventRecorder::keysymName(e.keysym);
      }
    }
  }
}

TEST(InputEndToEndOneShot, ClickAsOneProcess) {
  XvfbServer server;
  XEventRecorder recorder(server.display());
  const RunResult r = runProcess(
      {binaryPath("HalvorineInputHelper")},
      onDisplay(server.display(), R"({"type":"mouse_click","x":12,"y":34,"button":"right"})"));
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(json::parse(r.out), (json{{"ok", true},
                                      {"applied", true},
                                      {"trusted", true},
                                      {"type", "mouse_click"},
                                      {"x", 12},
                                      {"y", 34}}));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(buttons(recorder.take()), (std::vector<std::pair<int, int>>{{3, 1}, {3, 0}}));
}

}  // namespace
}  // namespace halvorine::testing

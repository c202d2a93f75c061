// The Wayland backend against a real compositor: headless sway, with an X client under its
// Xwayland that records what the virtual pointer and keyboard deliver, and a picture shown full
// screen for screencopy. weston stands for a compositor without the input protocols.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "process.h"
#include "sway_server.h"
#include "wayland/wayland_connection.h"
#include "wayland/wayland_keyboard.h"
#include "wayland/wayland_keymap.h"
#include "wayland/wayland_pointer.h"
#include "wayland/wayland_screencopy.h"
#include "x_event_recorder.h"
#include "xvfb_server.h"
#include "xwayland_events.h"

namespace halvorine::testing {
namespace {

using namespace halvorine::wayland;

constexpr uint32_t headless1 = 2675618608u;
constexpr uint16_t button1Mask = XCB_BUTTON_MASK_1;
constexpr uint16_t button3Mask = XCB_BUTTON_MASK_3;

class WaylandEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(runAsWaylandTestUser()); }

  void SetUp() override {
    ASSERT_NO_THROW(server = std::make_unique<SwayServer>());
    // The test's own pointer stays on the seat for the whole run (sway 1.7 can crash when the
    // seat's only pointer device comes and goes while Xwayland runs); it also parks the cursor in
    // the bottom right corner, where screencopy frames show it.
    keeperConnection = std::make_unique<Connection>(options());
    keeper = std::make_unique<Pointer>(*keeperConnection);
    ASSERT_TRUE(keeper->moveTo(Point{1279, 799}));
    ASSERT_TRUE(keeper->finish());
    connection = std::make_unique<Connection>(options());
  }

  void TearDown() override {
    connection.reset();
    keeper.reset();
    keeperConnection.reset();
    server.reset();
  }

  Connection::Options options() const {
    return Connection::Options{server->waylandDisplay(), std::chrono::milliseconds(2000)};
  }

  // A recording window under Xwayland that has the focus.
  std::unique_ptr<XEventRecorder> recorder() {
    auto r = std::make_unique<XEventRecorder>(server->xDisplay(), true);
    EXPECT_TRUE(r->ok());
    return r;
  }

  std::unique_ptr<SwayServer> server;
  std::unique_ptr<Connection> keeperConnection;
  std::unique_ptr<Pointer> keeper;
  std::unique_ptr<Connection> connection;
};

// (+button, state) for presses and (-button, state) for releases.
std::vector<std::pair<int, int>> buttons(const std::vector<RecordedEvent>& events) {
  std::vector<std::pair<int, int>> result;
  for (const RecordedEvent& e : events) {
    if (e.type == XCB_BUTTON_PRESS) result.emplace_back(e.detail, e.state & 0x1f00);
    if (e.type == XCB_BUTTON_RELEASE) result.emplace_back(-e.detail, e.state & 0x1f00);
  }
  return result;
}

// Key events as "+Key state" / "-Key", naming each key by its unshifted keysym.
std::vector<std::string> keys(const std::vector<RecordedEvent>& events) {
  std::vector<std::string> result;
  for (const RecordedEvent& e : events) {
    if (e.type == XCB_KEY_PRESS) {
      result.push_back("+" + XEventRecorder::keysymName(e.baseKeysym) + " " +
                       std::to_string(e.state & 0xff));
    } else if (e.type == XCB_KEY_RELEASE) {
      result.push_back("-" + XEventRecorder::keysymName(e.baseKeysym));
    }
  }
  return result;
}

TEST_F(WaylandEndToEnd, OutputsTrustAndASecondOutput) {
  EXPECT_TRUE(connection->trusted());
  std::vector<Output> outputs = connection->outputs();
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0].name, "HEADLESS-1");
  EXPECT_EQ(outputs[0].displayId, headless1);
  EXPECT_EQ(outputs[0].bounds, (Rect{0, 0, 1280, 800}));

  ASSERT_TRUE(server->command("create_output"));
  ASSERT_TRUE(server->command("output HEADLESS-2 resolution 640x480 position 1280 0"));
  outputs = connection->refreshOutputs();
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(outputs[1].name, "HEADLESS-2");
  EXPECT_EQ(outputs[1].displayId, displayIdForName("HEADLESS-2"));
  EXPECT_EQ(outputs[1].bounds, (Rect{1280, 0, 640, 480}));
  EXPECT_EQ(mainOutput(outputs)->name, "HEADLESS-1");
  EXPECT_EQ(layoutBounds(outputs), (Rect{0, 0, 1920, 800}));

  // The output to the left of the origin does not become the main one.
  ASSERT_TRUE(server->command("output HEADLESS-2 position 0 0"));
  ASSERT_TRUE(server->command("output HEADLESS-1 position 640 0"));
  outputs = connection->refreshOutputs();
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(mainOutput(outputs)->name, "HEADLESS-2");
}

TEST_F(WaylandEndToEnd, PointerPositionsAndRelativeMotion) {
  auto r = recorder();
  Pointer pointer(*connection);
  EXPECT_EQ(pointer.position(), (Point{0, 0}));
  // The window takes pointer events once the compositor has placed it: wiggle until it does.
  for (int i = 0; i < 100 && motions(r->take()).empty(); ++i) {
    ASSERT_TRUE(pointer.moveTo(Point{double(1 + i % 2), 1}));
    ASSERT_TRUE(pointer.finish());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  r->clear();
  struct Case {
    std::optional<Point> to;  // absolute, else relative by `by`
    Point by;
    Point remembered;
    std::pair<int, int> seen;
  };
  const Case cases[] = {
      {Point{100, 200}, {}, {100, 200}, {100, 200}},
      {Point{10.6, 20.4}, {}, {10.6, 20.4}, {11, 20}},
      {std::nullopt, {5, -3}, {15.6, 17.4}, {16, 17}},
      {Point{0, 0}, {}, {0, 0}, {0, 0}},
      // Outside the outputs the compositor keeps the pointer at the edge; the remembered
      // position is the target as asked.
      {Point{-50, 5000}, {}, {-50, 5000}, {0, 799}},
      {Point{1e9, 3}, {}, {1e9, 3}, {1279, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to ? "to " + std::to_string(c.to->x) + "," + std::to_string(c.to->y)
                      : "by " + std::to_string(c.by.x) + "," + std::to_string(c.by.y));
    ASSERT_TRUE(c.to ? pointer.moveTo(*c.to) : pointer.moveBy(c.by.x, c.by.y));
    ASSERT_TRUE(pointer.finish());
    EXPECT_EQ(pointer.position(), c.remembered);
    const auto seen = motions(takeUntil(*r, [&](const std::vector<RecordedEvent>& e) {
      return !motions(e).empty() && motions(e).back() == c.seen;
    }));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), c.seen);
  }
}

TEST_F(WaylandEndToEnd, ButtonsAndWheel) {
  auto r = recorder();
  Pointer pointer(*connection);
  ASSERT_TRUE(pointer.moveTo(Point{300, 300}));
  ASSERT_TRUE(pointer.finish());
  r->clear();

  ASSERT_TRUE(pointer.button(button::left, true));
  ASSERT_TRUE(pointer.button(button::left, false));
  ASSERT_TRUE(pointer.button(button::right, true));
  ASSERT_TRUE(pointer.button(button::right, false));
  ASSERT_TRUE(pointer.finish());
  const auto buttonsAtLeast = [&](size_t n) {
    return buttons(
        takeUntil(*r, [n](const std::vector<RecordedEvent>& e) { return buttons(e).size() >= n; }));
  };
  EXPECT_EQ(buttonsAtLeast(4), (std::vector<std::pair<int, int>>{
                                   {1, 0}, {-1, button1Mask}, {3, 0}, {-3, button3Mask}}));

  // Positive deltas scroll up (button 4) like the X11 backend; one click per 40, rounded up.
  struct Case {
    int32_t delta;
    int button;
    int clicks;
  };
  const Case cases[] = {{40, 4, 1}, {41, 4, 2}, {120, 4, 3}, {-1, 5, 1}, {-80, 5, 2}, {0, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delta);
    ASSERT_TRUE(pointer.wheel(c.delta));
    ASSERT_TRUE(pointer.finish());
    std::vector<std::pair<int, int>> expected;
    for (int i = 0; i < c.clicks; ++i) {
      expected.emplace_back(c.button, 0);
      expected.emplace_back(-c.button, 1 << (c.button + 7));
    }
    EXPECT_EQ(buttonsAtLeast(expected.size()), expected);
  }
}

TEST_F(WaylandEndToEnd, AbsoluteMotionSpansEveryOutput) {
  ASSERT_TRUE(server->command("create_output"));
  ASSERT_TRUE(server->command("output HEADLESS-2 resolution 640x480 position 1280 0"));
  ASSERT_EQ(connection->refreshOutputs().size(), 2u);
  auto r = recorder();
  Pointer pointer(*connection);
  // The recording window covers HEADLESS-1 only: go to the second output, then come back by a
  // relative move, which shows where the pointer was.
  ASSERT_TRUE(pointer.moveTo(Point{1500, 100}));
  ASSERT_TRUE(pointer.moveBy(-400, 10));
  ASSERT_TRUE(pointer.finish());
  EXPECT_EQ(pointer.position(), (Point{1100, 110}));
  const auto seen = motions(takeUntil(*r, [](const std::vector<RecordedEvent>& e) {
    return !motions(e).empty() && motions(e).back() == std::pair<int, int>{1100, 110};
  }));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), (std::pair<int, int>{1100, 110}));
}

TEST_F(WaylandEndToEnd, KeysWithModifiersAndNothingLeftDown) {
  auto r = recorder();
  Keyboard keyboard(*connection);
  // Shift + Control + a, as a key table entry with modifiers presses it.
  ASSERT_TRUE(keyboard.pressKey(30, modifier::shift | modifier::control));
  ASSERT_TRUE(keyboard.releaseKey(30));
  ASSERT_TRUE(keyboard.pressKey(28, 0));
  ASSERT_TRUE(keyboard.releaseKey(28));
  ASSERT_TRUE(keyboard.finish());
  const auto keysAtLeast = [&](size_t n) {
    return keys(
        takeUntil(*r, [n](const std::vector<RecordedEvent>& e) { return keys(e).size() >= n; }));
  };
  EXPECT_EQ(keysAtLeast(8),
            (std::vector<std::string>{"+Shift_L 0", "+Control_L 1", "+a 5", "-a", "-Control_L",
                                      "-Shift_L", "+Return 0", "-Return"}));

  // A key and its modifiers that a request leaves down go up at its end.
  ASSERT_TRUE(keyboard.pressKey(105, modifier::alt | modifier::super));
  ASSERT_TRUE(keyboard.finish());
  EXPECT_EQ(keysAtLeast(6), (std::vector<std::string>{"+Alt_L 0", "+Super_L 8", "+Left 72", "-Left",
                                                      "-Super_L", "-Alt_L"}));
  EXPECT_EQ(XState::keysDown(server->xDisplay()), std::vector<uint8_t>{});
}

// The text typed into the window, once as many characters as expected have arrived (or the
// wait of takeUntil is over), so that late keys are not taken for lost ones.
std::string typedInto(XEventRecorder& r, size_t codePoints) {
  return XEventRecorder::typedText(takeUntil(r, [codePoints](const std::vector<RecordedEvent>& e) {
    return codePointsOf(XEventRecorder::typedText(e)).size() >= codePoints;
  }));
}

// The first text of a fresh keyboard on a seat without any: nothing may be lost while the new
// keyboard and its keymap reach Xwayland.
TEST_F(WaylandEndToEnd, TextIsTypedExactly) {
  auto r = recorder();
  Keyboard keyboard(*connection);
  const char* texts[] = {
      "Hello, World! 123",
      "d\xc3\xa9j\xc3\xa0 vu \xc3\x85ngstr\xc3\xb6m",                   // déjà vu Ångström
      "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e \xe4\xb8\xad\xe6\x96\x87",  // 日本語 中文
      "\xf0\x9f\x98\x80\xf0\x9f\x91\x8d",                               // two emoji
      "Tab\there\r\nnext line\n",
      "MiXeD CaSe ~!@#$%^&*()_+{}|:\"<>?",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(keyboard.typeText(codePointsOf(text)));
    ASSERT_TRUE(keyboard.finish());
    std::string expected = text;
    for (size_t p; (p = expected.find("\r\n")) != std::string::npos;) expected.erase(p, 1);
    EXPECT_EQ(typedInto(*r, codePointsOf(expected).size()), expected);
  }
  EXPECT_EQ(XState::keysDown(server->xDisplay()), std::vector<uint8_t>{});
}

// More distinct characters than the keymap has spare keys: the keymap changes mid-text, and
// keys typed before the change still read right.
TEST_F(WaylandEndToEnd, LongTextsChangeTheKeymapWithoutLosingCharacters) {
  auto r = recorder();
  Keyboard keyboard(*connection);
  std::u32string text;
  for (char32_t cp = 0x4e00; cp < 0x4e00 + HelperKeymap::spareKeyCount() + 40; ++cp) {
    text += cp;
  }
  text += text.substr(0, 20);  // the first ones again, after they lost their keys
  ASSERT_TRUE(keyboard.typeText(text));
  ASSERT_TRUE(keyboard.finish());
  EXPECT_GE(keyboard.uploads(), 3u);
  std::u32string typed = codePointsOf(typedInto(*r, text.size()));
  EXPECT_EQ(typed.size(), text.size());
  const auto differs = std::mismatch(typed.begin(), typed.end(), text.begin(), text.end());
  EXPECT_TRUE(typed == text) << "first difference at " << (differs.first - typed.begin());
  EXPECT_EQ(XState::keysDown(server->xDisplay()), std::vector<uint8_t>{});
}

// Xwayland loads every keymap it receives into its X server with xkbcomp and quietly keeps the
// old mapping when the server refuses it, so the helper's keymap must load into a plain X server
// with its spare keys as placed.
TEST(WaylandKeymapOnAnXServer, LoadsWithItsSpareKeys) {
  XvfbServer x;
  ASSERT_TRUE(x.running());
  HelperKeymap keymap;
  const std::vector<uint32_t> syms = {'A', '~', 0xe9, 0x01000000 + 0x65e5, 0x01000000 + 0x1F600};
  ASSERT_EQ(keymap.place(syms).placed, syms.size());
  char path[] = "/tmp/halvorine-keymap-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << keymap.text();
  const RunResult loaded = runProcess({"xkbcomp", "-w0", path, x.display()});
  unlink(path);
  ASSERT_EQ(loaded.exitStatus, 0) << loaded.err;

  const std::vector<uint32_t> mapping = XState::keyboardMapping(x.display());
  ASSERT_FALSE(mapping.empty());
  const size_t perKeycode = mapping[0];
  const auto firstKeysym = [&](uint32_t xKeycode) -> uint32_t {
    const size_t at = 1 + (xKeycode - 8) * perKeycode;  // Xvfb's keycodes start at 8
    return at < mapping.size() ? mapping[at] : 0;
  };
  for (const uint32_t sym : syms) {
    SCOPED_TRACE(sym);
    EXPECT_EQ(firstKeysym(*keymap.keyFor(sym) + 8), sym);
  }
  EXPECT_EQ(firstKeysym(30 + 8), uint32_t{'a'});  // the layout keys are there as well
}

// A picture of four coloured quarters shown full screen by an X client.
class PictureWindow {
 public:
  struct Colour {
    uint8_t r, g, b;
  };
  static constexpr Colour quarters[4] = {
      {200, 30, 40}, {20, 180, 60}, {30, 60, 220}, {240, 220, 30}};

  explicit PictureWindow(const std::string& display) {
    c_ = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c_) != 0) return;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    const uint16_t w = screen->width_in_pixels, h = screen->height_in_pixels;
    const xcb_pixmap_t pixmap = xcb_generate_id(c_);
    xcb_create_pixmap(c_, screen->root_depth, pixmap, screen->root, w, h);
    const xcb_gcontext_t gc = xcb_generate_id(c_);
    xcb_create_gc(c_, gc, pixmap, 0, nullptr);
    for (int q = 0; q < 4; ++q) {
      const Colour& col = quarters[q];
      const uint32_t pixel = (uint32_t{col.r} << 16) | (uint32_t{col.g} << 8) | col.b;
      xcb_change_gc(c_, gc, XCB_GC_FOREGROUND, &pixel);
      const xcb_rectangle_t rect{static_cast<int16_t>(q % 2 == 0 ? 0 : w / 2),
                                 static_cast<int16_t>(q < 2 ? 0 : h / 2),
                                 static_cast<uint16_t>(w / 2), static_cast<uint16_t>(h / 2)};
      xcb_poly_fill_rectangle(c_, pixmap, gc, 1, &rect);
    }
    window_ = xcb_generate_id(c_);
    const uint32_t values[] = {pixmap};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, w, h, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXMAP,
                      values);
    xcb_map_window(c_, window_);
    xcb_flush(c_);
  }
  ~PictureWindow() {
    if (c_ != nullptr) xcb_disconnect(c_);
  }

 private:
  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = 0;
};

TEST_F(WaylandEndToEnd, ScreencopyOfAPictureShownFullScreen) {
  PictureWindow picture(server->xDisplay());
  Screencopy screencopy(*connection);
  // The window shows once sway has mapped it and Xwayland has drawn it: try for a while.
  const auto quarterAt = [&](uint32_t x, uint32_t y) {
    const Screencopy::Image image = screencopy.image();
    const uint8_t* p = image.pixels + size_t{y} * image.bytesPerRow + size_t{x} * 4;
    return PictureWindow::Colour{p[2], p[1], p[0]};
  };
  const auto same = [](PictureWindow::Colour a, PictureWindow::Colour b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
  };
  bool shown = false;
  for (int attempt = 0; attempt < 100 && !shown; ++attempt) {
    ASSERT_EQ(screencopy.capture(headless1), Screencopy::none);
    shown = same(quarterAt(10, 10), PictureWindow::quarters[0]);
    if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(shown);
  const Screencopy::Image image = screencopy.image();
  EXPECT_EQ(image.width, 1280u);
  EXPECT_EQ(image.height, 800u);
  EXPECT_EQ(image.bytesPerRow, 1280u * 4);
  const uint8_t* before = image.pixels;
  // Sample points of each quarter, away from the parked cursor at the bottom right corner.
  const std::pair<uint32_t, uint32_t> points[4][2] = {
      {{0, 0}, {639, 399}},
      {{640, 0}, {1279, 399}},
      {{0, 400}, {639, 799}},
      {{640, 400}, {1200, 760}},
  };
  for (int q = 0; q < 4; ++q) {
    for (const auto& [x, y] : points[q]) {
      const auto c = quarterAt(x, y);
      EXPECT_TRUE(same(c, PictureWindow::quarters[q]))
          << x << "," << y << ": " << int(c.r) << " " << int(c.g) << " " << int(c.b);
    }
  }
  // The next capture reuses the shared memory and the pixel rows.
  ASSERT_EQ(screencopy.capture(headless1), Screencopy::none);
  EXPECT_EQ(screencopy.image().pixels, before);
  EXPECT_EQ(screencopy.capture(12345), Screencopy::noSuchOutput);
}

TEST_F(WaylandEndToEnd, ANewCompositorOnTheSameSocketIsUsedAgain) {
  Pointer pointer(*connection);
  Keyboard keyboard(*connection);
  Screencopy screencopy(*connection);
  ASSERT_TRUE(pointer.moveTo(Point{50, 60}));
  ASSERT_TRUE(pointer.finish());
  EXPECT_EQ(connection->generation(), 1u);

  keeper.reset();
  keeperConnection.reset();
  server->stop();
  EXPECT_FALSE(connection->trusted());
  EXPECT_FALSE(pointer.moveTo(Point{1, 1}));
  EXPECT_FALSE(keyboard.typeText(U"x"));
  EXPECT_EQ(screencopy.capture(headless1), Screencopy::noCompositor);

  ASSERT_NO_THROW(server->restart());
  EXPECT_TRUE(connection->trusted());
  EXPECT_GE(connection->generation(), 2u);
  keeperConnection = std::make_unique<Connection>(options());
  keeper = std::make_unique<Pointer>(*keeperConnection);
  ASSERT_TRUE(keeper->moveTo(Point{1279, 799}));
  auto r = recorder();
  ASSERT_TRUE(pointer.moveTo(Point{70, 80}));
  ASSERT_TRUE(keyboard.typeText(U"ok"));
  ASSERT_TRUE(pointer.finish() && keyboard.finish());
  const auto events = takeUntil(*r, [](const std::vector<RecordedEvent>& e) {
    return XEventRecorder::typedText(e).size() >= 2 && !motions(e).empty() &&
           motions(e).back() == std::pair<int, int>{70, 80};
  });
  ASSERT_FALSE(motions(events).empty());
  EXPECT_EQ(motions(events).back(), (std::pair<int, int>{70, 80}));
  EXPECT_EQ(XEventRecorder::typedText(events), "ok");
  EXPECT_EQ(screencopy.capture(headless1), Screencopy::none);
}

TEST_F(WaylandEndToEnd, ACompositorThatStopsAnsweringTimesOut) {
  Connection quick(Connection::Options{server->waylandDisplay(), std::chrono::milliseconds(300)});
  Pointer pointer(quick);
  ASSERT_TRUE(pointer.moveTo(Point{5, 5}));
  server->pause();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(pointer.finish());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(quick.lastErrorCode(), ETIMEDOUT);
  server->resume();
  // The next use connects anew.
  EXPECT_TRUE(pointer.moveTo(Point{6, 6}));
  EXPECT_TRUE(pointer.finish());
}

TEST(WaylandWithoutProtocols, WestonIsReachableButNotTrusted) {
  ASSERT_TRUE(runAsWaylandTestUser());
  WestonServer weston;
  ASSERT_TRUE(weston.running());
  Connection connection(Connection::Options{weston.waylandDisplay()});
  ASSERT_NE(connection.get(), nullptr);
  EXPECT_FALSE(connection.trusted());
  EXPECT_EQ(connection.virtualPointerManager(), nullptr);
  EXPECT_EQ(connection.virtualKeyboardManager(), nullptr);
  Pointer pointer(connection);
  EXPECT_FALSE(pointer.moveTo(Point{1, 1}));
  Screencopy screencopy(connection);
  EXPECT_EQ(screencopy.capture(1), Screencopy::noScreencopy);
}

}  // namespace
}  // namespace halvorine::testing

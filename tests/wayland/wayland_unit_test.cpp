// The parts of the Wayland backend that need no compositor: display identifiers and layout, the
// helper's keymap (compiled with xkbcommon as a compositor does), pixel conversion, wheel steps,
// and what happens when no compositor is there (for input and for capture).
#include <gtest/gtest.h>
#include <wayland-client-protocol.h>
#include <xkbcommon/xkbcommon.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <set>
#include <thread>

#include "input_synthesis/key_names.h"
#include "key_table_cases.h"
#include "wayland/wayland_capture_platform.h"
#include "wayland/wayland_connection.h"
#include "wayland/wayland_desktop.h"
#include "wayland/wayland_keyboard.h"
#include "wayland/wayland_keymap.h"
#include "wayland/wayland_pointer.h"
#include "wayland/wayland_screencopy.h"

namespace halvorine::wayland {
namespace {

TEST(WaylandDisplays, DisplayIdIsFnv1aOfTheName) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"HEADLESS-1", 2675618608u},
      {"", 2166136261u},
      {"a", 0xe40c292cu},
  };
  for (const auto& [name, id] : cases) EXPECT_EQ(displayIdForName(name), id) << name;
}

TEST(WaylandDisplays, MainOutputAndLayoutBounds) {
  const auto output = [](const char* name, double x, double y, double w, double h) {
    return Output{name, displayIdForName(name), Rect{x, y, w, h}, nullptr};
  };
  const std::vector<Output> originSecond = {output("DP-2", 1920, 0, 1280, 1024),
                                            output("DP-1", 0, 0, 1920, 1080)};
  ASSERT_NE(mainOutput(originSecond), nullptr);
  EXPECT_EQ(mainOutput(originSecond)->name, "DP-1");
  EXPECT_EQ(layoutBounds(originSecond), (Rect{0, 0, 3200, 1080}));

  const std::vector<Output> noOrigin = {output("A", 100, -50, 800, 600),
                                        output("B", -640, 200, 640, 480)};
  EXPECT_EQ(mainOutput(noOrigin)->name, "A");
  EXPECT_EQ(layoutBounds(noOrigin), (Rect{-640, -50, 1540, 730}));

  EXPECT_EQ(mainOutput({}), nullptr);
  EXPECT_TRUE(layoutBounds({}).isEmpty());
}

// The keymap as the compositor sees it.
struct CompiledKeymap {
  explicit CompiledKeymap(const std::string& text) {
    context = xkb_context_new(static_cast<xkb_context_flags>(XKB_CONTEXT_NO_ENVIRONMENT_NAMES |
                                                             XKB_CONTEXT_NO_DEFAULT_INCLUDES));
    keymap = xkb_keymap_new_from_string(context, text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                        XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (keymap != nullptr) state = xkb_state_new(keymap);
  }
  ~CompiledKeymap() {
    xkb_state_unref(state);
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
  }
  // The keysym of an evdev key, optionally with Shift held.
  uint32_t keysym(uint32_t key, bool shift = false) {
    if (shift) xkb_state_update_key(state, evdev::leftShift + 8, XKB_KEY_DOWN);
    const uint32_t sym = xkb_state_key_get_one_sym(state, key + 8);
    if (shift) xkb_state_update_key(state, evdev::leftShift + 8, XKB_KEY_UP);
    return sym;
  }
  xkb_context* context = nullptr;
  xkb_keymap* keymap = nullptr;
  xkb_state* state = nullptr;
};

TEST(WaylandKeymap, LayoutKeysGiveTheirKeysymsAndModifierKeysTheirModifiers) {
  CompiledKeymap compiled(HelperKeymap().text());
  ASSERT_NE(compiled.state, nullptr);
  struct Case {
    uint32_t key, base, shifted;
  };
  const Case cases[] = {
      {30, 'a', 'A'},           {2, '1', '!'},
      {40, '\'', '"'},          {57, ' ', ' '},
      {28, XKB_KEY_Return, 0},  {105, XKB_KEY_Left, 0},
      {111, XKB_KEY_Delete, 0}, {14, XKB_KEY_BackSpace, 0},
      {88, XKB_KEY_F12, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(compiled.keysym(c.key), c.base);
    if (c.shifted != 0) {
      EXPECT_EQ(compiled.keysym(c.key, true), c.shifted);
    }
    EXPECT_EQ(HelperKeymap::layoutKeyFor(c.base), c.key);
  }
  EXPECT_FALSE(HelperKeymap::layoutKeyFor('A'));  // only with Shift: typed on a spare key

  const std::pair<uint32_t, const char*> modifiers[] = {
      {evdev::leftShift, XKB_MOD_NAME_SHIFT},
      {evdev::leftCtrl, XKB_MOD_NAME_CTRL},
      {evdev::leftAlt, XKB_MOD_NAME_ALT},
      {evdev::leftMeta, XKB_MOD_NAME_LOGO},
  };
  for (const auto& [key, name] : modifiers) {
    SCOPED_TRACE(name);
    xkb_state_update_key(compiled.state, key + 8, XKB_KEY_DOWN);
    EXPECT_EQ(xkb_state_mod_name_is_active(compiled.state, name, XKB_STATE_MODS_EFFECTIVE), 1);
    xkb_state_update_key(compiled.state, key + 8, XKB_KEY_UP);
    EXPECT_EQ(xkb_state_mod_name_is_active(compiled.state, name, XKB_STATE_MODS_EFFECTIVE), 0);
  }
}

// Every name of the helper's key table presses the physical key that gives its keysym in the
// helper's keymap, with no modifier.
TEST(WaylandKeymap, KeyTableNamesPressTheirKeys) {
  CompiledKeymap compiled(HelperKeymap().text());
  ASSERT_NE(compiled.state, nullptr);
  for (const testing::KeyNameCase& c : testing::keyTableKeysyms) {
    const char* name = c.name;
    const uint32_t sym = c.keysym;
    SCOPED_TRACE(name);
    const std::optional<uint16_t> code = keyCodeFor(std::string(name));
    ASSERT_TRUE(code);
    const std::optional<uint32_t> key = evdevKeyForVirtualKey(*code);
    ASSERT_TRUE(key);
    EXPECT_EQ(compiled.keysym(*key), sym);
  }
  EXPECT_FALSE(evdevKeyForVirtualKey(10));  // a code the table does not use
}

TEST(WaylandKeymap, PlacedKeysymsAreTypedWithoutModifiersAndWithShiftAlike) {
  HelperKeymap keymap;
  const std::vector<uint32_t> syms = {'A', 0xe9, 0x01000000 + 0x65e5, 0x01000000 + 0x1F600, 'a'};
  const HelperKeymap::Placement p = keymap.place(syms);
  EXPECT_EQ(p.placed, syms.size());
  EXPECT_TRUE(p.changed);
  CompiledKeymap compiled(keymap.text());
  ASSERT_NE(compiled.state, nullptr);
  for (const uint32_t sym : syms) {
    SCOPED_TRACE(sym);
    const std::optional<uint32_t> key = keymap.keyFor(sym);
    ASSERT_TRUE(key);
    EXPECT_LE(*key + 8, 255u);  // reachable for X clients under Xwayland
    EXPECT_EQ(compiled.keysym(*key), sym);
    if (!HelperKeymap::layoutKeyFor(sym)) {
      EXPECT_EQ(compiled.keysym(*key, true), sym);
    }
  }
  // Placing the same again changes nothing.
  EXPECT_FALSE(keymap.place(syms).changed);
}

TEST(WaylandKeymap, KeysymsKeepTheirKeysAndTheLeastRecentlyUsedAreGivenUp) {
  HelperKeymap keymap;
  const size_t n = HelperKeymap::spareKeyCount();
  const auto cjk = [](size_t i) { return static_cast<uint32_t>(0x01000000 + 0x4e00 + i); };
  std::vector<uint32_t> first;
  for (size_t i = 0; i < n; ++i) first.push_back(cjk(i));
  ASSERT_EQ(keymap.place(first).placed, n);
  const uint32_t keyOfFirst = *keymap.keyFor(cjk(0));
  for (size_t i = 0; i < n; ++i) keymap.markUsed(cjk(i));  // cjk(0) is now the oldest

  // One more keysym: only the oldest one goes, and it was typed since the last settle.
  HelperKeymap::Placement p = keymap.place({cjk(n)});
  EXPECT_TRUE(p.changed);
  EXPECT_TRUE(p.evictedUsed);
  EXPECT_FALSE(keymap.keyFor(cjk(0)));
  EXPECT_EQ(keymap.keyFor(cjk(n)), keyOfFirst);
  for (size_t i = 1; i <= n; ++i) EXPECT_TRUE(keymap.keyFor(cjk(i))) << i;

  // After a settle, giving up a key is harmless.
  keymap.markSettled();
  p = keymap.place({cjk(n + 1)});
  EXPECT_TRUE(p.changed);
  EXPECT_FALSE(p.evictedUsed);

  // More distinct keysyms than spare keys: the front part that fits is placed.
  std::vector<uint32_t> many;
  for (size_t i = 0; i < n + 10; ++i) many.push_back(cjk(1000 + i));
  many.insert(many.begin() + 3, 'x');  // layout keys need no spare key
  p = keymap.place(many);
  EXPECT_EQ(p.placed, n + 1);
  for (size_t i = 0; i < p.placed; ++i) EXPECT_TRUE(keymap.keyFor(many[i])) << i;
}

TEST(WaylandKeymap, CodePointsAndTheirKeysyms) {
  EXPECT_EQ(codePointsOf("a\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80"), U"a\u00e9\u65e5\U0001F600");
  // A stray continuation byte, a truncated sequence, an overlong form and a surrogate.
  EXPECT_EQ(codePointsOf("\x80"), U"\uFFFD");
  EXPECT_EQ(codePointsOf("x\xe6\x97"), U"x\uFFFD\uFFFD");
  EXPECT_EQ(codePointsOf("\xc0\xaf"), U"\uFFFD\uFFFD");
  EXPECT_EQ(codePointsOf("\xed\xa0\x80"), U"\uFFFD\uFFFD\uFFFD");

  const std::pair<char32_t, uint32_t> cases[] = {
      {U'a', 'a'},  {U'\n', XKB_KEY_Return}, {U'\r', XKB_KEY_Return}, {U'\t', XKB_KEY_Tab},
      {0xe9, 0xe9}, {0x20ac, 0x010020ac},    {0x1F600, 0x0101F600},   {0x7f, XKB_KEY_Delete},
  };
  for (const auto& [cp, sym] : cases)
    EXPECT_EQ(keysymForCodePoint(cp), sym) << static_cast<uint32_t>(cp);
}

TEST(WaylandPointer, WheelStepsFollowTheX11Directions) {
  // Positive deltas scroll up, which is negative on the Wayland axis; 40 units per step.
  const std::pair<int32_t, int32_t> cases[] = {
      {0, 0}, {1, -1}, {40, -1}, {41, -2}, {120, -3}, {-1, 1}, {-80, 2}, {-120, 3},
  };
  for (const auto& [delta, steps] : cases) EXPECT_EQ(Pointer::wheelSteps(delta), steps) << delta;
}

// A 2x3 test picture, packed into a format's 32-bit words.
struct Pixel {
  uint8_t r, g, b;
};
const Pixel picture[3][2] = {
    {{255, 0, 0}, {0, 255, 0}},
    {{0, 0, 255}, {12, 34, 56}},
    {{255, 255, 255}, {200, 100, 50}},
};

TEST(WaylandScreencopy, EveryThirtyTwoBitFormatBecomesBgrxRows) {
  struct Case {
    uint32_t format;
    const char* name;
    int redShift, greenShift, blueShift, bits;
  };
  const Case cases[] = {
      {WL_SHM_FORMAT_ARGB8888, "ARGB8888", 16, 8, 0, 8},
      {WL_SHM_FORMAT_XRGB8888, "XRGB8888", 16, 8, 0, 8},
      {WL_SHM_FORMAT_ABGR8888, "ABGR8888", 0, 8, 16, 8},
      {WL_SHM_FORMAT_XBGR8888, "XBGR8888", 0, 8, 16, 8},
      {WL_SHM_FORMAT_RGBA8888, "RGBA8888", 24, 16, 8, 8},
      {WL_SHM_FORMAT_RGBX8888, "RGBX8888", 24, 16, 8, 8},
      {WL_SHM_FORMAT_BGRA8888, "BGRA8888", 8, 16, 24, 8},
      {WL_SHM_FORMAT_BGRX8888, "BGRX8888", 8, 16, 24, 8},
      {WL_SHM_FORMAT_XRGB2101010, "XRGB2101010", 20, 10, 0, 10},
      {WL_SHM_FORMAT_ARGB2101010, "ARGB2101010", 20, 10, 0, 10},
      {WL_SHM_FORMAT_XBGR2101010, "XBGR2101010", 0, 10, 20, 10},
      {WL_SHM_FORMAT_ABGR2101010, "ABGR2101010", 0, 10, 20, 10},
  };
  constexpr uint32_t width = 2, height = 3, stride = 12;  // 4 bytes of padding per row
  for (const Case& c : cases) {
    for (const bool yInvert : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (yInvert ? " y-inverted" : ""));
      std::vector<uint8_t> source(stride * height, 0xAB);
      // Alpha or padding bits set, to show they are ignored.
      const uint32_t rest =
          c.bits == 8 ? 0xFFu << (48 - c.redShift - c.greenShift - c.blueShift) : 0xC0000000u;
      for (uint32_t y = 0; y < height; ++y) {
        const uint32_t sourceRow = yInvert ? height - 1 - y : y;
        for (uint32_t x = 0; x < width; ++x) {
          const Pixel& p = picture[y][x];
          const auto widen = [&](uint8_t v) {
            return c.bits == 8 ? uint32_t{v} : (uint32_t{v} << 2) | (v >> 6);
          };
          const uint32_t word = (widen(p.r) << c.redShift) | (widen(p.g) << c.greenShift) |
                                (widen(p.b) << c.blueShift) | rest;
          std::memcpy(&source[sourceRow * stride + x * 4], &word, 4);
        }
      }
      std::vector<uint8_t> target(width * height * 4, 0);
      ASSERT_TRUE(convertToBgrx(c.format, yInvert, source.data(), width, height, stride,
                                target.data(), width * 4));
      for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
          const uint8_t* out = &target[(y * width + x) * 4];
          const Pixel& p = picture[y][x];
          EXPECT_EQ(out[0], p.b) << x << "," << y;
          EXPECT_EQ(out[1], p.g) << x << "," << y;
          EXPECT_EQ(out[2], p.r) << x << "," << y;
          EXPECT_EQ(out[3], 255) << x << "," << y;
        }
      }
    }
  }
}

TEST(WaylandScreencopy, OtherFormatsAndShortStridesAreRefused) {
  std::vector<uint8_t> source(64), target(64);
  EXPECT_FALSE(
      convertToBgrx(WL_SHM_FORMAT_RGB565, false, source.data(), 2, 2, 8, target.data(), 8));
  EXPECT_FALSE(isSupportedShmFormat(WL_SHM_FORMAT_RGB888));
  EXPECT_FALSE(
      convertToBgrx(WL_SHM_FORMAT_XRGB8888, false, source.data(), 4, 2, 12, target.data(), 16));
}

TEST(WaylandConnection, WithoutACompositorEverythingFailsQuietly) {
  Connection connection(Connection::Options{"/nonexistent/wayland-halvorine"});
  EXPECT_EQ(connection.get(), nullptr);
  EXPECT_FALSE(connection.trusted());
  EXPECT_NE(connection.lastErrorCode(), 0);
  EXPECT_TRUE(connection.outputs().empty());
  Pointer pointer(connection);
  EXPECT_FALSE(pointer.moveTo(Point{10, 10}));
  EXPECT_FALSE(pointer.button(button::left, true));
  EXPECT_EQ(pointer.position(), (Point{0, 0}));
  Keyboard keyboard(connection);
  EXPECT_FALSE(keyboard.pressKey(30, 0));
  EXPECT_FALSE(keyboard.typeText(U"x"));
  EXPECT_FALSE(keyboard.finish());
  Screencopy screencopy(connection);
  EXPECT_EQ(screencopy.capture(displayIdForName("HEADLESS-1")), Screencopy::noCompositor);

  // The seams over it: not trusted, no display, and every action reports that it sent nothing.
  EXPECT_FALSE(makeWaylandAccessibility(connection)->isTrusted(true));
  const std::unique_ptr<Desktop> desktop = makeWaylandDesktop(connection);
  EXPECT_EQ(desktop->pointerLocation(), (Point{0, 0}));
  EXPECT_EQ(desktop->mainDisplayId(), 0u);
  EXPECT_TRUE(desktop->displayBounds(displayIdForName("HEADLESS-1")).isNull);
  EXPECT_FALSE(desktop->click(MouseButton::left, Point{0, 0}));  // where the pointer is
  EXPECT_FALSE(desktop->movePointer(Point{5, 5}));
  EXPECT_FALSE(desktop->pressButton(MouseButton::right, Point{5, 5}, true));
  EXPECT_FALSE(desktop->turnWheel(40));
  EXPECT_FALSE(desktop->pressKey(0, maskShift, true));
  EXPECT_FALSE(desktop->typeCharacter("x", true));
  EXPECT_FALSE(desktop->typeCharacter("x", false));
  desktop->finishRequest();
}

// Without a compositor captures fail with codes, on the platform's own thread, and the pointer
// reported is the one the desktop set.
TEST(WaylandCapturePlatform, WithoutACompositorListingAndGrabFailOnTheWorker) {
  const Connection::Options nowhere{"/nonexistent/wayland-halvorine"};
  Connection main(nowhere);
  auto position = std::make_shared<PointerPosition>();
  const std::unique_ptr<Desktop> desktop = makeWaylandDesktop(main, position);
  WaylandCapturePlatform platform(main, position, nowhere);
  const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  EXPECT_EQ(platform.mainDisplayId(deadline), 0u);
  EXPECT_TRUE(platform.displayBounds(displayIdForName("HEADLESS-1"), deadline).isNull);

  std::promise<std::pair<std::thread::id, std::optional<PlatformError>>> listed;
  platform.listDisplays(deadline, [&](std::optional<std::vector<ListedDisplay>> displays,
                                      std::optional<PlatformError> error) {
    EXPECT_FALSE(displays);
    listed.set_value({std::this_thread::get_id(), error});
  });
  const auto [listThread, listError] = listed.get_future().get();
  EXPECT_NE(listThread, std::this_thread::get_id());
  ASSERT_TRUE(listError);
  EXPECT_EQ(listError->code, ENOENT);

  std::promise<std::optional<PlatformError>> grabbed;
  ListedDisplay display;
  display.displayId = displayIdForName("HEADLESS-1");
  platform.grabDisplay(display, {640, 400}, deadline,
                       [&](const Frame* frame, std::optional<PlatformError> error) {
                         EXPECT_EQ(frame, nullptr);
                         grabbed.set_value(error);
                       });
  const std::optional<PlatformError> grabError = grabbed.get_future().get();
  ASSERT_TRUE(grabError);
  EXPECT_EQ(grabError->code, Screencopy::noCompositor);

  EXPECT_EQ(platform.currentMouseLocation(deadline), (Point{0, 0}));
  position->set(Point{12.5, 7});
  EXPECT_EQ(platform.currentMouseLocation(deadline), (Point{12.5, 7}));
}

}  // namespace
}  // namespace halvorine::wayland

#include "screen_capture/screen_capture.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <thread>

#include "fake_capture_platform.h"
#include "screen_capture/frame_scaler.h"
#include "screen_capture/row_ranges.h"
#include "screen_capture/strip_jpeg_encoder.h"
#include "synthetic_image.h"

namespace halvorine {
namespace {

using testing::FakeCapturePlatform;
using namespace std::chrono_literals;

// The keys a record would carry on the wire.
std::set<std::string> presentKeys(const HelperOutput& r) {
  std::set<std::string> keys = {"ok"};
  auto add = [&](const char* name, bool present) {
    if (present) keys.insert(name);
  };
  add("type", r.type.has_value());
  add("applied", r.applied.has_value());
  add("reason", r.reason.has_value());
  add("trusted", r.trusted.has_value());
  add("x", r.x.has_value());
  add("y", r.y.has_value());
  add("key", r.key.has_value());
  add("textLength", r.textLength.has_value());
  add("frameMimeType", r.frameMimeType.has_value());
  add("frameBase64", r.frameBase64.has_value());
  add("frameBytes", r.frameBytes.has_value());
  add("frameWidth", r.frameWidth.has_value());
  add("frameHeight", r.frameHeight.has_value());
  add("frameUnchanged", r.frameUnchanged.has_value());
  add("sourceWidth", r.sourceWidth.has_value());
  add("sourceHeight", r.sourceHeight.has_value());
  add("screenLeft", r.screenLeft.has_value());
  add("screenTop", r.screenTop.has_value());
  add("screenWidth", r.screenWidth.has_value());
  add("screenHeight", r.screenHeight.has_value());
  add("captureElapsedMs", r.captureElapsedMs.has_value());
  add("scaleElapsedMs", r.scaleElapsedMs.has_value());
  add("encodeElapsedMs", r.encodeElapsedMs.has_value());
  add("scaleMode", r.scaleMode.has_value());
  add("captureBackend", r.captureBackend.has_value());
  add("dispatchBackend", r.dispatchBackend.has_value());
  add("nativeRuntime", r.nativeRuntime.has_value());
  return keys;
}

const std::set<std::string> failureKeys = {
    "ok", "type",           "applied",         "reason",       "x",
    "y",  "captureBackend", "dispatchBackend", "nativeRuntime"};

InputCommand captureCommand() {
  InputCommand c;
  c.type = "capture_frame";
  return c;
}

class ScreenCaptureTest : public ::testing::Test {
 protected:
  HelperOutput run(InputCommand c = captureCommand()) { return capture.captureFrame(c); }
  HelperOutput runOn(uint32_t displayId) {
    InputCommand c = captureCommand();
    c.displayId = displayId;
    return run(c);
  }
  void expectFailure(const HelperOutput& r, const std::string& reason) {
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.reason, reason);
    EXPECT_EQ(r.type, "capture_frame");
    EXPECT_EQ(r.applied, false);
    EXPECT_EQ(r.x, 12);
    EXPECT_EQ(r.y, 34);
    EXPECT_EQ(r.captureBackend, "screencapturekit_screenshot_cursor_disabled_v1");
    EXPECT_EQ(r.dispatchBackend, "macos_input_helper_stream");
    EXPECT_EQ(r.nativeRuntime, "macos_screencapturekit_helper");
    EXPECT_EQ(presentKeys(r), failureKeys);
  }

  // Long enough for the fake platform's thread on a loaded machine; the time-out tests wait it out.
  static constexpr auto waitTimeout = 1000ms;
  FakeCapturePlatform platform;
  ScreenCapture capture{platform, platform, waitTimeout};
};

TEST(CaptureSize, FollowsTheTable) {
  struct Case {
    int64_t w, h;
    std::optional<int64_t> maxWidth;
    PixelSize expected;
  };
  const Case cases[] = {
      {1920, 1080, std::nullopt, {1280, 720}},
      {1512, 982, std::nullopt, {1280, 831}},
      {1600, 804, 1000, {1000, 503}},
      {1512, 982, 100, {320, 208}},
      {1280, 800, -5, {320, 200}},
      {1440, 900, 1000, {1000, 625}},
      {1920, 1080, 4096, {1920, 1080}},
      {1512, 982, 1920, {1512, 982}},
      {1600, 2, std::nullopt, {1280, 2}},
      {2, 2, std::nullopt, {2, 2}},
      {1920, 1080, INT64_MIN, {320, 180}},
      {1920, 1080, INT64_MAX, {1920, 1080}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(captureSize(c.w, c.h, c.maxWidth), c.expected)
        << c.w << "x" << c.h << " maxWidth " << c.maxWidth.value_or(-999);
  }
}

TEST(JpegQuality, FollowsTheTable) {
  const std::pair<std::optional<int64_t>, double> cases[] = {
      {std::nullopt, 0.60}, {-3, 0.35},  {10, 0.35},        {35, 0.35},       {70, 0.70},
      {88, 0.88},           {100, 0.88}, {INT64_MIN, 0.35}, {INT64_MAX, 0.88}};
  for (const auto& [requested, quality] : cases) {
    EXPECT_DOUBLE_EQ(encoderQuality(requested), quality) << requested.value_or(-999);
  }
}

TEST(FrameHelpers, HashBase64AndReasons) {
  auto bytes = [](std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); };
  EXPECT_EQ(fnv1a64(bytes("")), 0xcbf29ce484222325ULL);
  EXPECT_EQ(fnv1a64(bytes("a")), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(fnv1a64(bytes("foobar")), 0x85944171f73967e8ULL);
  const std::pair<std::string_view, std::string_view> base64[] = {{"", ""},
                                                                  {"f", "Zg=="},
                                                                  {"fo", "Zm8="},
                                                                  {"foo", "Zm9v"},
                                                                  {"foob", "Zm9vYg=="},
                                                                  {"fooba", "Zm9vYmE="},
                                                                  {"foobar", "Zm9vYmFy"}};
  for (const auto& [in, out] : base64) EXPECT_EQ(base64Encode(bytes(in)), out);
  EXPECT_EQ(base64Encode(std::vector<uint8_t>{0xfb, 0xff, 0xbf}), "+/+/");

  // Every length around the blocks of twelve bytes that the vector loop takes, against a plain
  // encoder, with every byte value in every position of a group.
  std::mt19937 random(3);
  std::vector<uint8_t> sample;
  for (int n = 0; n <= 100; ++n) {
    std::string plain;
    for (size_t i = 0; i < sample.size(); i += 3) {
      uint32_t v = uint32_t{sample[i]} << 16;
      if (i + 1 < sample.size()) v |= uint32_t{sample[i + 1]} << 8;
      if (i + 2 < sample.size()) v |= sample[i + 2];
      static constexpr char a[] =
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
      plain += a[(v >> 18) & 63];
      plain += a[(v >> 12) & 63];
      plain += i + 1 < sample.size() ? a[(v >> 6) & 63] : '=';
      plain += i + 2 < sample.size() ? a[v & 63] : '=';
    }
    EXPECT_EQ(base64Encode(sample), plain) << n;
    sample.push_back(static_cast<uint8_t>(random()));
  }

  EXPECT_EQ(captureReason("base", std::nullopt), "base");
  EXPECT_EQ(captureReason("base", PlatformError{42}), "base_42");
  EXPECT_EQ(captureReason("base", PlatformError{-3801}), "base_-3801");
  EXPECT_EQ(captureReason("base", PlatformError{0}), "base_0");
}

TEST_F(ScreenCaptureTest, SuccessRecordCarriesFrameDisplayAndLabels) {
  platform.displays = {{1, 1600, 804, {}}};
  platform.bounds[1] = Rect{-1600, 50, -1600, 804};  // widths are reported as magnitudes
  platform.clockStep = 1'000'000;
  InputCommand c = captureCommand();
  c.maxWidth = 1000;
  c.jpegQuality = 70;
  const HelperOutput r = run(c);
  ASSERT_TRUE(r.ok) << r.reason.value_or("");
  EXPECT_EQ(r.type, "capture_frame");
  EXPECT_EQ(r.applied, true);
  EXPECT_EQ(r.frameMimeType, "image/jpeg");
  const std::vector<uint8_t> jpeg = {0xff, 0xd8, 7, 70, static_cast<uint8_t>(1000), 0xff, 0xd9};
  EXPECT_EQ(r.frameBase64, base64Encode(jpeg));
  EXPECT_EQ(r.frameBytes, 7);
  EXPECT_EQ(r.frameWidth, 1000);
  EXPECT_EQ(r.frameHeight, 503);
  EXPECT_EQ(r.frameUnchanged, false);
  EXPECT_EQ(r.sourceWidth, 1600);
  EXPECT_EQ(r.sourceHeight, 804);
  EXPECT_EQ(r.screenLeft, -1600);
  EXPECT_EQ(r.screenTop, 50);
  EXPECT_EQ(r.screenWidth, 1600);
  EXPECT_EQ(r.screenHeight, 804);
  EXPECT_EQ(r.x, 12);
  EXPECT_EQ(r.y, 34);
  // Clock readings: start, encoding start, end of capture, end of encoding (1 ms apart).
  EXPECT_DOUBLE_EQ(*r.captureElapsedMs, 2.0);
  EXPECT_DOUBLE_EQ(*r.encodeElapsedMs, 2.0);
  EXPECT_EQ(r.scaleElapsedMs, 0.0);
  EXPECT_EQ(r.scaleMode, "bilinear");
  EXPECT_EQ(r.captureBackend, "screencapturekit_screenshot_cursor_disabled_v1");
  EXPECT_EQ(r.dispatchBackend, "macos_input_helper_stream");
  EXPECT_EQ(r.nativeRuntime, "macos_screencapturekit_helper");
  EXPECT_FALSE(r.reason || r.trusted || r.key || r.textLength);

  EXPECT_EQ(platform.lastSize, (PixelSize{1000, 503}));
  EXPECT_DOUBLE_EQ(*platform.lastQuality, 0.70);
  // Frames are processed on the platform's thread, never on the waiting one.
  EXPECT_NE(platform.encoderThread, std::this_thread::get_id());
}

TEST_F(ScreenCaptureTest, ListedSizeIsRaisedToTwo) {
  platform.displays = {{1, 1, 0, {}}};
  const HelperOutput r = run();
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.sourceWidth, 2);
  EXPECT_EQ(r.sourceHeight, 2);
  EXPECT_EQ(r.frameWidth, 2);
  EXPECT_EQ(r.frameHeight, 2);
}

TEST_F(ScreenCaptureTest, ScaleModeIsOnlyALabel) {
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {"nearest", "nearest"},  {std::nullopt, "bilinear"}, {"bilinear", "bilinear"},
      {"Nearest", "bilinear"}, {"nearest ", "bilinear"},   {"lanczos", "bilinear"}};
  for (const auto& [mode, label] : cases) {
    InputCommand c = captureCommand();
    c.scaleMode = mode;
    const HelperOutput r = run(c);
    EXPECT_EQ(r.scaleMode, label) << mode.value_or("(absent)");
    EXPECT_EQ(r.scaleElapsedMs, 0.0);
    EXPECT_EQ(platform.lastSize.width, 1280);
  }
}

// A platform that cannot scale delivers the display's own pixels; the capture logic brings them to
// the asked size before encoding, and a frame it cannot scale is a failed screenshot.
TEST_F(ScreenCaptureTest, FramesAtThePlatformsOwnSizeAreScaled) {
  platform.deliveredSize = PixelSize{1920, 1080};
  const HelperOutput r = run();
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(platform.lastEncodedSize, (PixelSize{1280, 720}));
  EXPECT_EQ(r.frameWidth, 1280);
  EXPECT_EQ(r.frameHeight, 720);

  platform.deliveredSize = PixelSize{0, 0};
  expectFailure(run(), "screencapturekit_capture_failed");
}

TEST_F(ScreenCaptureTest, ChoosesWantedThenMainThenFirstDisplay) {
  struct Case {
    const char* name;
    std::optional<uint32_t> wanted;
    uint32_t mainId;
    std::vector<uint32_t> listed;
    uint32_t captured;
  };
  const Case cases[] = {
      {"wanted display listed", 20, 10, {10, 20, 30}, 20},
      {"no displayId: main", std::nullopt, 30, {10, 20, 30}, 30},
      {"unknown id: main", 99, 20, {10, 20, 30}, 20},
      {"unknown id and main unlisted: first", 99, 77, {30, 10, 20}, 30},
      {"duplicates: the first in list order", 20, 10, {20, 20}, 20},
  };
  for (const Case& c : cases) {
    FakeCapturePlatform p;
    p.mainId = c.mainId;
    p.displays.clear();
    for (uint32_t id : c.listed) {
      p.displays.push_back({id, 100 * id, 10 * id, {}});
      p.bounds[id] = Rect{double(id), 0, 100.0 * id, 10.0 * id};
    }
    ScreenCapture sc(p, p, 1s);
    InputCommand command = captureCommand();
    command.displayId = c.wanted;
    const HelperOutput r = sc.captureFrame(command);
    ASSERT_TRUE(r.ok) << c.name;
    EXPECT_EQ(p.grabbedDisplays, std::vector<uint32_t>{c.captured}) << c.name;
    EXPECT_EQ(r.screenLeft, c.captured) << c.name;
    EXPECT_EQ(r.sourceWidth, 100 * c.captured) << c.name;
    ASSERT_TRUE(sc.cachedContext()) << c.name;
    EXPECT_EQ(sc.cachedContext()->display.displayId, c.captured) << c.name;
  }
}

TEST_F(ScreenCaptureTest, ListsOnlyWhenTheWantedDisplayDiffersFromTheCachedOne) {
  platform.displays = {{1, 1920, 1080, {}}, {2, 1280, 1024, {}}};
  platform.bounds[2] = Rect{1920, 0, 1280, 1024};
  struct Step {
    std::optional<uint32_t> displayId;
    int listingsAfter;
    uint32_t captured;
  };
  const Step steps[] = {
      {std::nullopt, 1, 1},  // first capture lists
      {std::nullopt, 1, 1},  // cached
      {1, 1, 1},             // the main display by its id: cached
      {2, 2, 2},             // another display
      {2, 2, 2},             // cached
      {std::nullopt, 3, 1},  // back to main
      {9, 4, 1},             // unlisted: falls back to main and caches main's id...
      {9, 5, 1},             // ...so the same unlisted id lists again
      {std::nullopt, 5, 1},  // main is cached
  };
  int i = 0;
  for (const Step& s : steps) {
    InputCommand c = captureCommand();
    c.displayId = s.displayId;
    const HelperOutput r = run(c);
    ASSERT_TRUE(r.ok) << "step " << i;
    EXPECT_EQ(platform.listings, s.listingsAfter) << "step " << i;
    EXPECT_EQ(platform.grabbedDisplays.back(), s.captured) << "step " << i;
    ++i;
  }
}

TEST_F(ScreenCaptureTest, CachedContextKeepsTheValuesOfItsListing) {
  ASSERT_TRUE(run().ok);
  platform.displays = {{1, 800, 600, {}}};
  platform.bounds[1] = Rect{5, 5, 800, 600};
  const HelperOutput r = run();
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(platform.listings, 1);
  EXPECT_EQ(r.sourceWidth, 1920);
  EXPECT_EQ(r.screenLeft, 0);
  EXPECT_EQ(r.frameWidth, 1280);
}

TEST_F(ScreenCaptureTest, EmptyListingIsDisplayUnavailable) {
  platform.displays.clear();
  platform.listingError = PlatformError{5};  // ignored: content did arrive
  expectFailure(run(), "screencapturekit_display_unavailable");
  EXPECT_FALSE(capture.cachedContext());
  EXPECT_EQ(platform.screenshots, 0);
}

TEST_F(ScreenCaptureTest, FailureReasonsCarryThePlatformCode) {
  struct Case {
    const char* name;
    bool listingContent;
    std::optional<PlatformError> listingError;
    FakeCapturePlatform::Screenshot screenshot;
    std::optional<PlatformError> screenshotError;
    bool encoderFails;
    std::string reason;
  };
  using S = FakeCapturePlatform::Screenshot;
  const Case cases[] = {
      {"listing, no error", false, std::nullopt, S::deliver, std::nullopt, false,
       "screencapturekit_shareable_content_failed"},
      {"listing, code 7", false, PlatformError{7}, S::deliver, std::nullopt, false,
       "screencapturekit_shareable_content_failed_7"},
      {"listing, negative code", false, PlatformError{-3801}, S::deliver, std::nullopt, false,
       "screencapturekit_shareable_content_failed_-3801"},
      {"screenshot, no error", true, std::nullopt, S::fail, std::nullopt, false,
       "screencapturekit_capture_failed"},
      {"screenshot, code 8", true, std::nullopt, S::fail, PlatformError{8}, false,
       "screencapturekit_capture_failed_8"},
      {"screenshot, negative code", true, std::nullopt, S::fail, PlatformError{-1}, false,
       "screencapturekit_capture_failed_-1"},
      {"encoder", true, std::nullopt, S::deliver, std::nullopt, true,
       "screencapturekit_jpeg_encode_failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCapturePlatform p;
    p.listingDeliversContent = c.listingContent;
    p.listingError = c.listingError;
    p.screenshot = c.screenshot;
    p.screenshotError = c.screenshotError;
    p.encoderFails = c.encoderFails;
    ScreenCapture sc(p, p, 1s);
    expectFailure(sc.captureFrame(captureCommand()), c.reason);
    // The context is cached once the listing succeeded, whatever happens to the screenshot.
    EXPECT_EQ(sc.cachedContext().has_value(), c.listingContent);
  }
}

TEST_F(ScreenCaptureTest, ErrorAlongsideAnImageIsIgnored) {
  platform.screenshotError = PlatformError{3};
  EXPECT_TRUE(run().ok);
}

TEST_F(ScreenCaptureTest, SuppressionSequences) {
  struct Frame {
    std::optional<bool> suppress;
    uint8_t content;
    bool unchanged;
  };
  struct Case {
    const char* name;
    std::vector<Frame> frames;
  };
  const Case cases[] = {
      {"unchanged screen, suppression asked", {{true, 1, false}, {true, 1, true}, {true, 1, true}}},
      {"hash stored without suppression", {{std::nullopt, 1, false}, {true, 1, true}}},
      {"never unchanged without suppression",
       {{std::nullopt, 1, false}, {false, 1, false}, {std::nullopt, 1, false}}},
      {"changed screen", {{true, 1, false}, {true, 2, false}, {true, 2, true}}},
      {"only the last hash counts", {{true, 1, false}, {true, 2, false}, {true, 1, false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCapturePlatform p;
    ScreenCapture sc(p, p, 1s);
    std::optional<int64_t> firstBytes;
    for (const Frame& f : c.frames) {
      p.content = f.content;
      InputCommand command = captureCommand();
      command.suppressUnchanged = f.suppress;
      const HelperOutput r = sc.captureFrame(command);
      ASSERT_TRUE(r.ok);
      EXPECT_EQ(r.frameUnchanged, f.unchanged);
      EXPECT_EQ(r.frameBase64.has_value(), !f.unchanged);
      ASSERT_TRUE(r.frameBytes);
      if (!firstBytes) firstBytes = r.frameBytes;
      EXPECT_EQ(r.frameBytes, firstBytes);
    }
  }
}

TEST_F(ScreenCaptureTest, EncoderFailureLeavesTheStoredHash) {
  InputCommand suppress = captureCommand();
  suppress.suppressUnchanged = true;
  ASSERT_TRUE(run(suppress).ok);
  platform.encoderFails = true;
  expectFailure(run(suppress), "screencapturekit_jpeg_encode_failed");
  platform.encoderFails = false;
  EXPECT_EQ(run(suppress).frameUnchanged, true);
}

TEST_F(ScreenCaptureTest, TimeOutThenNextRequestIsServed) {
  platform.screenshot = FakeCapturePlatform::Screenshot::never;
  const auto start = std::chrono::steady_clock::now();
  expectFailure(run(), "screencapturekit_capture_timeout");
  EXPECT_GE(std::chrono::steady_clock::now() - start, waitTimeout);
  // The listing completed before the time-out, so the context stays cached.
  EXPECT_TRUE(capture.cachedContext());

  platform.screenshot = FakeCapturePlatform::Screenshot::deliver;
  const HelperOutput r = run();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.frameUnchanged, false);
  EXPECT_EQ(platform.listings, 1);
}

TEST_F(ScreenCaptureTest, LateCompletionAfterTimeOutIsHarmless) {
  platform.screenshot = FakeCapturePlatform::Screenshot::never;
  expectFailure(run(), "screencapturekit_capture_timeout");

  // The late frame arrives while the next request is being served, and stores its hash.
  platform.screenshot = FakeCapturePlatform::Screenshot::deliver;
  platform.content = 9;
  platform.releaseHeld(0, 1280, 720, 9);
  InputCommand suppress = captureCommand();
  suppress.suppressUnchanged = true;
  const HelperOutput next = run(suppress);
  ASSERT_TRUE(next.ok);
  platform.drain();
  const HelperOutput third = run(suppress);
  ASSERT_TRUE(third.ok);
  EXPECT_EQ(third.frameUnchanged, true);
}

// The stored hash is that of the last frame the host received. A frame that completes after its
// request timed out never reached the host, so the same picture must come again in full.
TEST_F(ScreenCaptureTest, LateFrameIsNotTheOneTheNextFrameIsComparedWith) {
  InputCommand suppress = captureCommand();
  suppress.suppressUnchanged = true;
  platform.content = 0;  // black
  ASSERT_TRUE(run(suppress).frameBase64);

  platform.content = 200;  // the screen turns red, and the display stalls
  platform.screenshot = FakeCapturePlatform::Screenshot::never;
  expectFailure(run(suppress), "screencapturekit_capture_timeout");
  platform.releaseHeld(0, 1280, 720, 200);
  platform.drain();  // the late red frame has been encoded and hashed

  platform.screenshot = FakeCapturePlatform::Screenshot::deliver;
  const HelperOutput red = run(suppress);
  ASSERT_TRUE(red.ok);
  EXPECT_EQ(red.frameUnchanged, false);
  EXPECT_TRUE(red.frameBase64);
  // Now the host has the red frame.
  EXPECT_EQ(run(suppress).frameUnchanged, true);
}

TEST_F(ScreenCaptureTest, LateRecordDoesNotAnswerALaterRequest) {
  platform.screenshot = FakeCapturePlatform::Screenshot::never;
  expectFailure(run(), "screencapturekit_capture_timeout");
  InputCommand suppress = captureCommand();
  suppress.suppressUnchanged = true;
  std::thread late([&] {
    // Once the second request waits, the first one's frame arrives.
    for (;;) {
      {
        std::lock_guard lock(platform.mutex);
        if (platform.held.size() == 2) break;
      }
      std::this_thread::sleep_for(1ms);
    }
    platform.releaseHeld(0, 1280, 720, 7);
  });
  const HelperOutput second = run(suppress);
  late.join();
  expectFailure(second, "screencapturekit_capture_timeout");
  platform.drain();

  platform.screenshot = FakeCapturePlatform::Screenshot::deliver;
  const HelperOutput third = run(suppress);
  EXPECT_EQ(third.frameUnchanged, false);
  EXPECT_TRUE(third.frameBase64);
}

TEST_F(ScreenCaptureTest, EveryPlatformCallOfARequestGetsTheSameDeadline) {
  platform.encoderFails = true;  // a failure record read on the platform's thread as well
  const auto before = std::chrono::steady_clock::now();
  run();
  const auto after = std::chrono::steady_clock::now();
  platform.encoderFails = false;
  platform.screenshot = FakeCapturePlatform::Screenshot::never;
  const auto before2 = std::chrono::steady_clock::now();
  run();  // cached target; the time-out reads the pointer on the waiting thread
  const auto after2 = std::chrono::steady_clock::now();

  std::vector<std::string> calls;
  for (const auto& [call, deadline] : platform.deadlines) calls.push_back(call);
  EXPECT_EQ(calls, (std::vector<std::string>{"mainDisplayId", "listDisplays", "displayBounds",
                                             "grabDisplay", "currentMouseLocation", "mainDisplayId",
                                             "grabDisplay", "currentMouseLocation"}));
  const auto budget = ScreenCapture::defaultAnswerBudget;
  for (size_t i = 0; i < platform.deadlines.size(); ++i) {
    const Deadline d = platform.deadlines[i].second;
    const bool first = i < 5;
    EXPECT_EQ(d, platform.deadlines[first ? 0 : 5].second) << calls[i];
    EXPECT_GE(d, (first ? before : before2) + budget) << calls[i];
    EXPECT_LE(d, (first ? after : after2) + budget) << calls[i];
  }
}

// A platform that reports nothing changed since the host's last frame: the answer comes from
// that frame, without a grab or an encoding, and is the record a grab would have given.
TEST(ScreenCaptureUnchanged, AnsweredFromTheDeliveredFrame) {
  for (const std::optional<bool> suppress : {std::optional<bool>{}, std::optional<bool>{true}}) {
    SCOPED_TRACE(suppress ? "suppression on" : "suppression absent");
    FakeCapturePlatform p;
    p.tracksChanges = true;
    p.clockStep = 1'000'000;
    ScreenCapture sc(p, p, 1s);
    InputCommand c = captureCommand();
    c.suppressUnchanged = suppress;
    const HelperOutput first = sc.captureFrame(c);
    ASSERT_TRUE(first.ok);
    p.screenUnchanged = true;
    p.content = 99;  // would show in the bytes, had the screen been grabbed
    for (int i = 0; i < 2; ++i) {
      const HelperOutput r = sc.captureFrame(c);
      ASSERT_TRUE(r.ok);
      EXPECT_EQ(p.sinceMarks, std::vector<DamageMark>(static_cast<size_t>(i + 1), 1));
      EXPECT_EQ(p.screenshots, 1);
      EXPECT_EQ(p.encodings, 1);
      EXPECT_EQ(r.frameUnchanged, suppress.value_or(false));
      if (suppress) {
        EXPECT_FALSE(r.frameBase64);
      } else {
        EXPECT_EQ(r.frameBase64, first.frameBase64);
      }
      HelperOutput expected = first;
      expected.frameBase64 = r.frameBase64;
      expected.frameUnchanged = r.frameUnchanged;
      // Clock readings: request, arrival of the answer, end of capture, end of encoding.
      EXPECT_DOUBLE_EQ(*r.captureElapsedMs, 2.0);
      EXPECT_DOUBLE_EQ(*r.encodeElapsedMs, 2.0);
      EXPECT_EQ(r, expected);
    }
  }
}

// Only a frame the host received is answered from: a frame finished after its request timed out
// gives its mark to nobody.
TEST(ScreenCaptureUnchanged, MarkIsThatOfTheLastDeliveredFrame) {
  FakeCapturePlatform p;
  p.tracksChanges = true;
  ScreenCapture sc(p, p, 300ms);
  InputCommand c = captureCommand();
  c.suppressUnchanged = true;
  p.content = 1;
  ASSERT_TRUE(sc.captureFrame(c).ok);  // mark 1, delivered

  p.screenshot = FakeCapturePlatform::Screenshot::never;
  EXPECT_EQ(sc.captureFrame(c).reason, "screencapturekit_capture_timeout");  // mark 2
  p.releaseHeld(0, 1280, 720, 2);
  p.drain();

  p.screenshot = FakeCapturePlatform::Screenshot::deliver;
  p.content = 2;
  const HelperOutput changed = sc.captureFrame(c);  // mark 3
  EXPECT_EQ(changed.frameUnchanged, false);
  EXPECT_TRUE(changed.frameBase64);
  p.screenUnchanged = true;
  EXPECT_EQ(sc.captureFrame(c).frameUnchanged, true);
  EXPECT_EQ(p.sinceMarks, (std::vector<DamageMark>{1, 1, 3}));
  EXPECT_EQ(p.encodings, 3);
}

// The delivered frame is only the answer to the same request: the same display at the same size
// and encoder quality.
TEST(ScreenCaptureUnchanged, ChangedRequestIsAFullCapture) {
  struct Request {
    std::optional<uint32_t> displayId;
    std::optional<int64_t> maxWidth;
    std::optional<int64_t> jpegQuality;
  };
  struct Case {
    const char* name;
    Request first, second;
    bool answeredFromFirst;
  };
  const Case cases[] = {
      {"same request", {}, {}, true},
      {"the main display by its id", {}, {1, {}, {}}, true},
      {"another display", {}, {2, {}, {}}, false},
      {"another width", {}, {{}, 1000, {}}, false},
      {"a width that gives the same size", {{}, 1280, {}}, {{}, 1280, {}}, true},
      {"another quality", {}, {{}, {}, 70}, false},
      {"another value for the same quality", {{}, {}, 88}, {{}, {}, 100}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCapturePlatform p;
    p.displays = {{1, 1920, 1080, {}}, {2, 1920, 1080, {}}};
    p.bounds[2] = Rect{1920, 0, 1920, 1080};
    p.tracksChanges = true;
    ScreenCapture sc(p, p, 1s);
    auto ask = [&](const Request& r) {
      InputCommand command = captureCommand();
      command.displayId = r.displayId;
      command.maxWidth = r.maxWidth;
      command.jpegQuality = r.jpegQuality;
      return sc.captureFrame(command);
    };
    ASSERT_TRUE(ask(c.first).ok);
    p.screenUnchanged = true;
    ASSERT_TRUE(ask(c.second).ok);
    EXPECT_EQ(p.encodings, c.answeredFromFirst ? 1 : 2);
    EXPECT_EQ(p.sinceMarks.size(), c.answeredFromFirst ? 1u : 0u);
  }
}

// A frame that comes without a mark (the platform lost track) leaves nothing to answer from.
TEST(ScreenCaptureUnchanged, FrameWithoutAMarkEndsAnsweringFromTheLastOne) {
  FakeCapturePlatform p;
  p.tracksChanges = true;
  ScreenCapture sc(p, p, 1s);
  ASSERT_TRUE(sc.captureFrame(captureCommand()).ok);
  p.tracksChanges = false;
  p.screenUnchanged = true;
  ASSERT_TRUE(sc.captureFrame(captureCommand()).ok);  // asked with mark 1, grabbed without one
  p.tracksChanges = true;
  ASSERT_TRUE(sc.captureFrame(captureCommand()).ok);
  EXPECT_EQ(p.sinceMarks, std::vector<DamageMark>{1});
  EXPECT_EQ(p.encodings, 3);
}

// The encoder is handed the rows that changed only for a frame that provably follows the one it
// encoded last; anything else in between, or any doubt, makes it encode everything.
TEST(ScreenCaptureIncremental, OnlyTheSuccessorOfTheLastEncodedFrameIsRedoneInPart) {
  using Step = std::function<void(FakeCapturePlatform&, ScreenCapture&, InputCommand&)>;
  struct Case {
    const char* name;
    std::optional<int64_t> maxWidth;  // of every request
    Step between;                     // after the first frame, before the last
    std::optional<std::vector<RowRange>> rows;
  };
  const PixelSize source{1920, 1080}, size{1280, 720};
  const std::vector<RowRange> changedRows = {{100, 110}, {500, 501}};
  const std::vector<RowRange> scaledRows = scaledRowRanges(changedRows, source, size);
  auto nothing = [](FakeCapturePlatform&, ScreenCapture&, InputCommand&) {};
  auto timeOut = [](FakeCapturePlatform& p, ScreenCapture& sc, InputCommand& c) {
    p.screenshot = FakeCapturePlatform::Screenshot::never;
    EXPECT_EQ(sc.captureFrame(c).reason, "screencapturekit_capture_timeout");
    p.screenshot = FakeCapturePlatform::Screenshot::deliver;
  };
  const Case cases[] = {
      {"the next frame", {}, nothing, scaledRows},
      {"the next frame, not scaled", 1920, nothing, changedRows},
      {"after an answer from the delivered frame",
       {},
       [](FakeCapturePlatform& p, ScreenCapture& sc, InputCommand& c) {
         p.screenUnchanged = true;
         EXPECT_TRUE(sc.captureFrame(c).ok);
         p.screenUnchanged = false;
       },
       scaledRows},
      {"the platform does not say what changed",
       {},
       [](FakeCapturePlatform& p, ScreenCapture&, InputCommand&) { p.changedRects.reset(); },
       std::nullopt},
      {"another quality",
       {},
       [](FakeCapturePlatform&, ScreenCapture&, InputCommand& c) { c.jpegQuality = 70; },
       std::nullopt},
      {"another width",
       {},
       [](FakeCapturePlatform&, ScreenCapture&, InputCommand& c) { c.maxWidth = 1000; },
       std::nullopt},
      {"another display, reported as changed since the other's grab",
       {},
       [](FakeCapturePlatform&, ScreenCapture&, InputCommand& c) { c.displayId = 2; },
       std::nullopt},
      {"a frame of another display between",
       {},
       [](FakeCapturePlatform&, ScreenCapture& sc, InputCommand& c) {
         InputCommand other = c;
         other.displayId = 2;
         EXPECT_TRUE(sc.captureFrame(other).ok);
       },
       std::nullopt},
      {"the display changed its size",
       {},
       [](FakeCapturePlatform& p, ScreenCapture&, InputCommand&) {
         p.deliveredSize = PixelSize{1600, 900};
       },
       std::nullopt},
      {"the encoder failed between",
       {},
       [](FakeCapturePlatform& p, ScreenCapture& sc, InputCommand& c) {
         p.encoderFails = true;
         EXPECT_FALSE(sc.captureFrame(c).ok);
         p.encoderFails = false;
       },
       std::nullopt},
      {"a grab between timed out and was never encoded", {}, timeOut, std::nullopt},
      {"a grab between timed out and was encoded late",
       {},
       [&](FakeCapturePlatform& p, ScreenCapture& sc, InputCommand& c) {
         timeOut(p, sc, c);
         p.releaseHeld(0, 1920, 1080, 5);
         p.drain();
       },
       scaledRows},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCapturePlatform p;
    p.displays = {{1, 1920, 1080, {}}, {2, 1920, 1080, {}}};
    p.bounds[2] = Rect{1920, 0, 1920, 1080};
    p.deliveredSize = source;
    p.tracksChanges = true;
    p.changedRects = std::vector<PixelRect>{{0, 100, 50, 10}, {7, 500, 1, 1}};
    ScreenCapture sc(p, p, 300ms);
    InputCommand command = captureCommand();
    command.maxWidth = c.maxWidth;
    ASSERT_TRUE(sc.captureFrame(command).ok);
    EXPECT_FALSE(p.lastChangedRows);
    c.between(p, sc, command);
    ASSERT_TRUE(sc.captureFrame(command).ok);
    EXPECT_EQ(p.lastChangedRows, c.rows);
  }
}

// The band encoder behind the capture, and a platform whose frames carry a 640x360 picture and
// what changed since the grab before; random steps drive it.
struct IncrementalCapture {
  static constexpr int width = 640, height = 360;
  FakeCapturePlatform p;
  ScreenCapture sc{p, 300ms};
  std::mt19937 random;

  explicit IncrementalCapture(uint32_t seed) : random(seed) {
    p.tracksChanges = true;
    p.deliveredSize = PixelSize{width, height};
  }
  int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); }

  static std::vector<uint8_t> pixelsOf(const testing::SyntheticImage& image) {
    return {image.pixels(), image.pixels() + static_cast<size_t>(image.bytesPerRow()) * height};
  }
  // What the next grab sees, and the changes it reports (none known: nullopt).
  void show(const testing::SyntheticImage& image, std::optional<std::vector<PixelRect>> changed) {
    std::lock_guard lock(p.mutex);
    p.picture = pixelsOf(image);
    p.changedRects = std::move(changed);
  }
  // The image scaled and encoded afresh, at the size and quality the request asks for.
  static std::optional<std::vector<uint8_t>> freshJpeg(const testing::SyntheticImage& image,
                                                       const InputCommand& command) {
    const Frame source{.pixels = image.pixels(),
                       .width = width,
                       .height = height,
                       .bytesPerRow = image.bytesPerRow()};
    FrameScaler scaler;
    const PixelSize size = captureSize(width, height, command.maxWidth);
    return StripJpegEncoder().encode(*scaler.scale(source, size),
                                     encoderQuality(command.jpegQuality));
  }
};

// With the band encoder and random changes (reported exactly, or not at all), and requests that
// switch between a scaled and an unscaled size and between two qualities: every frame is byte for
// byte what encoding its pixels afresh gives.
TEST(ScreenCaptureIncremental, FramesAreTheBytesOfAFreshEncode) {
  using testing::SyntheticImage;
  constexpr int width = IncrementalCapture::width, height = IncrementalCapture::height;
  IncrementalCapture c(17);
  SyntheticImage image(width, height, 3);
  InputCommand command = captureCommand();
  command.maxWidth = 427;
  for (int step = 0; step < 60; ++step) {
    SCOPED_TRACE(step);
    std::vector<PixelRect> changed;
    const int kind = c.uniform(0, 9);
    if (kind == 0) {
      command.maxWidth = command.maxWidth == 427 ? 640 : 427;
    } else if (kind == 1) {
      command.jpegQuality = command.jpegQuality == 88 ? std::nullopt : std::optional<int64_t>(88);
    }
    for (int n = c.uniform(0, 3); n > 0; --n) {
      const int top = c.uniform(0, height - 1), rows = c.uniform(1, 30);
      if (c.uniform(0, 1) == 0) {
        image.scribbleRows(top, top + rows);
        changed.push_back({0, top, width, std::min(rows, height - top)});
      } else if (top + 16 <= height) {
        // A line of text, as a terminal draws it.
        const int left = c.uniform(0, width / 2);
        image.writeLine(left, top, width / 2, static_cast<uint32_t>(step));
        changed.push_back({left, top, width / 2, 16});
      }
    }
    // Now and then the platform cannot tell what changed.
    c.show(image, kind == 2 ? std::nullopt : std::optional(changed));
    const HelperOutput r = c.sc.captureFrame(command);
    ASSERT_TRUE(r.ok) << r.reason.value_or("");
    const auto want = IncrementalCapture::freshJpeg(image, command);
    ASSERT_TRUE(want);
    EXPECT_EQ(r.frameWidth, captureSize(width, height, command.maxWidth).width);
    ASSERT_TRUE(r.frameBase64);
    ASSERT_TRUE(*r.frameBase64 == base64Encode(*want)) << "kind " << kind;
  }
}

// With suppression asked for every frame and only the changed bands encoded again, a frame is
// reported unchanged exactly when its bytes are those of the last frame the host received: after
// rows reported changed whose pixels are the same, after a picture put back as it was before the
// last change, and after a frame that came too late (the encoder's previous frame is then one the
// host never received).
TEST(ScreenCaptureIncremental, UnchangedExactlyWhenTheBytesAreThoseTheHostHas) {
  using testing::SyntheticImage;
  constexpr int width = IncrementalCapture::width, height = IncrementalCapture::height;
  IncrementalCapture c(23);
  FakeCapturePlatform& p = c.p;
  SyntheticImage image(width, height, 5);
  SyntheticImage before = image;  // the picture before the last change
  // A terminal line written into `target`: what changed.
  auto writeLine = [&](SyntheticImage& target, uint32_t seed) {
    const int top = c.uniform(0, height - 16), left = c.uniform(0, width / 2);
    target.writeLine(left, top, width / 2, seed);
    return PixelRect{left, top, width / 2, 16};
  };
  InputCommand command = captureCommand();
  command.maxWidth = width;
  command.suppressUnchanged = true;
  std::vector<uint8_t> hostHas;
  std::vector<PixelRect> lastChange;
  int reportedUnchanged = 0, late = 0;
  for (int step = 0; step < 60; ++step) {
    SCOPED_TRACE(step);
    std::vector<PixelRect> changed;
    const int kind = c.uniform(0, 4);
    if (kind == 0) {
      // Damage reported over rows that were drawn again as they were.
      const int top = c.uniform(0, height - 8);
      changed = {{0, top, width, c.uniform(1, 8)}};
    } else if (kind == 1 && !lastChange.empty()) {
      std::swap(image, before);
      changed = lastChange;
    } else if (kind == 2) {
      // A frame of another line drawn comes too late; the screen is then as it was.
      SyntheticImage lateFrame = image;
      changed = {writeLine(lateFrame, static_cast<uint32_t>(step))};
      c.show(image, std::vector<PixelRect>{{0, 0, 1, 1}});
      {
        std::lock_guard lock(p.mutex);
        p.screenshot = FakeCapturePlatform::Screenshot::never;
      }
      ASSERT_EQ(c.sc.captureFrame(command).reason, "screencapturekit_capture_timeout");
      p.releaseHeld(p.held.size() - 1, width, height, 0, IncrementalCapture::pixelsOf(lateFrame));
      p.drain();
      std::lock_guard lock(p.mutex);
      p.screenshot = FakeCapturePlatform::Screenshot::deliver;
      ++late;
    } else {
      before = image;
      changed = {writeLine(image, static_cast<uint32_t>(1000 + step))};
      lastChange = changed;
    }
    c.show(image, changed);
    const HelperOutput r = c.sc.captureFrame(command);
    ASSERT_TRUE(r.ok) << r.reason.value_or("");
    const std::vector<uint8_t> want = *IncrementalCapture::freshJpeg(image, command);
    EXPECT_EQ(r.frameUnchanged, want == hostHas) << "kind " << kind;
    if (r.frameUnchanged == true) {
      ++reportedUnchanged;
    } else {
      ASSERT_TRUE(r.frameBase64);
      ASSERT_TRUE(*r.frameBase64 == base64Encode(want)) << "kind " << kind;
      hostHas = want;
    }
  }
  // The sequence went through both answers and the late frames.
  EXPECT_GT(reportedUnchanged, 0);
  EXPECT_LT(reportedUnchanged, 60);
  EXPECT_GT(late, 0);
}

// A display that stops answering may hold every call until its deadline; the answer still comes
// within the budget, with the pointer it could not read as (0, 0).
TEST(ScreenCaptureBudget, StalledDisplayIsAnsweredWithinTheBudget) {
  struct Case {
    const char* name;
    bool cachedTarget;
    bool displayQueryStalls;
    bool pointerStalls;
    std::chrono::milliseconds atLeast;
    Point pointer;
  };
  const Case cases[] = {
      {"screenshot never completes", true, false, false, 300ms, {12, 34}},
      {"pointer stalls after the time-out", true, false, true, 500ms, {0, 0}},
      {"first contact: display query and pointer stall", false, true, true, 500ms, {0, 0}},
      {"display query stalls, pointer answers", false, true, false, 300ms, {12, 34}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCapturePlatform p;
    ScreenCapture sc(p, p, 300ms, 500ms);
    if (c.cachedTarget) {
      ASSERT_TRUE(sc.captureFrame(captureCommand()).ok);
    }
    p.screenshot = FakeCapturePlatform::Screenshot::never;
    p.displayQueryStalls = c.displayQueryStalls;
    p.pointerStalls = c.pointerStalls;
    const auto start = std::chrono::steady_clock::now();
    const HelperOutput r = sc.captureFrame(captureCommand());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.reason, "screencapturekit_capture_timeout");
    EXPECT_EQ(r.x, c.pointer.x);
    EXPECT_EQ(r.y, c.pointer.y);
    // The stall of the display query comes out of the screenshot's wait, not on top of it.
    EXPECT_GE(took, c.atLeast - 5ms);
    EXPECT_LT(took, 500ms + 250ms);
    p.displayQueryStalls = false;
    p.drain();
  }
}

TEST(ScreenCaptureLifetime, CompletionOutlivesTheCaptureObject) {
  FakeCapturePlatform p;
  p.screenshot = FakeCapturePlatform::Screenshot::never;
  {
    ScreenCapture sc(p, p, 50ms);
    EXPECT_EQ(sc.captureFrame(captureCommand()).reason, "screencapturekit_capture_timeout");
  }
  // Box, semaphore and capture state are still alive for the orphaned completion.
  p.releaseHeld(0, 64, 36, 1);
  p.drain();
}

}  // namespace
}  // namespace halvorine

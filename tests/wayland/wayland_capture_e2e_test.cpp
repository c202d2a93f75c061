// The real input helper capturing headless sway's outputs through screencopy, as the test user,
// chosen by the session (WAYLAND_DISPLAY, no DISPLAY). The test picture is shown full screen by an
// X client under sway's Xwayland; the test's own virtual pointer parks the cursor in the bottom
// right corner, since headless sway draws it into frames.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "capture_answer_checks.h"
#include "capture_pictures.h"
#include "damage_scene.h"
#include "platform_grab.h"
#include "process.h"
#include "screen_capture/screen_capture.h"
#include "sway_server.h"
#include "wayland/wayland_capture_platform.h"
#include "wayland/wayland_connection.h"
#include "wayland/wayland_pointer.h"
#include "wayland/wayland_screencopy.h"

namespace halvorine::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using wayland::Connection;
using wayland::displayIdForName;

constexpr uint32_t headless1 = 2675618608u;

class CaptureOnSway : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(runAsWaylandTestUser()); }

  void SetUp() override {
    ASSERT_NO_THROW(server = std::make_unique<SwayServer>(serverOptions()));
    parkCursor();
  }

  virtual SwayServer::Options serverOptions() const { return {}; }

  void TearDown() override {
    helper.reset();
    observer.reset();
    observerConnection.reset();
    painter.reset();
    keeper.reset();
    keeperConnection.reset();
    server.reset();
  }

  // Keeps a pointer of the test's own on the seat (sway 1.7 can crash when the seat's only
  // pointer comes and goes while Xwayland runs) with the cursor in the bottom right corner.
  void parkCursor() {
    keeper.reset();
    keeperConnection = std::make_unique<Connection>(
        Connection::Options{server->waylandDisplay(), std::chrono::milliseconds(2000)});
    keeper = std::make_unique<wayland::Pointer>(*keeperConnection);
    ASSERT_TRUE(keeper->moveTo(Point{1279, 799}));
    ASSERT_TRUE(keeper->finish());
  }

  RunOptions options(std::string input = {}) const {
    RunOptions o;
    o.env["HALVORINE_BACKEND"] = std::nullopt;
    o.env["WAYLAND_DISPLAY"] = server->waylandDisplay();
    o.env["DISPLAY"] = std::nullopt;
    o.stdinData = std::move(input);
    o.timeout = 60s;
    return o;
  }

  void startStream() {
    helper = std::make_unique<ChildProcess>(
        std::vector<std::string>{binaryPath("HalvorineInputHelper"), "--stream"}, options());
  }

  json ask(const json& request, std::chrono::milliseconds timeout = 30s) {
    EXPECT_TRUE(helper->write(request.dump() + "\n"));
    const std::optional<std::string> line = helper->readLine(timeout);
    EXPECT_TRUE(line) << request.dump();
    return line ? json::parse(*line) : json();
  }

  // Shows the picture and asks until a frame of the area from (left, top) shows it: the picture
  // appears once sway has mapped the window and Xwayland has drawn it.
  json askUntilPictureShown(const json& request, int left, int top) {
    if (!painter) painter = std::make_unique<Painter>(server->xDisplay());
    json answer;
    for (int attempt = 0; attempt < 100; ++attempt) {
      answer = ask(request);
      if (answer.value("ok", false) && answer.contains("frameBase64") &&
          psnr(decodeJpeg(base64Decode(answer["frameBase64"].get<std::string>())), left, top) >=
              30) {
        break;
      }
      std::this_thread::sleep_for(50ms);
    }
    return answer;
  }

  std::unique_ptr<SwayServer> server;
  std::unique_ptr<Connection> keeperConnection;
  std::unique_ptr<wayland::Pointer> keeper;
  std::unique_ptr<Painter> painter;
  std::unique_ptr<ChildProcess> helper;
  std::unique_ptr<Connection> observerConnection;
  std::unique_ptr<wayland::Screencopy> observer;
};

TEST_F(CaptureOnSway, CapturesThePictureShownFullScreen) {
  startStream();
  const json request = {{"type", "capture_frame"}, {"maxWidth", 1920}, {"jpegQuality", 88}};
  const json a = askUntilPictureShown(request, 0, 0);
  ASSERT_EQ(a.value("ok", false), true) << a.dump().substr(0, 300);
  expectPicture(a, 0, 0, 30.0);
  const std::set<std::pair<std::string, json>> expected = {
      {"applied", true},
      {"type", "capture_frame"},
      {"frameMimeType", "image/jpeg"},
      {"frameWidth", 1280},
      {"frameHeight", 800},
      {"sourceWidth", 1280},
      {"sourceHeight", 800},
      {"screenLeft", 0},
      {"screenTop", 0},
      {"screenWidth", 1280},
      {"screenHeight", 800},
      {"frameUnchanged", false},
      {"scaleElapsedMs", 0},
      {"scaleMode", "bilinear"},
      {"captureBackend", "screencapturekit_screenshot_cursor_disabled_v1"},
      {"dispatchBackend", "macos_input_helper_stream"},
      {"nativeRuntime", "macos_screencapturekit_helper"},
      // No pointer move yet: the position this process last set is (0, 0).
      {"x", 0},
      {"y", 0},
  };
  for (const auto& [key, value] : expected) EXPECT_EQ(a.value(key, json()), value) << key;
  EXPECT_FALSE(a.contains("trusted"));

  // The sizes follow maxWidth as on any backend, scaled by the capture logic.
  for (const auto& m : maxWidthCases) {
    json sized = {{"type", "capture_frame"}};
    if (m) sized["maxWidth"] = *m;
    SCOPED_TRACE(sized.dump());
    const json s = ask(sized);
    ASSERT_EQ(s.value("ok", false), true) << s.dump().substr(0, 300);
    const PixelSize want = captureSize(1280, 800, m);
    EXPECT_EQ(s["frameWidth"], want.width);
    EXPECT_EQ(s["frameHeight"], want.height);
    const Picture p = decodeJpeg(base64Decode(s["frameBase64"].get<std::string>()));
    EXPECT_EQ(p.width, want.width);
    EXPECT_EQ(p.height, want.height);
  }

  // A capture answer carries the position the helper last moved the pointer to.
  EXPECT_EQ(ask({{"type", "mouse_move"}, {"x", 1279}, {"y", 799}})["ok"], true);
  const json after = ask({{"type", "capture_frame"}, {"maxWidth", 320}});
  EXPECT_EQ(after["x"], 1279);
  EXPECT_EQ(after["y"], 799);
  helper->closeStdin();
  EXPECT_EQ(helper->wait(), 0);
  EXPECT_EQ(helper->err(), "");
}

TEST_F(CaptureOnSway, OutputsAreChosenByTheirIdentifier) {
  ASSERT_TRUE(server->command("create_output"));
  ASSERT_TRUE(server->command("output HEADLESS-2 resolution 640x480 position 1280 0"));
  startStream();
  const uint32_t second = displayIdForName("HEADLESS-2");
  // The X screen spans both outputs once Xwayland has heard of the second; the picture painted
  // over all of it shows HEADLESS-2 the test picture from (1280, 0).
  std::this_thread::sleep_for(300ms);
  const json a = askUntilPictureShown(
      {{"type", "capture_frame"}, {"displayId", second}, {"maxWidth", 1920}, {"jpegQuality", 88}},
      1280, 0);
  ASSERT_EQ(a.value("ok", false), true) << a.dump().substr(0, 300);
  expectPicture(a, 1280, 0, 30.0);
  const struct {
    json displayId;
    int left, width, height;
  } cases[] = {
      {second, 1280, 640, 480},
      {headless1, 0, 1280, 800},
      // Unknown: the main display, the output at (0, 0).
      {12345, 0, 1280, 800},
      {second, 1280, 640, 480},
      {nullptr, 0, 1280, 800},
  };
  for (const auto& c : cases) {
    json request = {{"type", "capture_frame"}, {"maxWidth", 1920}};
    if (!c.displayId.is_null()) request["displayId"] = c.displayId;
    SCOPED_TRACE(request.dump());
    const json r = ask(request);
    ASSERT_EQ(r.value("ok", false), true) << r.dump().substr(0, 300);
    EXPECT_EQ(r["screenLeft"], c.left);
    EXPECT_EQ(r["screenTop"], 0);
    EXPECT_EQ(r["sourceWidth"], c.width);
    EXPECT_EQ(r["sourceHeight"], c.height);
    EXPECT_EQ(r["frameWidth"], c.width);
    expectPicture(r, c.left, 0, 28.0);
  }
}

// A scaled or turned output has a logical size other than its pixels: the source size is that of
// the pixels, the screen rectangle the logical one.
TEST_F(CaptureOnSway, SourceSizeIsThePixelsAndScreenTheLogicalPlace) {
  const struct {
    const char* command;
    int sourceWidth, sourceHeight, screenWidth, screenHeight;
  } cases[] = {
      {"output HEADLESS-1 scale 2", 1280, 800, 640, 400},
      {"output HEADLESS-1 scale 1 transform 90", 800, 1280, 800, 1280},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_TRUE(server->command(c.command));
    const RunResult r = runProcess({binaryPath("HalvorineInputHelper")},
                                   options(R"({"type":"capture_frame","maxWidth":1920})"));
    EXPECT_EQ(r.exitStatus, 0) << r.out.substr(0, 300);
    EXPECT_EQ(r.err, "");
    const json a = json::parse(r.out);
    EXPECT_EQ(a["sourceWidth"], c.sourceWidth);
    EXPECT_EQ(a["sourceHeight"], c.sourceHeight);
    EXPECT_EQ(a["frameWidth"], c.sourceWidth);
    EXPECT_EQ(a["frameHeight"], c.sourceHeight);
    EXPECT_EQ(a["screenWidth"], c.screenWidth);
    EXPECT_EQ(a["screenHeight"], c.screenHeight);
    const Picture p = decodeJpeg(base64Decode(a["frameBase64"].get<std::string>()));
    EXPECT_EQ(p.width, c.sourceWidth);
    EXPECT_EQ(p.height, c.sourceHeight);
  }
}

TEST_F(CaptureOnSway, UnchangedOutputIsSuppressed) {
  startStream();
  const json plain = {{"type", "capture_frame"}};
  const json suppressed = {{"type", "capture_frame"}, {"suppressUnchanged", true}};
  ASSERT_EQ(askUntilPictureShown(plain, 0, 0).value("ok", false), true);
  // The frame of a request without suppression is the one the next is compared with.
  const json first = ask(plain);
  const json second = ask(suppressed);
  const json third = ask(suppressed);
  ASSERT_EQ(first.value("ok", false), true);
  EXPECT_TRUE(first.contains("frameBase64"));
  EXPECT_EQ(second.value("frameUnchanged", false), true) << second.dump().substr(0, 300);
  EXPECT_FALSE(second.contains("frameBase64"));
  EXPECT_EQ(second["frameBytes"], first["frameBytes"]);
  EXPECT_EQ(third.value("frameUnchanged", false), true);
  EXPECT_EQ(ask(plain).value("frameUnchanged", true), false);
}

TEST_F(CaptureOnSway, ADeadCompositorFailsAndANewOneOnTheSameSocketIsUsed) {
  startStream();
  const json named = {{"type", "capture_frame"}, {"displayId", headless1}};
  ASSERT_EQ(ask(named).value("ok", false), true);
  keeper.reset();
  keeperConnection.reset();
  server->stop();

  // The cached target is grabbed, and the grab finds no compositor (1) or loses it (7).
  const json grab = ask(named);
  const std::string reason = grab.value("reason", "");
  EXPECT_TRUE(reason == "screencapturekit_capture_failed_1" ||
              reason == "screencapturekit_capture_failed_7")
      << grab.dump();
  std::set<std::string> keys;
  for (auto it = grab.begin(); it != grab.end(); ++it) keys.insert(it.key());
  EXPECT_EQ(keys, (std::set<std::string>{"ok", "type", "applied", "reason", "x", "y",
                                         "captureBackend", "dispatchBackend", "nativeRuntime"}));
  // Without a compositor there is no main display (0), so the target is listed anew, and the
  // listing fails with the connection's errno.
  const std::string listing = ask({{"type", "capture_frame"}}).value("reason", "");
  const std::string prefix = "screencapturekit_shareable_content_failed_";
  ASSERT_EQ(listing.rfind(prefix, 0), 0u) << listing;
  EXPECT_GT(std::stoi(listing.substr(prefix.size())), 0) << listing;

  ASSERT_NO_THROW(server->restart());
  parkCursor();
  for (const json& again : {named, json{{"type", "capture_frame"}}}) {
    const json a = ask(again);
    EXPECT_EQ(a.value("ok", false), true) << a.dump().substr(0, 300);
    EXPECT_EQ(a.value("sourceWidth", 0), 1280);
  }
  helper->closeStdin();
  EXPECT_EQ(helper->wait(), 0);
  EXPECT_EQ(helper->err(), "");
}

TEST_F(CaptureOnSway, AStoppedCompositorTimesOutAndTheNextCaptureIsServed) {
  const struct {
    const char* name;
    bool servedBefore;
  } cases[] = {{"mid-stream", true}, {"first contact", false}};
  const json request = {{"type", "capture_frame"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    startStream();
    if (c.servedBefore) {
      ASSERT_EQ(ask(request).value("ok", false), true);
    }
    server->pause();
    const auto start = std::chrono::steady_clock::now();
    const json timedOut = ask(request, 40s);
    const auto waited = std::chrono::steady_clock::now() - start;
    server->resume();
    EXPECT_EQ(timedOut.value("reason", ""), "screencapturekit_capture_timeout") << timedOut.dump();
    EXPECT_GE(waited, 10s);
    EXPECT_LT(waited, 10500ms);
    const json next = ask(request, 40s);
    EXPECT_EQ(next.value("ok", false), true) << next.dump().substr(0, 300);
    helper->closeStdin();
    EXPECT_EQ(helper->wait(), 0);
    EXPECT_EQ(helper->err(), "");
  }
}

// The colour at the centre of an answer's frame, as 0xRRGGBB with each channel rounded to 0 or
// 255 (JPEG changes flat colours a little).
uint32_t centreColour(const json& answer) {
  if (!answer.contains("frameBase64")) return 0x1000000;
  const Picture p = decodeJpeg(base64Decode(answer["frameBase64"].get<std::string>()));
  if (p.width == 0) return 0x1000000;
  const uint8_t* c = &p.bgrx[(static_cast<size_t>(p.height / 2) * p.width + p.width / 2) * 4];
  const auto bit = [](uint8_t v) { return v > 127 ? 255u : 0u; };
  return (bit(c[2]) << 16) | (bit(c[1]) << 8) | bit(c[0]);
}

// A frame that the compositor finishes after its request timed out never reached the host; the
// next capture of the same picture must carry it in full, not call it unchanged.
TEST_F(CaptureOnSway, FrameFinishedAfterATimeOutIsNotTakenAsDelivered) {
  Backdrop screen(server->xDisplay(), 0x0000ff);
  // Another process sees the colour shown, so that this stream's hash only knows what it got.
  const auto shownByAnother = [&](uint32_t rgb) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      const RunResult r = runProcess({binaryPath("HalvorineInputHelper")},
                                     options(R"({"type":"capture_frame","maxWidth":320})"));
      if (r.exitStatus == 0 && centreColour(json::parse(r.out)) == rgb) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  };
  ASSERT_TRUE(shownByAnother(0x0000ff));
  startStream();
  const json request = {{"type", "capture_frame"}, {"suppressUnchanged", true}};
  const json blue = ask(request);
  ASSERT_EQ(centreColour(blue), 0x0000ffu) << blue.dump().substr(0, 300);

  screen.paint(0xff0000);
  ASSERT_TRUE(shownByAnother(0xff0000));
  server->pause();
  const json stalled = ask(request, 40s);
  // Resumed: the copy that was waiting is finished now, after its request gave up.
  server->resume();
  EXPECT_EQ(stalled.value("reason", ""), "screencapturekit_capture_timeout") << stalled.dump();

  const json red = ask(request, 40s);
  ASSERT_EQ(red.value("ok", false), true) << red.dump().substr(0, 300);
  EXPECT_EQ(red["frameUnchanged"], false);
  EXPECT_EQ(centreColour(red), 0xff0000u);
  // Now the host has the red frame.
  EXPECT_EQ(ask(request).value("frameUnchanged", false), true);
  helper->closeStdin();
  EXPECT_EQ(helper->wait(), 0);
  EXPECT_EQ(helper->err(), "");
}

// Change tracking on a small output, where one pixel survives the JPEG at quality 88. Under
// Xwayland a change reaches the output some time after the X server has made it, so the test
// waits until a screencopy of its own shows it: from then on the helper must not miss it.
class ChangesOnSway : public CaptureOnSway {
 protected:
  SwayServer::Options serverOptions() const override {
    return {.width = 320, .height = 240, .xwayland = true, .extraConfig = {}};
  }

  // The output as a screencopy of the test's own shows it now.
  Picture shownNow() {
    if (!observer) {
      observerConnection = std::make_unique<Connection>(
          Connection::Options{server->waylandDisplay(), std::chrono::milliseconds(2000)});
      observer = std::make_unique<wayland::Screencopy>(*observerConnection);
    }
    if (observer->capture(headless1) != wayland::Screencopy::none) return {};
    const wayland::Screencopy::Image image = observer->image();
    Picture p{static_cast<int>(image.width), static_cast<int>(image.height), {}};
    for (uint32_t row = 0; row < image.height; ++row) {
      const uint8_t* line = image.pixels + row * image.bytesPerRow;
      p.bgrx.insert(p.bgrx.end(), line, line + size_t{image.width} * 4);
    }
    return p;
  }

  // Waits (up to 10 s) until the output shows these pixels white and those black.
  bool shown(const std::vector<std::pair<int, int>>& white,
             const std::vector<std::pair<int, int>>& black) {
    for (int attempt = 0; attempt < 500; ++attempt) {
      const Picture p = shownNow();
      const bool all =
          p.width > 0 &&
          std::all_of(white.begin(), white.end(),
                      [&](const auto& px) { return brightnessAt(p, px.first, px.second) > 150; }) &&
          std::all_of(black.begin(), black.end(), [&](const auto& px) {
            return brightnessAt(p, px.first, px.second) >= 0 &&
                   brightnessAt(p, px.first, px.second) < 60;
          });
      if (all) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  const json request = {{"type", "capture_frame"},
                        {"suppressUnchanged", true},
                        {"maxWidth", 1920},
                        {"jpegQuality", 88}};
};

// After a frame the host already has, every kind of change by another client, and an output
// turned by the compositor, makes the next frame a changed one that shows it; with nothing changed
// in between, the frame after that is unchanged again.
TEST_F(ChangesOnSway, EveryKindOfChangeAfterAnUnchangedFrameIsDelivered) {
  std::vector<ChangeCase> cases = changeCases();
  cases.push_back(
      {"output turned by the compositor",
       [](Scene& s) { s.point(37, 21, 0xffffff); },
       [this](Scene&) { ASSERT_TRUE(server->command("output HEADLESS-1 transform 180")); },
       {{320 - 1 - 37, 240 - 1 - 21}},
       {{37, 21}},
       {{37, 21}}});
  for (const ChangeCase& c : cases) {
    SCOPED_TRACE(c.name);
    Scene scene(server->xDisplay());
    c.before(scene);
    // Everything of the scene but the pixels named white is black: its corners too.
    ASSERT_TRUE(shown(c.whiteBefore, {{0, 0},
                                      {300, 200},
                                      {c.white.empty() ? 1 : c.white[0].first,
                                       c.white.empty() ? 1 : c.white[0].second}}));
    startStream();
    ASSERT_EQ(ask(request).value("frameUnchanged", true), false);
    ASSERT_EQ(ask(request).value("frameUnchanged", false), true);
    c.change(scene);
    ASSERT_TRUE(shown(c.white, c.black));
    const json changed = ask(request);
    ASSERT_EQ(changed.value("frameUnchanged", true), false) << changed.dump().substr(0, 300);
    const Picture p = pictureOf(changed);
    ASSERT_EQ(p.width, 320);
    for (const auto& [px, py] : c.white) EXPECT_GT(brightnessAt(p, px, py), 150) << px << "," << py;
    for (const auto& [px, py] : c.black) EXPECT_LT(brightnessAt(p, px, py), 60) << px << "," << py;
    EXPECT_EQ(ask(request).value("frameUnchanged", false), true);
    helper->closeStdin();
    EXPECT_EQ(helper->wait(), 0);
    EXPECT_EQ(helper->err(), "");
    ASSERT_TRUE(server->command("output HEADLESS-1 transform normal"));
  }
}

// Change and no change, alternated: no change is ever missed, and no frame of an unchanged output
// is sent again. Each change waits for the compositor to show it (a few frames of the output), so
// the count is what fits in a modest time.
TEST_F(ChangesOnSway, AlternationsWithoutAMiss) {
  constexpr int alternations = 500;
  Scene scene(server->xDisplay());
  ASSERT_TRUE(shown({}, {{0, 0}, {300, 200}}));
  startStream();
  ASSERT_EQ(ask(request).value("ok", false), true);
  int missed = 0, resent = 0;
  for (int i = 0; i < alternations; ++i) {
    const auto [px, py, lastX, lastY] = alternate(scene, i);
    std::vector<std::pair<int, int>> black;
    if (i > 0) black.emplace_back(lastX, lastY);
    ASSERT_TRUE(shown({{px, py}}, black)) << i;
    const json changed = ask(request);
    const Picture p = pictureOf(changed);
    if (changed.value("frameUnchanged", true) || p.width != 320 || brightnessAt(p, px, py) < 150 ||
        (i > 0 && brightnessAt(p, lastX, lastY) > 60)) {
      ++missed;
    }
    if (!ask(request).value("frameUnchanged", false)) ++resent;
  }
  EXPECT_EQ(missed, 0);
  EXPECT_EQ(resent, 0);
  helper->closeStdin();
  EXPECT_EQ(helper->wait(), 0);
}

// The platform itself: whether it copies for a frame the host holds.
class WaylandDamage : public ChangesOnSway {
 protected:
  void SetUp() override {
    ChangesOnSway::SetUp();
    main_ = std::make_unique<Connection>(Connection::Options{server->waylandDisplay()});
    platform_ = std::make_unique<wayland::WaylandCapturePlatform>(
        *main_, nullptr, Connection::Options{server->waylandDisplay()});
  }
  void TearDown() override {
    platform_.reset();
    main_.reset();
    ChangesOnSway::TearDown();
  }

  Grabbed grab(std::optional<DamageMark> since = std::nullopt) {
    return grabAndWait(*platform_, headless1, since);
  }

  std::unique_ptr<Connection> main_;
  std::unique_ptr<wayland::WaylandCapturePlatform> platform_;
};

// An idle output is answered without a copy, also while another client's copies make the
// compositor draw frames of it with nothing new on them.
TEST_F(WaylandDamage, IdleOutputIsAnsweredWithoutACopy) {
  Scene scene(server->xDisplay());
  ASSERT_TRUE(shown({}, {{0, 0}, {300, 200}}));
  const Grabbed first = grab();
  ASSERT_TRUE(first.ok && first.mark);
  EXPECT_FALSE(first.changed);  // nothing to compare with
  for (int i = 0; i < 5; ++i) {
    shownNow();
    std::this_thread::sleep_for(50ms);
    const Grabbed again = grab(first.mark);
    EXPECT_TRUE(again.ok && again.unchanged) << i;
  }
}

// A frame carries what was drawn since the platform's previous grab of the output; a mark that
// is not the output's latest is answered with a copy.
TEST_F(WaylandDamage, FramesCarryWhatChangedSinceThePreviousGrab) {
  Scene scene(server->xDisplay());
  ASSERT_TRUE(shown({}, {{0, 0}, {300, 200}}));
  const Grabbed first = grab();
  ASSERT_TRUE(first.mark);
  scene.point(12, 34, 0xffffff);
  ASSERT_TRUE(shown({{12, 34}}, {}));
  const Grabbed second = grab(first.mark);
  ASSERT_TRUE(second.ok && !second.unchanged && second.mark && second.changed);
  EXPECT_GT(*second.mark, *first.mark);
  EXPECT_EQ(second.changedSince, first.mark);
  // The compositor reports a box around what it drew; it holds the point and not all the output.
  const auto holds = [](const std::vector<PixelRect>& boxes, int64_t x, int64_t y) {
    return std::any_of(boxes.begin(), boxes.end(), [&](const PixelRect& r) {
      return r.x <= x && x < r.x + r.width && r.y <= y && y < r.y + r.height;
    });
  };
  EXPECT_TRUE(holds(*second.changed, 12, 34));
  EXPECT_FALSE(holds(*second.changed, 300, 200));
  const Grabbed third = grab(second.mark);
  EXPECT_TRUE(third.ok && third.unchanged);
  const Grabbed older = grab(first.mark);
  ASSERT_TRUE(older.ok);
  EXPECT_FALSE(older.unchanged);
  EXPECT_EQ(older.changed, std::vector<PixelRect>{});  // a copy, and nothing was drawn since
}

// A change of the outputs, or a new compositor, makes the next grab a copy although nothing was
// drawn on the output.
TEST_F(WaylandDamage, OutputChangesAndANewConnectionAreACopy) {
  Scene scene(server->xDisplay());
  ASSERT_TRUE(shown({}, {{0, 0}, {300, 200}}));
  const struct {
    const char* name;
    std::function<void()> change;
  } cases[] = {
      {"another output added", [&] { ASSERT_TRUE(server->command("create_output")); }},
      {"output moved", [&] { ASSERT_TRUE(server->command("output HEADLESS-1 position 0 300")); }},
      {"output rescaled", [&] { ASSERT_TRUE(server->command("output HEADLESS-1 scale 2")); }},
      {"a new compositor on the socket",
       [&] {
         keeper.reset();
         keeperConnection.reset();
         observer.reset();
         observerConnection.reset();
         server->restart();
         parkCursor();
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Grabbed held = grab();
    ASSERT_TRUE(held.ok && held.mark);
    ASSERT_TRUE(grab(held.mark).unchanged);
    c.change();
    const Grabbed next = grab(held.mark);
    EXPECT_TRUE(next.ok);
    EXPECT_FALSE(next.unchanged);
  }
}

}  // namespace
}  // namespace halvorine::testing

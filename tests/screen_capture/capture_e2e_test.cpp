// Runs the real input helper against private X servers and checks what "capture_frame" answers.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture_answer_checks.h"
#include "capture_pictures.h"
#include "damage_scene.h"
#include "platform_grab.h"
#include "process.h"
#include "screen_capture/frame_scaler.h"
#include "screen_capture/jpeg_encoder.h"
#include "screen_capture/screen_capture.h"
#include "x11/x11_damage.h"
#include "x11/x11_platform.h"
#include "x11/x11_root_grabber.h"
#include "xvfb_server.h"

namespace halvorine::testing {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

const std::string helper() {
  return binaryPath("HalvorineInputHelper");
}

RunOptions onDisplay(const XvfbServer& x, std::string input) {
  RunOptions o;
  o.stdinData = std::move(input);
  o.env["DISPLAY"] = x.display();
  o.timeout = 60s;
  return o;
}

json answer(const RunResult& r) {
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out.substr(0, 200);
  return json::parse(r.out);
}

std::set<std::string> keysOf(const json& j) {
  std::set<std::string> keys;
  for (auto it = j.begin(); it != j.end(); ++it) keys.insert(it.key());
  return keys;
}

TEST(CaptureE2E, CapturesThePaintedScreenAtFullWidth) {
  struct Case {
    const char* name;
    std::vector<std::string> serverArgs;
    int depth;
  };
  const Case cases[] = {
      {"shared memory, depth 24", {}, 24},
      {"no shared memory: plain GetImage", {"-extension", "MIT-SHM"}, 24},
      {"XTEST disabled: capture is not gated", {"-extension", "XTEST"}, 24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    XvfbServer x({1280, 800, c.depth, c.serverArgs});
    Painter painter(x.display());
    const RunResult r = runProcess(
        {helper()}, onDisplay(x, R"({"type":"capture_frame","maxWidth":1920,"jpegQuality":88})"));
    EXPECT_EQ(r.exitStatus, 0);
    const json a = answer(r);
    ASSERT_EQ(a.at("ok"), true) << a.dump();
    EXPECT_EQ(a.at("applied"), true);
    EXPECT_EQ(a.at("type"), "capture_frame");
    EXPECT_EQ(a.at("frameMimeType"), "image/jpeg");
    EXPECT_EQ(a.at("frameWidth"), 1280);
    EXPECT_EQ(a.at("frameHeight"), 800);
    EXPECT_EQ(a.at("sourceWidth"), 1280);
    EXPECT_EQ(a.at("sourceHeight"), 800);
    EXPECT_EQ(a.at("screenLeft"), 0);
    EXPECT_EQ(a.at("screenTop"), 0);
    EXPECT_EQ(a.at("screenWidth"), 1280);
    EXPECT_EQ(a.at("screenHeight"), 800);
    EXPECT_EQ(a.at("frameUnchanged"), false);
    EXPECT_EQ(a.at("scaleElapsedMs"), 0);
    EXPECT_GE(a.at("captureElapsedMs").get<double>(), a.at("encodeElapsedMs").get<double>());
    EXPECT_EQ(a.at("captureBackend"), "screencapturekit_screenshot_cursor_disabled_v1");
    EXPECT_FALSE(a.contains("trusted"));
    expectPicture(a, 0, 0, 30.0);
    // The wire form escapes the solidus.
    EXPECT_NE(r.out.find(R"("frameMimeType":"image\/jpeg")"), std::string::npos);
  }
}

TEST(CaptureE2E, UnsupportedPixelFormatIsAFailureAnswer) {
  XvfbServer x({800, 600, 16, {}});
  const RunResult r = runProcess({helper()}, onDisplay(x, R"({"type":"capture_frame"})"));
  EXPECT_EQ(r.exitStatus, 3);
  const json a = answer(r);
  EXPECT_EQ(a.at("reason"), "screencapturekit_capture_failed");
}

TEST(CaptureE2E, SizesFollowScreenAndMaxWidth) {
  const std::pair<int, int> screens[] = {{1920, 1080}, {1024, 768}, {2560, 1600}, {640, 480}};
  for (const auto& [w, h] : screens) {
    XvfbServer x({w, h, 24, {}});
    std::string input;
    for (const auto& m : maxWidthCases) {
      json request = {{"type", "capture_frame"}};
      if (m) request["maxWidth"] = *m;
      input += request.dump() + "\n";
    }
    const RunResult r = runProcess({helper(), "--stream"}, onDisplay(x, input));
    EXPECT_EQ(r.exitStatus, 0);
    size_t start = 0;
    for (const auto& m : maxWidthCases) {
      SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " maxWidth " +
                   (m ? std::to_string(*m) : "absent"));
      const size_t end = r.out.find('\n', start);
      ASSERT_NE(end, std::string::npos);
      const json a = json::parse(r.out.substr(start, end - start));
      start = end + 1;
      ASSERT_EQ(a.at("ok"), true) << a.dump();
      const PixelSize expected = captureSize(w, h, m);
      EXPECT_EQ(a.at("frameWidth"), expected.width);
      EXPECT_EQ(a.at("frameHeight"), expected.height);
      EXPECT_EQ(a.at("sourceWidth"), w);
      EXPECT_EQ(a.at("sourceHeight"), h);
      const Picture p = decodeJpeg(base64Decode(a.at("frameBase64").get<std::string>()));
      EXPECT_EQ(p.width, expected.width);
      EXPECT_EQ(p.height, expected.height);
    }
  }
}

TEST(CaptureE2E, VirtualMonitorsAreChosenByTheirIdentifier) {
  XvfbServer x({1280, 800, 24, {}});
  Painter painter(x.display());
  for (const char* args :
       {"--setmonitor LEFT 640/0x800/0+0+0 none", "--setmonitor RIGHT 640/0x400/0+640+400 none",
        "--output screen --primary"}) {
    const std::string cmd = "xrandr --display " + x.display() + " " + args;
    ASSERT_EQ(runProcess({"sh", "-c", cmd}).exitStatus, 0) << cmd;
  }
  const uint32_t left = painter.atom("LEFT"), right = painter.atom("RIGHT");
  const std::string input =
      json({{"type", "capture_frame"},
            {"displayId", right},
            {"maxWidth", 1920},
            {"jpegQuality", 88}})
          .dump() +
      "\n" + json({{"type", "capture_frame"}, {"displayId", left}, {"maxWidth", 1920}}).dump() +
      "\n" +
      // PRIMARY is an atom but no monitor: the main display is captured instead.
      json({{"type", "capture_frame"}, {"displayId", painter.atom("PRIMARY")}}).dump() + "\n";
  const RunResult r = runProcess({helper(), "--stream"}, onDisplay(x, input));
  EXPECT_EQ(r.exitStatus, 0);
  std::vector<json> answers;
  for (size_t s = 0, e; (e = r.out.find('\n', s)) != std::string::npos; s = e + 1) {
    answers.push_back(json::parse(r.out.substr(s, e - s)));
  }
  ASSERT_EQ(answers.size(), 3u);
  const json& a = answers[0];
  ASSERT_EQ(a.at("ok"), true) << a.dump();
  EXPECT_EQ(a.at("screenLeft"), 640);
  EXPECT_EQ(a.at("screenTop"), 400);
  EXPECT_EQ(a.at("sourceWidth"), 640);
  EXPECT_EQ(a.at("sourceHeight"), 400);
  EXPECT_EQ(a.at("frameWidth"), 640);
  expectPicture(a, 640, 400, 30.0);
  EXPECT_EQ(answers[1].at("screenLeft"), 0);
  EXPECT_EQ(answers[1].at("sourceHeight"), 800);
  ASSERT_EQ(answers[2].at("ok"), true);
  // Xvfb's own output, made primary, is the main display.
  EXPECT_EQ(answers[2].at("sourceWidth"), 1280);
  EXPECT_EQ(answers[2].at("screenLeft"), 0);
}

TEST(CaptureE2E, UnchangedScreenIsSuppressed) {
  XvfbServer x({1024, 768, 24, {}});
  Painter painter(x.display());
  const std::string request = R"({"type":"capture_frame","suppressUnchanged":true})"
                              "\n";
  ChildProcess child({helper(), "--stream"}, onDisplay(x, ""));
  ASSERT_TRUE(child.write(request));
  const json first = json::parse(child.readLine().value_or("{}"));
  ASSERT_TRUE(child.write(request));
  const json second = json::parse(child.readLine().value_or("{}"));
  ASSERT_EQ(first.at("ok"), true) << first.dump();
  ASSERT_EQ(second.at("ok"), true) << second.dump();
  EXPECT_EQ(first.at("frameUnchanged"), false);
  EXPECT_TRUE(first.contains("frameBase64"));
  EXPECT_EQ(second.at("frameUnchanged"), true);
  EXPECT_FALSE(second.contains("frameBase64"));
  EXPECT_EQ(second.at("frameBytes"), first.at("frameBytes"));
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.err(), "");
}

TEST(CaptureE2E, NoDisplayIsAListingFailureWithTheConnectionError) {
  RunOptions o;
  o.stdinData = R"({"type":"capture_frame"})";
  o.env["DISPLAY"] = std::nullopt;
  const RunResult r = runProcess({helper()}, o);
  EXPECT_EQ(r.exitStatus, 3);
  const json a = answer(r);
  const std::string reason = a.at("reason").get<std::string>();
  const std::string prefix = "screencapturekit_shareable_content_failed_";
  ASSERT_EQ(reason.rfind(prefix, 0), 0u) << reason;
  const std::string code = reason.substr(prefix.size());
  EXPECT_TRUE(!code.empty() && code.find_first_not_of("0123456789") == std::string::npos) << reason;
  EXPECT_EQ(keysOf(a),
            (std::set<std::string>{"ok", "type", "applied", "reason", "x", "y", "captureBackend",
                                   "dispatchBackend", "nativeRuntime"}));
  EXPECT_EQ(a.at("x"), 0);
  EXPECT_EQ(a.at("y"), 0);
}

TEST(CaptureE2E, StoppedServerTimesOutAndTheNextCaptureIsServed) {
  XvfbServer x({800, 600, 24, {}});
  ChildProcess child({helper(), "--stream"}, onDisplay(x, ""));
  const std::string request = R"({"type":"capture_frame"})"
                              "\n";
  ASSERT_TRUE(child.write(request));
  ASSERT_EQ(json::parse(child.readLine().value_or("{}")).at("ok"), true);
  kill(x.pid(), SIGSTOP);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(child.write(request));
  const auto line = child.readLine(40s);
  const auto waited = std::chrono::steady_clock::now() - start;
  kill(x.pid(), SIGCONT);
  ASSERT_TRUE(line);
  const json timedOut = json::parse(*line);
  EXPECT_EQ(timedOut.at("reason"), "screencapturekit_capture_timeout");
  EXPECT_GE(waited, 10s);
  EXPECT_LT(waited, 20s);
  ASSERT_TRUE(child.write(request));
  const json next = json::parse(child.readLine(40s).value_or("{}"));
  EXPECT_EQ(next.at("ok"), true) << next.dump();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.err(), "");
}

// Hosts size their watchdogs to the documented bound: a capture is answered within 10.5 s of its
// line, however the server fails. The bound is the requirement itself; the helper keeps a margin
// under it for a loaded machine.
constexpr auto answerBound = 10500ms;

TEST(CaptureE2E, StoppedServerIsAnsweredWithinTheBound) {
  struct Case {
    const char* name;
    bool servedBefore;  // false: the capture is the helper's first contact with the server
    std::string request;
  };
  const Case cases[] = {
      {"mid-stream, main display", true, R"({"type":"capture_frame"})"},
      {"first contact, main display", false, R"({"type":"capture_frame"})"},
      {"first contact, display named", false, R"({"type":"capture_frame","displayId":1})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    XvfbServer x({800, 600, 24, {}});
    ChildProcess child({helper(), "--stream"}, onDisplay(x, ""));
    if (c.servedBefore) {
      ASSERT_TRUE(child.write(c.request + "\n"));
      ASSERT_EQ(json::parse(child.readLine().value_or("{}")).at("ok"), true);
    }
    ASSERT_EQ(kill(x.pid(), SIGSTOP), 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(child.write(c.request + "\n"));
    const auto line = child.readLine(40s);
    const auto waited = std::chrono::steady_clock::now() - start;
    kill(x.pid(), SIGCONT);
    ASSERT_TRUE(line);
    const json timedOut = json::parse(*line);
    EXPECT_EQ(timedOut.at("reason"), "screencapturekit_capture_timeout") << *line;
    // The pointer could not be read in time either.
    EXPECT_EQ(timedOut.at("x"), 0);
    EXPECT_EQ(timedOut.at("y"), 0);
    EXPECT_GE(waited, 10s);
    EXPECT_LT(waited, answerBound);

    ASSERT_TRUE(child.write(c.request + "\n"));
    const json next = json::parse(child.readLine(40s).value_or("{}"));
    EXPECT_EQ(next.value("ok", false), true) << next.dump();
    child.closeStdin();
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.err(), "");
  }
}

// A frame that the server finishes after its request timed out never reached the host; the next
// capture of the same picture must carry it in full, not call it unchanged.
TEST(CaptureE2E, FrameFinishedAfterATimeOutIsNotTakenAsDelivered) {
  XvfbServer x({640, 480, 24, {}});
  Backdrop screen(x.display(), 0x000000);
  ChildProcess child({helper(), "--stream"}, onDisplay(x, ""));
  const std::string request = R"({"type":"capture_frame","suppressUnchanged":true})"
                              "\n";
  auto ask = [&] {
    EXPECT_TRUE(child.write(request));
    return json::parse(child.readLine(40s).value_or("{}"));
  };
  const json black = ask();
  ASSERT_EQ(black.at("ok"), true) << black.dump();
  ASSERT_TRUE(black.contains("frameBase64"));

  screen.paint(0xff0000);
  ASSERT_EQ(kill(x.pid(), SIGSTOP), 0);
  const json stalled = ask();
  // Resumed: the screen read that was waiting is answered now, long after its request gave up.
  kill(x.pid(), SIGCONT);
  EXPECT_EQ(stalled.value("reason", ""), "screencapturekit_capture_timeout") << stalled.dump();

  const json red = ask();
  ASSERT_EQ(red.value("ok", false), true) << red.dump();
  EXPECT_EQ(red.at("frameUnchanged"), false);
  ASSERT_TRUE(red.contains("frameBase64"));
  const Picture p = decodeJpeg(base64Decode(red.at("frameBase64").get<std::string>()));
  ASSERT_GT(p.width, 0);
  const uint8_t* centre = &p.bgrx[(static_cast<size_t>(p.height / 2) * p.width + p.width / 2) * 4];
  EXPECT_GT(centre[2], 200);  // red
  EXPECT_LT(centre[1], 50);
  EXPECT_LT(centre[0], 50);
  // Now the host has the red frame.
  EXPECT_EQ(ask().value("frameUnchanged", false), true);
  child.closeStdin();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.err(), "");
}

void setMonitor(const XvfbServer& x, const std::string& args) {
  const std::string cmd = "xrandr --display " + x.display() + " " + args;
  ASSERT_EQ(runProcess({"sh", "-c", cmd}).exitStatus, 0) << cmd;
}

// The helper in stream mode with suppression on, at full size and quality 88 so that one pixel
// survives the JPEG.
class SuppressingHelper {
 public:
  explicit SuppressingHelper(const XvfbServer& x, std::optional<uint32_t> displayId = std::nullopt)
      : child_({helper(), "--stream"}, onDisplay(x, "")) {
    json request = {{"type", "capture_frame"},
                    {"suppressUnchanged", true},
                    {"maxWidth", 1920},
                    {"jpegQuality", 88}};
    if (displayId) request["displayId"] = *displayId;
    line_ = request.dump() + "\n";
  }
  ~SuppressingHelper() {
    child_.closeStdin();
    EXPECT_EQ(child_.wait(), 0);
    EXPECT_EQ(child_.err(), "");
  }
  json ask() {
    EXPECT_TRUE(child_.write(line_));
    return json::parse(child_.readLine(40s).value_or("{}"));
  }

 private:
  ChildProcess child_;
  std::string line_;
};

// After a frame the host already has, every kind of change by another client makes the next frame
// a changed one that shows it; and with nothing changed in between, the frame after that is
// unchanged again.
TEST(CaptureE2EDamage, EveryKindOfChangeAfterAnUnchangedFrameIsDelivered) {
  for (const ChangeCase& c : changeCases()) {
    SCOPED_TRACE(c.name);
    XvfbServer x({320, 240, 24, {}});
    Scene scene(x.display());
    c.before(scene);
    SuppressingHelper h(x);
    ASSERT_EQ(h.ask().value("frameUnchanged", true), false);
    ASSERT_EQ(h.ask().value("frameUnchanged", false), true);
    c.change(scene);
    const json changed = h.ask();
    ASSERT_EQ(changed.value("frameUnchanged", true), false) << changed.dump().substr(0, 300);
    const Picture p = pictureOf(changed);
    ASSERT_EQ(p.width, 320);
    for (const auto& [px, py] : c.white) EXPECT_GT(brightnessAt(p, px, py), 150) << px << "," << py;
    for (const auto& [px, py] : c.black) EXPECT_LT(brightnessAt(p, px, py), 60) << px << "," << py;
    EXPECT_EQ(h.ask().value("frameUnchanged", false), true);
  }
}

// A RandR change moves a monitor without changing any pixel: the same monitor, read where it is
// now, shows another part of the screen.
TEST(CaptureE2EDamage, MonitorMovedByRandrIsReadWhereItIsNow) {
  XvfbServer x({320, 240, 24, {}});
  Scene scene(x.display());
  scene.point(30, 20, 0xffffff);
  setMonitor(x, "--setmonitor PART 200/0x150/0+0+0 none");
  SuppressingHelper h(x, scene.atom("PART"));
  const json first = h.ask();
  ASSERT_EQ(first.value("ok", false), true) << first.dump().substr(0, 300);
  const Picture before = pictureOf(first);
  ASSERT_EQ(before.width, 200);
  EXPECT_GT(brightnessAt(before, 30, 20), 150);
  ASSERT_EQ(h.ask().value("frameUnchanged", false), true);

  setMonitor(x, "--delmonitor PART");
  setMonitor(x, "--setmonitor PART 200/0x150/0+10+5 none");
  const json moved = h.ask();
  ASSERT_EQ(moved.value("frameUnchanged", true), false) << moved.dump().substr(0, 300);
  const Picture after = pictureOf(moved);
  ASSERT_EQ(after.width, 200);
  EXPECT_GT(brightnessAt(after, 20, 15), 150);
  EXPECT_LT(brightnessAt(after, 30, 20), 60);
  EXPECT_EQ(h.ask().value("frameUnchanged", false), true);
}

// Change and no change, alternated, on a small screen: no change is ever missed, and no frame of
// an unchanged screen is sent again.
TEST(CaptureE2EDamage, AThousandAlternationsWithoutAMiss) {
  XvfbServer x({320, 240, 24, {}});
  Scene scene(x.display());
  SuppressingHelper h(x);
  ASSERT_EQ(h.ask().value("ok", false), true);
  int missed = 0, resent = 0;
  for (int i = 0; i < 1000; ++i) {
    const auto [px, py, lastX, lastY] = alternate(scene, i);
    const json changed = h.ask();
    const Picture p = pictureOf(changed);
    if (changed.value("frameUnchanged", true) || p.width != 320 || brightnessAt(p, px, py) < 150 ||
        (i > 0 && brightnessAt(p, lastX, lastY) > 60)) {
      ++missed;
    }
    if (!h.ask().value("frameUnchanged", false)) ++resent;
  }
  EXPECT_EQ(missed, 0);
  EXPECT_EQ(resent, 0);
}

// Random drawings, each a filled rectangle or a patch of grain, some reaching out of `area`; the
// parts of the area they touch, relative to its corner.
std::vector<PixelRect> drawRandomly(Scene& scene, std::mt19937& random, const x11::RootRect& area) {
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  std::vector<PixelRect> changed;
  for (int n = uniform(1, 3); n > 0; --n) {
    const int w = uniform(1, 60), h = uniform(1, 20);
    // Off the screen's top left corner only as far as the rectangle still reaches onto it.
    const int x = std::max(uniform(area.x - 10, area.x + area.width), 1 - w),
              y = std::max(uniform(area.y - 10, area.y + area.height), 1 - h);
    if (uniform(0, 1) == 0) {
      scene.fill(x, y, w, h, static_cast<uint32_t>(random()) & 0xffffff);
    } else {
      scene.noise(x, y, w, h, static_cast<uint32_t>(random()));
    }
    changed.push_back({x - area.x, y - area.y, w, h});
  }
  return changed;
}

// The rows of a grabbed frame, without the padding of its stride.
std::vector<uint8_t> rowsOf(const Frame& f) {
  std::vector<uint8_t> rows;
  for (int64_t y = 0; y < f.height; ++y) {
    rows.insert(rows.end(), f.pixels + y * f.bytesPerRow,
                f.pixels + y * f.bytesPerRow + f.width * 4);
  }
  return rows;
}

// A grab told what changed since its last read of the same area reads only those rows and keeps
// the rest: after every random drawing its whole buffer equals a full grab of the same screen on
// another connection.
TEST(X11PartialGrab, KeptBufferWithTheChangedRowsReadEqualsAFullGrab) {
  XvfbServer x({320, 240, 24, {}});
  setenv("DISPLAY", x.display().c_str(), 1);
  Scene scene(x.display());
  scene.noise(0, 0, 320, 240, 5);
  for (const x11::RootRect area :
       {x11::RootRect{0, 0, 320, 240}, x11::RootRect{40, 30, 200, 150}}) {
    SCOPED_TRACE(std::to_string(area.x) + "," + std::to_string(area.y));
    x11::XConnection partialConnection, fullConnection;
    x11::RootGrabber partial(partialConnection), full(fullConnection);
    const auto h = static_cast<uint32_t>(area.height);
    auto grab = [&](x11::RootGrabber& g, std::optional<std::span<const PixelRect>> changed) {
      const x11::GrabResult r =
          g.grab(area.x, area.y, static_cast<uint32_t>(area.width), h, changed);
      EXPECT_TRUE(r.ok());
      return r.ok() ? rowsOf(r.frame) : std::vector<uint8_t>{};
    };
    // Nothing to build on yet: the first grab reads everything, told what changed or not.
    const std::vector<PixelRect> none;
    grab(partial, none);
    EXPECT_EQ(partial.rowsRead(), h);
    std::mt19937 random(area.x + 1);
    int partialGrabs = 0;
    for (int step = 0; step < 40; ++step) {
      SCOPED_TRACE(step);
      const std::vector<PixelRect> changed = drawRandomly(scene, random, area);
      const std::vector<uint8_t> got = grab(partial, changed);
      if (partial.rowsRead() < h) ++partialGrabs;
      ASSERT_TRUE(got == grab(full, std::nullopt));
    }
    EXPECT_GT(partialGrabs, 30);
    // Nothing reported: nothing read, and a change nobody reported stays unseen.
    scene.fill(area.x, area.y, 4, 4, 0x123456);
    const std::vector<uint8_t> kept = grab(partial, none);
    EXPECT_EQ(partial.rowsRead(), 0u);
    EXPECT_FALSE(kept == grab(full, std::nullopt));
    // A read of another area in between leaves nothing to build on.
    partial.grab(0, 0, 16, 16);
    EXPECT_TRUE(grab(partial, none) == grab(full, std::nullopt));
    EXPECT_EQ(partial.rowsRead(), h);
  }
}

// The helper in stream mode after random changes on the screen: each frame is byte for byte the
// first frame of a fresh helper process of the same screen, decodes at the requested size, and is
// no worse (PSNR against the screen's scaled pixels) than one single-stream encode of them.
TEST(CaptureE2EDamage, FramesAfterRandomChangesAreThoseOfAFreshHelper) {
  struct Case {
    const char* name;
    json request;
    int width, height;
    double quality;
  };
  const Case cases[] = {
      {"full size, quality 88",
       {{"type", "capture_frame"}, {"maxWidth", 1920}, {"jpegQuality", 88}},
       640,
       480,
       0.88},
      {"scaled, default quality", {{"type", "capture_frame"}, {"maxWidth", 427}}, 427, 320, 0.60},
  };
  XvfbServer x({640, 480, 24, {}});
  setenv("DISPLAY", x.display().c_str(), 1);
  Scene scene(x.display());
  scene.noise(0, 0, 640, 480, 9);
  x11::XConnection connection;
  x11::RootGrabber grabber(connection);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildProcess child({helper(), "--stream"}, onDisplay(x, ""));
    const std::string line = c.request.dump();
    std::mt19937 random(3);
    for (int step = 0; step < 12; ++step) {
      SCOPED_TRACE(step);
      if (step > 0) drawRandomly(scene, random, {0, 0, 640, 480});
      ASSERT_TRUE(child.write(line + "\n"));
      const json streamed = json::parse(child.readLine(40s).value_or("{}"));
      ASSERT_EQ(streamed.value("ok", false), true) << streamed.dump().substr(0, 300);
      const json fresh = answer(runProcess({helper()}, onDisplay(x, line)));
      ASSERT_TRUE(streamed.at("frameBase64") == fresh.at("frameBase64"));

      const Picture got = pictureOf(streamed);
      ASSERT_EQ(got.width, c.width);
      ASSERT_EQ(got.height, c.height);
      const x11::GrabResult screen = grabber.grab(0, 0, 640, 480);
      ASSERT_TRUE(screen.ok());
      FrameScaler scaler;
      const Frame scaled = *scaler.scale(screen.frame, {c.width, c.height});
      const Picture single = decodeJpeg(*JpegEncoder().encode(scaled, c.quality));
      auto psnrAgainstScreen = [&](const Picture& p) {
        double squares = 0;
        for (int y = 0; y < c.height; ++y) {
          for (int xx = 0; xx < c.width * 4; ++xx) {
            if (xx % 4 == 3) continue;
            const double d = p.bgrx[static_cast<size_t>(y) * c.width * 4 + xx] -
                             scaled.pixels[y * scaled.bytesPerRow + xx];
            squares += d * d;
          }
        }
        const double mse = squares / (3.0 * c.width * c.height);
        return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
      };
      EXPECT_GE(psnrAgainstScreen(got), psnrAgainstScreen(single) - 0.1);
    }
    child.closeStdin();
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.err(), "");
  }
}

// The X11 platform itself: what it answers for a frame the host holds.
class X11Damage : public ::testing::Test {
 protected:
  X11Damage() : x_({320, 240, 24, {}}), scene_(x_.display()) {
    setenv("DISPLAY", x_.display().c_str(), 1);
    platform_ = x11::makeX11CapturePlatform(main_);
  }

  Grabbed grab(uint32_t id, std::optional<DamageMark> since = std::nullopt) {
    return grabAndWait(*platform_, id, since);
  }
  uint32_t mainId() { return platform_->mainDisplayId(std::chrono::steady_clock::now() + 10s); }

  XvfbServer x_;
  Scene scene_;
  x11::XConnection main_;
  std::unique_ptr<CapturePlatform> platform_;
};

TEST_F(X11Damage, PointerMotionIsNoChange) {
  const uint32_t id = mainId();
  const Grabbed first = grab(id);
  ASSERT_TRUE(first.ok && first.mark);
  for (int i = 0; i < 20; ++i) scene_.warpPointer(10 + i * 13, 10 + i * 7);
  const Grabbed again = grab(id, first.mark);
  EXPECT_TRUE(again.ok);
  EXPECT_TRUE(again.unchanged);
}

// A frame carries what changed since the platform's previous grab of its display, whatever mark
// it was asked about.
TEST_F(X11Damage, FramesCarryWhatChangedSinceThePreviousGrab) {
  const uint32_t id = mainId();
  const Grabbed first = grab(id);
  ASSERT_TRUE(first.mark);
  EXPECT_FALSE(first.changed);  // nothing to compare with
  scene_.point(12, 34, 0xffffff);
  const Grabbed second = grab(id, first.mark);
  ASSERT_TRUE(second.ok && !second.unchanged && second.mark);
  EXPECT_GT(*second.mark, *first.mark);
  ASSERT_TRUE(second.changed);
  EXPECT_EQ(*second.changed, (std::vector<PixelRect>{{12, 34, 1, 1}}));
  EXPECT_EQ(second.changedSince, first.mark);
  scene_.point(200, 100, 0xffffff);
  // Asked about the first mark: both points changed since, only the second since the last grab.
  const Grabbed third = grab(id, first.mark);
  ASSERT_TRUE(third.ok && !third.unchanged && third.changed);
  EXPECT_EQ(*third.changed, (std::vector<PixelRect>{{200, 100, 1, 1}}));
  EXPECT_EQ(third.changedSince, second.mark);
  EXPECT_TRUE(grab(id, third.mark).unchanged);
  EXPECT_FALSE(grab(id, second.mark).unchanged);
}

// The host holds a frame read where the monitor was before it moved; a later read where it is now
// (one the host never got, its request having timed out) must not make that frame current.
TEST_F(X11Damage, FrameReadBeforeTheMonitorMovedIsNotAnsweredFor) {
  setMonitor(x_, "--setmonitor PART 100/0x100/0+0+0 none");
  const uint32_t part = scene_.atom("PART");
  const Grabbed held = grab(part);
  ASSERT_TRUE(held.mark);
  setMonitor(x_, "--delmonitor PART");
  setMonitor(x_, "--setmonitor PART 100/0x100/0+50+50 none");
  const Grabbed late = grab(part);
  ASSERT_TRUE(late.ok && late.mark);
  EXPECT_FALSE(late.changed);  // read elsewhere than the time before: nothing to compare with
  EXPECT_FALSE(grab(part, held.mark).unchanged);
  EXPECT_TRUE(grab(part, late.mark).unchanged);
}

// A change that only the oldest part of the record knew of must not be lost when that part is
// dropped: a mark older than the record is answered with a grab.
TEST_F(X11Damage, MarkOlderThanTheRecordIsAGrab) {
  setMonitor(x_, "--setmonitor LEFT 160/0x240/0+0+0 none");
  setMonitor(x_, "--setmonitor RIGHT 160/0x240/0+160+0 none");
  const uint32_t left = scene_.atom("LEFT"), right = scene_.atom("RIGHT");
  const Grabbed held = grab(left);
  ASSERT_TRUE(held.mark);
  scene_.point(10, 10, 0xffffff);  // on LEFT
  for (int i = 0; i < 80; ++i) {
    scene_.point(170 + i, 10, 0xffffff);  // on RIGHT only
    ASSERT_TRUE(grab(right).ok);
  }
  const Grabbed again = grab(left, held.mark);
  EXPECT_TRUE(again.ok);
  EXPECT_FALSE(again.unchanged);
}

}  // namespace
}  // namespace halvorine::testing

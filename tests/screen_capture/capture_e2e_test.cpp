// Runs the real input helper against private X servers and checks what "capture_frame" answers.
#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture_answer_checks.h"
#include "capture_pictures.h"
#include "process.h"
#include "screen_capture/screen_capture.h"
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

}  // namespace
}  // namespace halvorine::testing

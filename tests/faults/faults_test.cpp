// The input helper under faults: a display that dies or stops answering, a host that goes away,
// and input far from what a host would send. Each test drives the real program through pipes.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>

#include "process.h"
#include "xvfb_server.h"

namespace halvorine::testing {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

json ask(ChildProcess& helper, const std::string& request,
         std::chrono::milliseconds timeout = 30s) {
  EXPECT_TRUE(helper.write(request + "\n"));
  auto line = helper.readLine(timeout);
  if (!line) {
    ADD_FAILURE() << "no answer to " << request;
    return json();
  }
  json answer = json::parse(*line, nullptr, false);
  EXPECT_TRUE(answer.is_object()) << *line;
  return answer;
}

TEST(DisplayFaults, ServerKilledMidStreamAndReplacedOnSameDisplay) {
  XvfbServer server;
  ChildProcess helper({binaryPath("HalvorineInputHelper"), "--stream"},
                      onDisplay(server.display()));

  EXPECT_EQ(ask(helper, R"({"type":"probe"})"),
            json::parse(R"({"applied":false,"ok":true,"trusted":true,"type":"probe"})"));
  EXPECT_EQ(ask(helper, R"({"type":"capture_frame","maxWidth":320})").value("ok", false), true);

  server.stop();
  // Every request is still answered, each with its failure.
  EXPECT_EQ(
      ask(helper, R"({"type":"probe"})"),
      json::parse(R"({"applied":false,"ok":false,"reason":"accessibility_permission_required",)"
                  R"("trusted":false,"type":"probe"})"));
  EXPECT_EQ(ask(helper, R"({"type":"mouse_move","x":5,"y":5})").value("reason", ""),
            "accessibility_permission_required");
  json capture = ask(helper, R"({"type":"capture_frame"})");
  EXPECT_EQ(capture.value("ok", true), false);
  EXPECT_EQ(capture.value("reason", "").rfind("screencapturekit_", 0), 0u) << capture.dump();
  EXPECT_EQ(ask(helper, "not json").value("reason", ""), "invalid_input_command");

  // A new server on the same display is used again without restarting the helper.
  server.restart();
  EXPECT_EQ(ask(helper, R"({"type":"probe"})").value("ok", false), true);
  json moved = ask(helper, R"({"type":"mouse_move","x":40,"y":30})");
  EXPECT_EQ(moved.value("ok", false), true) << moved.dump();
  json again = ask(helper, R"({"type":"capture_frame","maxWidth":320})");
  EXPECT_EQ(again.value("ok", false), true) << again.dump();
  EXPECT_EQ(again.value("x", -1.0), 40);

  EXPECT_EQ(helper.wait(), 0);
  EXPECT_EQ(helper.err(), "");
}

TEST(DisplayFaults, CaptureOnStoppedServerTimesOutThenServesNextRequest) {
  XvfbServer server;
  ChildProcess helper({binaryPath("HalvorineInputHelper"), "--stream"},
                      onDisplay(server.display()));
  EXPECT_EQ(ask(helper, R"({"type":"capture_frame","maxWidth":320})").value("ok", false), true);

  // A server that stops answering is a screenshot that never completes.
  ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
  const auto started = std::chrono::steady_clock::now();
  json late = ask(helper, R"({"type":"capture_frame","maxWidth":320})", 60s);
  const auto waited = std::chrono::steady_clock::now() - started;
  kill(server.pid(), SIGCONT);
  EXPECT_EQ(late.value("reason", ""), "screencapturekit_capture_timeout") << late.dump();
  EXPECT_GE(waited, 9900ms);
  EXPECT_LT(waited, 30s);

  EXPECT_EQ(ask(helper, R"({"type":"probe"})").value("ok", false), true);
  json next = ask(helper, R"({"type":"capture_frame","maxWidth":320})");
  EXPECT_EQ(next.value("ok", false), true) << next.dump();
  EXPECT_EQ(helper.wait(), 0);
  EXPECT_EQ(helper.err(), "");
}

TEST(HostFaults, HelperEndsPromptlyWhenHostClosesItsOutput) {
  XvfbServer server;
  ChildProcess helper({binaryPath("HalvorineInputHelper"), "--stream"},
                      onDisplay(server.display()));
  ASSERT_TRUE(helper.readLine(100ms) == std::nullopt);
  helper.closeStdout();
  // The helper finds out at its next answer; it must neither hang nor die of SIGPIPE.
  for (int i = 0; i < 20; ++i) helper.write("{\"type\":\"probe\"}\n");
  const int status = helper.wait(10s);
  EXPECT_NE(status, -1) << "killed by signal " << helper.termSignal() << " or hung";
  EXPECT_EQ(helper.termSignal(), 0);
  EXPECT_EQ(helper.err(), "");
}

TEST(HostFaults, HelperEndsWhenHostStopsReadingLargeAnswers) {
  XvfbServer::Options big;
  big.width = 1920;
  big.height = 1080;
  XvfbServer server(big);
  ChildProcess helper({binaryPath("HalvorineInputHelper"), "--stream"},
                      onDisplay(server.display()));
  // Captures at full size fill the pipe at once; the host never reads them.
  std::string requests;
  for (int i = 0; i < 50; ++i) {
    requests += "{\"type\":\"capture_frame\",\"maxWidth\":1920,\"jpegQuality\":88}\n";
  }
  helper.write(requests);
  const int status = helper.wait(90s);
  EXPECT_NE(status, -1) << "killed by signal " << helper.termSignal() << " or hung";
  EXPECT_EQ(helper.err(), "");
}

TEST(HostFaults, OneShotAnswerCutShortByAStalledHostEndsWithStatusFour) {
  XvfbServer server;
  // An unknown key name is echoed in the answer: a line far longer than the pipe holds.
  ChildProcess helper({binaryPath("HalvorineInputHelper")}, onDisplay(server.display()));
  ASSERT_TRUE(helper.write(R"({"type":"key_tap","key":")" + std::string(1 << 20, 'q') + "\"}"));
  helper.closeStdin();
  // The host reads nothing until the helper has given up on it (30 s without progress).
  EXPECT_EQ(helper.wait(90s), 4);
  EXPECT_EQ(helper.err(), "");
  // Only the first part of the line is there, without its line feed.
  EXPECT_EQ(helper.readLine(5s), std::nullopt);
}

TEST(HostileInput, VeryLongLineIsAnsweredOnce) {
  RunOptions options = withoutDisplay();
  std::string line = R"({"type":"probe","padding":")" + std::string(32 << 20, 'x') + "\"}\n";
  options.stdinData = line + line.substr(0, 20 << 20) + "\n" + "{\"type\":\"probe\"}\n";
  options.timeout = 120s;
  RunResult r = runProcess({binaryPath("HalvorineInputHelper"), "--stream"}, options);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(
      r.out,
      "{\"applied\":false,\"ok\":false,\"reason\":\"accessibility_permission_required\","
      "\"trusted\":false,\"type\":\"probe\"}\n"
      "{\"applied\":false,\"ok\":false,\"reason\":\"invalid_input_command\",\"trusted\":false}\n"
      "{\"applied\":false,\"ok\":false,\"reason\":\"accessibility_permission_required\","
      "\"trusted\":false,\"type\":\"probe\"}\n");
}

TEST(HostileInput, RandomLinesInterleavedWithRequestsAreEachAnsweredInOrder) {
  XvfbServer server;
  std::mt19937_64 random(20261210);
  std::string input;
  std::vector<std::string> expectedKinds;  // "probe" or "invalid"
  const char* jsonish[] = {"{",       "}",       "[",     "]",          "\"",    ":",
                           ",",       "type",    "probe", "null",       "1e400", "-0",
                           "\\u0000", "\\ud800", "true",  "{\"type\":", " "};
  for (int i = 0; i < 100000; ++i) {
    switch (i % 4) {
      case 0: {  // random bytes, never blank, never a line break
        std::string l = "x";
        for (int n = static_cast<int>(random() % 80); n > 0; --n) {
          char c = static_cast<char>(random() % 256);
          if (c != '\n') l.push_back(c);
        }
        input += l + "\n";
        expectedKinds.push_back("invalid");
        break;
      }
      case 1: {  // random JSON-like tokens
        std::string l = "{";
        for (int n = static_cast<int>(random() % 12); n > 0; --n) l += jsonish[random() % 17];
        input += l + "\n";
        expectedKinds.push_back("unknown");
        break;
      }
      default:
        input += R"({"type":"probe","n":)" + std::to_string(i) + "}\n";
        expectedKinds.push_back("probe");
    }
  }
  RunOptions options = onDisplay(server.display());
  options.stdinData = input;
  options.timeout = 300s;
  const auto started = std::chrono::steady_clock::now();
  RunResult r = runProcess({binaryPath("HalvorineInputHelper"), "--stream"}, options);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_LT(took, 240s);

  size_t index = 0, start = 0;
  while (start < r.out.size() && index < expectedKinds.size()) {
    size_t end = r.out.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    json answer = json::parse(r.out.substr(start, end - start), nullptr, false);
    ASSERT_TRUE(answer.is_object()) << "answer " << index;
    if (expectedKinds[index] == "probe") {
      ASSERT_EQ(answer.value("type", ""), "probe") << "answer " << index;
      ASSERT_EQ(answer.value("ok", false), true) << "answer " << index;
    } else if (expectedKinds[index] == "invalid") {
      ASSERT_EQ(answer.value("reason", ""), "invalid_input_command") << "answer " << index;
    }
    start = end + 1;
    ++index;
  }
  EXPECT_EQ(index, expectedKinds.size());
  EXPECT_EQ(start, r.out.size());
}

}  // namespace
}  // namespace halvorine::testing

// The real HalvorineInputHelper through pipes: without any display, on a private Xvfb, and on one
// without the XTEST extension. Each case checks the exact bytes on standard output, the exit status
// and that nothing reaches standard error.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "channel_cases.h"
#include "process.h"
#include "xvfb_server.h"

namespace halvorine::testing {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
using namespace std::string_literals;

const std::string helper = binaryPath("HalvorineInputHelper");

// The shared option builders, with a shorter time-out: every case here answers at once.
RunOptions withoutDisplay(std::string input = "") {
  RunOptions o = testing::withoutDisplay(std::move(input));
  o.timeout = 20s;
  return o;
}

RunOptions onDisplay(const XvfbServer& server, std::string input = "") {
  RunOptions o = testing::onDisplay(server.display(), std::move(input));
  o.timeout = 20s;
  return o;
}

std::string refused(const std::string& type) {
  return R"({"applied":false,"ok":false,"reason":"accessibility_permission_required",)"
         R"("trusted":false,"type":")" +
         type + "\"}\n";
}

using Case = ChannelCase;

void expectRun(const Case& c, const RunOptions& base) {
  RunOptions o = base;
  o.stdinData = c.input;
  std::vector<std::string> argv{helper};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  const RunResult r = runProcess(argv, o);
  EXPECT_EQ(r.out, c.out) << c.name;
  EXPECT_EQ(r.exitStatus, c.status) << c.name;
  EXPECT_EQ(r.err, "") << c.name;
}

TEST(NoDisplay, ModesInputsAndStatuses) {
  const Case cases[] = {
      {"EmptyInput", {}, "", channelFailure("missing_input_command", false), 2},
      {"LineFeedOnly", {}, "\n", channelFailure("invalid_input_command", false), 2},
      {"Whitespace", {}, " \t \r\n", channelFailure("invalid_input_command", false), 2},
      {"NotJson", {}, "probe", channelFailure("invalid_input_command", false), 2},
      {"ProbeNotTrusted", {}, R"({"type":"probe"})", refused("probe"), 3},
      {"UnknownTypeNotTrusted", {}, R"({"type":"warp"})", refused("warp"), 3},
      {"PromptAloneIsOneShot", {"--prompt"}, R"({"type":"probe"})", refused("probe"), 3},
      {"PermissionStatus",
       {"--permission-status"},
       "",
       R"({"applied":false,"ok":true,"trusted":false,"type":"permission_status","x":0,"y":0})"
       "\n",
       0},
      {"PermissionStatusPrompt",
       {"--prompt", "--permission-status", "--stream"},
       R"({"type":"probe"})",
       R"({"applied":false,"ok":true,"trusted":false,"type":"permission_status","x":0,"y":0})"
       "\n",
       0},
      {"StreamEmpty", {"--stream"}, "", "", 0},
      {"StreamEveryRequestFails",
       {"--stream"},
       "{\"type\":\"probe\"}\nnope\n{\"type\":\"key_tap\",\"promptForPermission\":true}\n",
       refused("probe") + channelFailure("invalid_input_command", false) + refused("key_tap"),
       0},
  };
  for (const Case& c : cases) expectRun(c, withoutDisplay());
}

TEST(NoDisplay, CaptureGoesToCapturePathNotToGate) {
  const RunResult r = runProcess({helper}, withoutDisplay(R"({"type":"capture_frame"})"));
  const json answer = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(answer.is_object()) << r.out;
  EXPECT_EQ(answer.value("type", ""), "capture_frame");
  EXPECT_EQ(answer.value("ok", true), false);
  EXPECT_TRUE(answer.value("reason", "").starts_with("screencapturekit_")) << r.out;
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(r.err, "");
}

TEST(OnDisplay, ModesInputsAndStatuses) {
  XvfbServer server;
  for (const Case& c : trustedChannelCases()) expectRun(c, onDisplay(server));

  const RunResult status = runProcess({helper, "--permission-status"}, onDisplay(server));
  const json answer = json::parse(status.out, nullptr, false);
  ASSERT_TRUE(answer.is_object()) << status.out;
  EXPECT_EQ(answer.value("trusted", false), true);
  EXPECT_TRUE(answer["x"].is_number() && answer["y"].is_number()) << status.out;
  EXPECT_EQ(status.exitStatus, 0);
}

TEST(OnDisplay, NumbersBeyondDoubleRange) {
  XvfbServer server;  // 1280 x 800
  const std::string digits(401, '9');
  const std::string encodeFailed = R"({"ok":false,"reason":"json_encode_failed"})"
                                   "\n";
  auto at = [](const char* type, const char* x, const char* y) {
    return std::string(R"({"applied":true,"ok":true,"trusted":true,"type":")") + type +
           R"(","x":)" + x + R"(,"y":)" + y + "}\n";
  };
  const std::pair<std::string, std::string> exchanges[] = {
      {R"({"type":"probe","note":1e400,"n":[-)" + digits + "]}", probeOk},
      {R"({"type":"scroll","dy":-1e400})",
       R"({"applied":true,"ok":true,"trusted":true,"type":"scroll"})"
       "\n"},
      // A fraction beyond the display is limited to its edge.
      {R"({"type":"mouse_move","coordinateSpace":"normalized","x":0.25,"y":-1e400})",
       at("mouse_move", "320", "0")},
      // The pointer goes as far as it can; the point asked for cannot be written.
      {R"({"type":"mouse_move","x":1e400,"y":7})", encodeFailed},
      {R"({"type":"mouse_delta"})", at("mouse_delta", "1279", "7")},
      {R"({"type":"mouse_delta","dx":-)" + digits + "}", encodeFailed},
      {R"({"type":"mouse_delta"})", at("mouse_delta", "0", "7")},
      {R"({"type":"mouse_move","x":1,"y":1,"displayId":1e400})",
       channelFailure("invalid_input_command", true)},
  };
  ChildProcess child({helper, "--stream"}, onDisplay(server));
  for (const auto& [request, answer] : exchanges) {
    ASSERT_TRUE(child.write(request + "\n"));
    EXPECT_EQ(child.readLine(10s).value_or("<no answer>") + "\n", answer) << request;
  }
  child.closeStdin();
  EXPECT_EQ(child.wait(10s), 0);
  EXPECT_EQ(child.err(), "");
  // The writer's rule: the status stays the one of the answer that could not be written.
  expectRun(
      {"OneShotEncodeFailed", {}, R"({"type":"mouse_move","x":-1e400,"y":1})", encodeFailed, 0},
      onDisplay(server));
}

TEST(OnDisplay, PermissionStatusWithStreamNeverReadsInput) {
  XvfbServer server;
  // Standard input stays open and empty: a helper that read it would never finish.
  ChildProcess child({helper, "--permission-status", "--stream"}, onDisplay(server));
  const auto line = child.readLine(10s);
  ASSERT_TRUE(line);
  EXPECT_TRUE(line->starts_with(R"({"applied":false,"ok":true,"trusted":true,)")) << *line;
  EXPECT_EQ(child.wait(10s), 0);
  EXPECT_EQ(child.err(), "");
}

TEST(OnDisplay, StreamAnswersEachRequestBeforeReadingTheNext) {
  XvfbServer server;
  ChildProcess child({helper, "--stream"}, onDisplay(server));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(child.write("{\"type\":\"probe\"}\n"));
    EXPECT_EQ(child.readLine(10s), probeOk.substr(0, probeOk.size() - 1));
  }
  ASSERT_TRUE(child.write("\n   \n"));
  EXPECT_EQ(child.readLine(300ms), std::nullopt);  // blank lines get no answer
  child.closeStdin();
  EXPECT_EQ(child.wait(10s), 0);
  EXPECT_EQ(child.err(), "");
}

TEST(OnDisplay, TrustFollowsTheServerAcrossARestart) {
  XvfbServer server;
  ChildProcess child({helper, "--stream"}, onDisplay(server));
  auto ask = [&] {
    EXPECT_TRUE(child.write("{\"type\":\"probe\"}\n"));
    return child.readLine(20s).value_or("<no answer>") + "\n";
  };
  EXPECT_EQ(ask(), probeOk);
  server.stop();
  EXPECT_EQ(ask(), refused("probe"));
  EXPECT_EQ(ask(), refused("probe"));
  server.restart();
  EXPECT_EQ(ask(), probeOk);
  child.closeStdin();
  EXPECT_EQ(child.wait(10s), 0);
  EXPECT_EQ(child.err(), "");
}

TEST(WithoutXTest, NotTrusted) {
  XvfbServer::Options options;
  options.extraArgs = {"-extension", "XTEST"};
  XvfbServer server(options);
  const Case cases[] = {
      {"Probe", {}, R"({"type":"probe"})", refused("probe"), 3},
      {"EmptyInput", {}, "", channelFailure("missing_input_command", false), 2},
      {"StreamInvalid", {"--stream"}, "[]\n", channelFailure("invalid_input_command", false), 0},
  };
  for (const Case& c : cases) expectRun(c, onDisplay(server));
  const RunResult status = runProcess({helper, "--permission-status"}, onDisplay(server));
  EXPECT_NE(status.out.find("\"trusted\":false"), std::string::npos) << status.out;
}

TEST(HostGoesAway, StreamEndsWithoutSignalWhenOutputIsClosed) {
  XvfbServer server;
  ChildProcess child({helper, "--stream"}, onDisplay(server));
  ASSERT_TRUE(child.write("{\"type\":\"probe\"}\n"));
  ASSERT_TRUE(child.readLine(10s));
  child.closeStdout();
  ASSERT_TRUE(child.write("{\"type\":\"probe\"}\n"));  // stdin stays open
  EXPECT_EQ(child.wait(10s), 4);
  EXPECT_EQ(child.termSignal(), 0);
  EXPECT_EQ(child.err(), "");
}

}  // namespace
}  // namespace halvorine::testing

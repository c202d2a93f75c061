// Speed of input synthesis on a private X server, measured side by side in one run:
//   mouse_move requests per second in stream mode (each answered after its round trip),
//   a one-shot mouse_click process against `xdotool click 1` and against /bin/true,
//   typing 50 characters against the 2,000 ms that its pauses take.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "process.h"
#include "xvfb_server.h"

using namespace halvorine::testing;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// mouse_move requests per second through the helper in stream mode; 0 when one failed.
double streamThroughput(const std::string& display, int count) {
  ChildProcess helper({binaryPath("HalvorineInputHelper"), "--stream"}, onDisplay(display));
  return pipelinedMoveThroughput(helper, count);
}

// One request, one answer, then the next: the latency a host that waits for each answer sees.
double lockstepThroughput(const std::string& display, int count) {
  ChildProcess helper({binaryPath("HalvorineInputHelper"), "--stream"}, onDisplay(display));
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    helper.write("{\"type\":\"mouse_move\",\"x\":" + std::to_string(i % 1000) + ",\"y\":5}\n");
    if (!helper.readLine()) return 0;
  }
  const double ms = msSince(start);
  helper.closeStdin();
  helper.wait();
  return count / (ms / 1000);
}

}  // namespace

int main() {
  XvfbServer server;
  const std::string& display = server.display();
  std::printf("%-44s %14s %14s %10s\n", "measure", "value", "reference", "ratio");

  const int moves = 20000;
  const double pipelined = streamThroughput(display, moves);
  std::printf("%-44s %10.0f /s %14s %10s\n", "mouse_move stream, pipelined (goal >=10000)",
              pipelined, "", "");
  const double lockstep = lockstepThroughput(display, 5000);
  std::printf("%-44s %10.0f /s %14s %10s\n", "mouse_move stream, one at a time", lockstep, "", "");

  const int runs = 100;
  bool ok = true;
  const double click =
      averageRunMs({binaryPath("HalvorineInputHelper")},
                   onDisplay(display, R"({"type":"mouse_click","x":5,"y":5})"), runs, &ok);
  bool xdotoolOk = true;
  const double xdotool =
      averageRunMs({"xdotool", "click", "1"}, onDisplay(display), runs, &xdotoolOk);
  bool trueOk = true;
  const double truth = averageRunMs({"/bin/true"}, onDisplay(display), runs, &trueOk);
  std::printf("%-44s %11.2f ms %11.2f ms %9.1fx\n", "one-shot mouse_click vs xdotool (goal >=10x)",
              click, xdotool, xdotool / click);
  std::printf("%-44s %11.2f ms %11.2f ms %9.2fx\n", "one-shot mouse_click vs /bin/true (goal <=3x)",
              click, truth, click / truth);
  if (!ok || !xdotoolOk) std::printf("note: some runs did not exit with status 0\n");

  // 50 characters, some outside the keymap so that temporary bindings are timed too.
  const std::string text =
      "The quick brown fox \u00e9\u00e8 \u4E2D\u6587 \U0001F600 jumps over \u00c5ngstr\u00f6m ok";
  ChildProcess helper({binaryPath("HalvorineInputHelper"), "--stream"}, onDisplay(display));
  helper.write("{\"type\":\"probe\"}\n");
  helper.readLine();
  const auto start = Clock::now();
  helper.write("{\"type\":\"text_input\",\"text\":\"" + text + "\"}\n");
  const std::optional<std::string> answer = helper.readLine();
  const double typing = msSince(start);
  helper.closeStdin();
  helper.wait();
  std::printf("%-44s %11.1f ms %11.1f ms %9.3fx\n", "text_input of 50 characters (goal <=1.1x)",
              typing, 2000.0, typing / 2000.0);
  if (!answer || answer->find("\"textLength\":50") == std::string::npos) {
    std::printf("note: unexpected answer %s\n", answer.value_or("(none)").c_str());
  }
  return 0;
}

// Throughput of the input helper's command channel:
//  - stream mode: 100,000 "probe" lines, each answered after a trust query that would notice a
//    server that has gone away (goal: at least 20,000 requests per second);
//  - one-shot "probe" as a whole process, against /bin/true in the same run (goal: within 2x).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "process.h"
#include "xvfb_server.h"

using namespace halvorine::testing;
using Clock = std::chrono::steady_clock;

namespace {

const std::string probeLine = "{\"type\":\"probe\"}\n";
const std::string probeOk = "{\"applied\":false,\"ok\":true,\"trusted\":true,\"type\":\"probe\"}\n";
const std::string probeRefused =
    "{\"applied\":false,\"ok\":false,\"reason\":\"accessibility_permission_required\","
    "\"trusted\":false,\"type\":\"probe\"}\n";

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Runs one stream of `count` probes; returns requests per second, or a negative value when the
// answers are not exactly one expected line per request, in order.
double streamRate(const RunOptions& base, int count, const std::string& expected) {
  RunOptions options = base;
  options.stdinData.reserve(probeLine.size() * count);
  for (int i = 0; i < count; ++i) options.stdinData += probeLine;
  options.timeout = std::chrono::minutes(5);
  const auto start = Clock::now();
  const RunResult r = runProcess({binaryPath("HalvorineInputHelper"), "--stream"}, options);
  const double elapsed = seconds(Clock::now() - start);
  bool exact = r.exitStatus == 0 && r.err.empty() && r.out.size() == expected.size() * count;
  for (size_t at = 0; exact && at < r.out.size(); at += expected.size()) {
    exact = r.out.compare(at, expected.size(), expected) == 0;
  }
  return exact ? count / elapsed : -1;
}

struct Timing {
  double medianMs = -1;
  double p10Ms = -1;
};

// Runs the two commands alternately, so that load from elsewhere on the machine falls on both.
std::pair<Timing, Timing> processTimings(const std::vector<std::string>& a,
                                         const std::vector<std::string>& b,
                                         const RunOptions& options, int runs,
                                         const std::string& expectedA,
                                         const std::string& expectedB) {
  std::vector<double> msA, msB;
  for (int i = 0; i < runs; ++i) {
    for (int which = 0; which < 2; ++which) {
      const auto start = Clock::now();
      const RunResult r = runProcess(which == 0 ? a : b, options);
      (which == 0 ? msA : msB).push_back(seconds(Clock::now() - start) * 1000);
      if (r.out != (which == 0 ? expectedA : expectedB)) {
        std::printf("unexpected output: %s\n", r.out.c_str());
        return {};
      }
    }
  }
  auto summary = [](std::vector<double>& ms) {
    std::sort(ms.begin(), ms.end());
    return Timing{ms[ms.size() / 2], ms[ms.size() / 10]};
  };
  return {summary(msA), summary(msB)};
}

}  // namespace

int main() {
  XvfbServer server;
  RunOptions onDisplay;
  onDisplay.env["DISPLAY"] = server.display();
  RunOptions noDisplay;
  noDisplay.env["DISPLAY"] = std::nullopt;

  constexpr int streamCount = 100000;
  const double trustedRate = streamRate(onDisplay, streamCount, probeOk);
  const double noDisplayRate = streamRate(noDisplay, streamCount, probeRefused);

  constexpr int runs = 300;
  RunOptions oneShot = onDisplay;
  oneShot.stdinData = probeLine;
  const auto [truth, helper] = processTimings({"/bin/true"}, {binaryPath("HalvorineInputHelper")},
                                              oneShot, runs, "", probeOk);

  std::printf("%-46s %14s %10s\n", "measurement", "value", "goal");
  std::printf("%-46s %10.0f /s %10s\n", "stream probes, Xvfb with XTEST (100,000 lines)",
              trustedRate, ">= 20000");
  std::printf("%-46s %10.0f /s %10s\n", "stream probes, no display (100,000 lines)", noDisplayRate,
              "-");
  std::printf("%-46s %11.3f ms %10s\n", "/bin/true, median of 300", truth.medianMs, "-");
  std::printf("%-46s %11.3f ms %10s\n", "one-shot probe, median of 300", helper.medianMs, "-");
  std::printf("%-46s %11.3f ms %10s\n", "/bin/true, 10th percentile", truth.p10Ms, "-");
  std::printf("%-46s %11.3f ms %10s\n", "one-shot probe, 10th percentile", helper.p10Ms, "-");
  const double ratio = helper.medianMs / truth.medianMs;
  std::printf("%-46s %12.2f x %10s\n", "one-shot probe / true (medians)", ratio, "<= 2");
  std::printf("%-46s %12.2f x %10s\n", "one-shot probe / true (10th percentiles)",
              helper.p10Ms / truth.p10Ms, "<= 2");

  const bool ok = trustedRate >= 20000 && noDisplayRate > 0 && truth.medianMs > 0 &&
                  helper.medianMs > 0 && ratio <= 2;
  std::printf("%s\n", ok ? "all goals met" : "GOAL MISSED or wrong answers");
  return ok ? 0 : 1;
}

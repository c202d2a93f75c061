// Speed of the Wayland backend on a private headless sway, measured side by side in one run:
//   virtual pointer motions per second, in batches closed by one round trip (as a stream of
//   mouse_move requests read ahead is answered) and with a round trip after each motion;
//   a screencopy of one output into the kept shared memory, a cold one on a new connection,
//   and `grim` on the same output.
#include <chrono>
#include <cstdio>
#include <string>

#include "process.h"
#include "sway_server.h"
#include "wayland/wayland_connection.h"
#include "wayland/wayland_pointer.h"
#include "wayland/wayland_screencopy.h"

using namespace halvorine::testing;
using namespace halvorine;
using namespace halvorine::wayland;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Motions per second; 0 when the compositor failed to take one.
double motionThroughput(Pointer& pointer, int count, int batch) {
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    if (!pointer.moveTo(Point{double(i % 1000), double(i % 700)})) return 0;
    if ((i + 1) % batch == 0 && !pointer.finish()) return 0;
  }
  if (!pointer.finish()) return 0;
  return count / (msSince(start) / 1000);
}

// Average milliseconds per capture; negative when one failed.
double captureMs(Screencopy& screencopy, uint32_t displayId, int runs) {
  if (screencopy.capture(displayId) != Screencopy::none) return -1;  // buffer made, page cache warm
  const auto start = Clock::now();
  for (int i = 0; i < runs; ++i) {
    if (screencopy.capture(displayId) != Screencopy::none) return -1;
  }
  return msSince(start) / runs;
}

double coldCaptureMs(const Connection::Options& options, uint32_t displayId, int runs) {
  const auto start = Clock::now();
  for (int i = 0; i < runs; ++i) {
    Connection connection(options);
    Screencopy screencopy(connection);
    if (screencopy.capture(displayId) != Screencopy::none) return -1;
  }
  return msSince(start) / runs;
}

}  // namespace

int main() {
  if (!runAsWaylandTestUser()) {
    std::printf("cannot run as the unprivileged test user\n");
    return 1;
  }
  SwayServer::Options swayOptions;
  swayOptions.xwayland = false;
  SwayServer server(swayOptions);
  const Connection::Options options{server.waylandDisplay(), std::chrono::milliseconds(5000)};
  Connection connection(options);
  if (!connection.trusted()) {
    std::printf("headless sway is not reachable\n");
    return 1;
  }
  const std::vector<Output> outputs = connection.outputs();
  const Output* output = mainOutput(outputs);
  if (output == nullptr) {
    std::printf("headless sway has no output\n");
    return 1;
  }
  std::printf("%-48s %14s %14s %10s\n", "measure", "value", "reference", "ratio");

  // The pointer stays on the seat for the whole run, and ends in a corner.
  Pointer pointer(connection);
  const double batched = motionThroughput(pointer, 50000, 100);
  std::printf("%-48s %10.0f /s %14s %10s\n", "pointer motion, round trip per 100 (goal >=10000)",
              batched, "", "");
  const double single = motionThroughput(pointer, 5000, 1);
  std::printf("%-48s %10.0f /s %14s %10s\n", "pointer motion, round trip per motion", single, "",
              "");
  pointer.moveTo(Point{output->bounds.x + output->bounds.width - 1,
                       output->bounds.y + output->bounds.height - 1});
  pointer.finish();

  const int runs = 50;
  Screencopy screencopy(connection);
  const double warm = captureMs(screencopy, output->displayId, runs);
  const double cold = coldCaptureMs(options, output->displayId, runs);
  RunOptions grimOptions;
  grimOptions.env["WAYLAND_DISPLAY"] = server.waylandDisplay();
  grimOptions.env["XDG_RUNTIME_DIR"] = server.runtimeDir();
  bool grimOk = true;
  const double grim = averageRunMs({"grim", "-o", output->name, "-t", "ppm", "/dev/null"},
                                   grimOptions, runs, &grimOk);
  const std::string size = std::to_string(static_cast<int>(output->bounds.width)) + "x" +
                           std::to_string(static_cast<int>(output->bounds.height));
  std::printf("%-48s %11.2f ms %11.2f ms %9.2fx\n",
              ("screencopy " + size + ", kept buffer vs grim -t ppm").c_str(), warm, grim,
              warm / grim);
  std::printf("%-48s %11.2f ms %11.2f ms %9.2fx\n", "screencopy on a new connection vs grim", cold,
              grim, cold / grim);
  if (warm < 0 || cold < 0) std::printf("note: a screencopy failed\n");
  if (!grimOk) std::printf("note: some grim runs did not exit with status 0\n");
  return batched > 0 && warm > 0 && cold > 0 ? 0 : 1;
}

// Speed of the Wayland backend on a private headless sway (1920x1080, the capture test picture
// shown full screen under Xwayland), measured side by side in one run:
//   the helper in stream mode: mouse_move requests per second, written ahead by a thread of
//   their own (goal >= 10,000/s);
//   virtual pointer motions per second in one process, in batches closed by one round trip and
//   with a round trip after each motion;
//   the helper's capture_frame round trip in stream mode, a few pixels changed before each frame
//   (the cursor, which headless sway draws into the output, moved by one), against the floor of the
//   same work in one process (screencopy into the kept shared memory, scale, encode; goal
//   within 1.2x), and `grim` on the same output as the peer (a whole process: copy and write the
//   file); with suppression on, the round trip of a frame of an output that nothing changed since
//   the last one against that of a frame after a change (goal at most 0.1x); a screencopy alone, on
//   the kept buffer and on a new connection.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "capture_pictures.h"
#include "process.h"
#include "screen_capture/frame_scaler.h"
#include "screen_capture/jpeg_encoder.h"
#include "screen_capture/screen_capture.h"
#include "sway_server.h"
#include "wayland/wayland_connection.h"
#include "wayland/wayland_pointer.h"
#include "wayland/wayland_screencopy.h"

using namespace halvorine::testing;
using namespace halvorine;
using namespace halvorine::wayland;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int screenWidth = 1920;
constexpr int screenHeight = 1080;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

RunOptions helperOptions(const SwayServer& server) {
  RunOptions o;
  o.env["WAYLAND_DISPLAY"] = server.waylandDisplay();
  o.env["XDG_RUNTIME_DIR"] = server.runtimeDir();
  o.env["DISPLAY"] = std::nullopt;
  o.env["HALVORINE_BACKEND"] = std::nullopt;
  return o;
}

// mouse_move requests per second through the helper in stream mode; 0 when one failed.
double helperMoveThroughput(const SwayServer& server, int count) {
  ChildProcess helper({binaryPath("HalvorineInputHelper"), "--stream"}, helperOptions(server));
  return pipelinedMoveThroughput(helper, count);
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

struct RoundTrip {
  double ms = -1;
  long frameBytes = -1;
};

// Median request-to-answer time of capture_frame in stream mode, after 5 frames of warming up.
// `change` runs before each request and returns once the output shows something new: the helper
// answers for an output that nothing changed on without copying it.
RoundTrip helperCapture(const SwayServer& server, const std::string& request, int frames,
                        const std::function<void(int)>& change) {
  ChildProcess helper({binaryPath("HalvorineInputHelper"), "--stream"}, helperOptions(server));
  std::vector<double> times;
  RoundTrip r;
  for (int i = 0; i < frames + 5; ++i) {
    change(i);
    const auto start = Clock::now();
    helper.write(request + "\n");
    const auto answer = helper.readLine(std::chrono::seconds(30));
    const double t = msSince(start);
    if (!answer || answer->find("\"ok\":true") == std::string::npos) return {};
    if (i >= 5) times.push_back(t);
    const auto at = answer->find("\"frameBytes\":");
    if (at != std::string::npos) r.frameBytes = std::stol(answer->substr(at + 13));
  }
  helper.closeStdin();
  helper.wait();
  r.ms = median(times);
  return r;
}

// With suppression on: the round trip of a frame after a change that the compositor has shown
// (the cursor moved by a pixel, which headless sway draws into the output), and of a frame of an
// output that nothing has changed since the last one; medians, and how many answers of each
// series said the other thing.
struct Suppression {
  double changedMs = -1, unchangedMs = -1;
  int changedCalledUnchanged = 0, unchangedCalledChanged = 0;
};

Suppression helperSuppression(const SwayServer& server, const std::function<void(int)>& change,
                              int frames) {
  const std::string request = R"({"type":"capture_frame","suppressUnchanged":true})";
  ChildProcess helper({binaryPath("HalvorineInputHelper"), "--stream"}, helperOptions(server));
  Suppression s;
  std::vector<double> changed, unchanged;
  const auto ask = [&](std::vector<double>* times, int* wrong, bool wantUnchanged) {
    const auto start = Clock::now();
    helper.write(request + "\n");
    const auto answer = helper.readLine(std::chrono::seconds(30));
    const double t = msSince(start);
    if (!answer || answer->find("\"ok\":true") == std::string::npos) return false;
    const bool said = answer->find("\"frameUnchanged\":true") != std::string::npos;
    if (times != nullptr) {
      times->push_back(t);
      if (said != wantUnchanged) ++*wrong;
    }
    return true;
  };
  for (int i = 0; i < frames + 3; ++i) {
    const bool measured = i >= 3;
    change(i);
    if (!ask(measured ? &changed : nullptr, &s.changedCalledUnchanged, false)) return {};
    if (!ask(measured ? &unchanged : nullptr, &s.unchangedCalledChanged, true)) return {};
  }
  helper.closeStdin();
  helper.wait();
  s.changedMs = median(changed);
  s.unchangedMs = median(unchanged);
  return s;
}

// The same work in one process: screencopy into the kept buffer, scale, encode; after the same
// change as the helper's frames, so that both wait alike for the compositor's next frame.
double floorCapture(const Connection::Options& options, uint32_t displayId, PixelSize size,
                    double quality, int frames, const std::function<void(int)>& change) {
  Connection connection(options);
  Screencopy screencopy(connection);
  FrameScaler scaler;
  JpegEncoder encoder;
  std::vector<double> times;
  for (int i = 0; i < frames + 5; ++i) {
    change(i);
    const auto start = Clock::now();
    if (screencopy.capture(displayId) != Screencopy::none) return -1;
    const Screencopy::Image image = screencopy.image();
    const Frame frame{image.pixels, image.width, image.height,
                      static_cast<int64_t>(image.bytesPerRow)};
    const auto scaled = scaler.scale(frame, size);
    if (!scaled || !encoder.encode(*scaled, quality)) return -1;
    if (i >= 5) times.push_back(msSince(start));
  }
  return median(times);
}

// Average milliseconds per screencopy; negative when one failed.
double screencopyMs(Screencopy& screencopy, uint32_t displayId, int runs) {
  if (screencopy.capture(displayId) != Screencopy::none) return -1;  // buffer made, page cache warm
  const auto start = Clock::now();
  for (int i = 0; i < runs; ++i) {
    if (screencopy.capture(displayId) != Screencopy::none) return -1;
  }
  return msSince(start) / runs;
}

double coldScreencopyMs(const Connection::Options& options, uint32_t displayId, int runs) {
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
  swayOptions.width = screenWidth;
  swayOptions.height = screenHeight;
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
  Painter picture(server.xDisplay());
  std::printf("%-52s %14s %14s %10s\n", "measure", "value", "reference", "ratio");

  // The bench's pointer stays on the seat for the whole run (sway 1.7 with Xwayland can crash
  // when the seat's only pointer comes and goes), and ends in a corner.
  Pointer pointer(connection);
  const double helperMoves = helperMoveThroughput(server, 50000);
  std::printf("%-52s %10.0f /s %14s %10s\n", "helper mouse_move stream, pipelined (goal >=10000)",
              helperMoves, "", helperMoves >= 10000 ? "met" : "missed");
  const double batched = motionThroughput(pointer, 50000, 100);
  std::printf("%-52s %10.0f /s %14s %10s\n", "pointer motion in one process, round trip per 100",
              batched, "", "");
  const double single = motionThroughput(pointer, 5000, 1);
  std::printf("%-52s %10.0f /s %14s %10s\n", "pointer motion in one process, round trip each",
              single, "", "");
  pointer.moveTo(Point{output->bounds.x + output->bounds.width - 1,
                       output->bounds.y + output->bounds.height - 1});
  pointer.finish();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the picture is shown

  const int frames = 40;
  RunOptions grimOptions;
  grimOptions.env["WAYLAND_DISPLAY"] = server.waylandDisplay();
  grimOptions.env["XDG_RUNTIME_DIR"] = server.runtimeDir();
  const struct {
    const char* what;
    std::string request;
    std::optional<int64_t> maxWidth;
    std::optional<int64_t> quality;
  } captures[] = {
      {"capture_frame default (1280 wide, q60)", R"({"type":"capture_frame"})", std::nullopt,
       std::nullopt},
      {"capture_frame full size, q88",
       R"({"type":"capture_frame","maxWidth":1920,"jpegQuality":88})", 1920, 88},
  };
  bool goalsMet = helperMoves >= 10000;
  // A change of a few pixels: the cursor moved by one, which headless sway draws into the output;
  // a copy of the bench's own returns once the output shows it.
  Screencopy observer(connection);
  const auto moveCursor = [&](int i) {
    pointer.moveTo(Point{output->bounds.x + output->bounds.width - 1 - (i % 2),
                         output->bounds.y + output->bounds.height - 1});
    pointer.finish();
    observer.capture(output->displayId);
  };
  for (const auto& c : captures) {
    const RoundTrip helper = helperCapture(server, c.request, frames, moveCursor);
    const PixelSize size = captureSize(output->pixelWidth, output->pixelHeight, c.maxWidth);
    const double floor = floorCapture(options, output->displayId, size, encoderQuality(c.quality),
                                      frames, moveCursor);
    std::printf("%-52s %11.2f ms %11.2f ms %9.2fx  (%ld bytes)\n",
                (std::string(c.what) + " vs floor").c_str(), helper.ms, floor, helper.ms / floor,
                helper.frameBytes);
    const bool met = helper.ms > 0 && floor > 0 && helper.ms <= 1.2 * floor;
    std::printf("  goal: within 1.2x of the floor: %s\n", met ? "met" : "missed");
    goalsMet = goalsMet && met;
  }

  {
    const Suppression s = helperSuppression(server, moveCursor, frames);
    std::printf("%-52s %11.2f ms %11.2f ms %9.3fx\n",
                "suppressed unchanged frame vs changed frame (defaults)", s.unchangedMs,
                s.changedMs, s.unchangedMs / s.changedMs);
    const bool met = s.unchangedMs > 0 && s.changedMs > 0 && s.unchangedMs <= 0.1 * s.changedMs &&
                     s.changedCalledUnchanged == 0 && s.unchangedCalledChanged == 0;
    std::printf(
        "  goal: at most 0.1x, no change missed, none made up: %s (%d missed, %d made up)\n",
        met ? "met" : "missed", s.changedCalledUnchanged, s.unchangedCalledChanged);
    goalsMet = goalsMet && met;
  }

  // grim as Debian builds it has no JPEG: a whole process that copies the output and writes it
  // raw (ppm), or compressed (png, its default).
  for (const char* type : {"ppm", "png"}) {
    bool grimOk = true;
    const double grim = averageRunMs({"grim", "-o", output->name, "-t", type, "/dev/null"},
                                     grimOptions, 20, &grimOk);
    std::printf("%-52s %11.2f ms %14s %10s%s\n",
                (std::string("grim -t ") + type + " of the same output, whole process").c_str(),
                grim, "", "", grimOk ? "" : "  (some grim runs failed)");
  }

  const int runs = 50;
  Screencopy screencopy(connection);
  const double warm = screencopyMs(screencopy, output->displayId, runs);
  const double cold = coldScreencopyMs(options, output->displayId, runs);
  const std::string size =
      std::to_string(output->pixelWidth) + "x" + std::to_string(output->pixelHeight);
  std::printf("%-52s %11.2f ms %14s %10s\n", ("screencopy " + size + " alone, kept buffer").c_str(),
              warm, "", "");
  std::printf("%-52s %11.2f ms %14s %10s\n", "screencopy alone, on a new connection", cold, "", "");
  if (warm < 0 || cold < 0) std::printf("note: a screencopy failed\n");
  std::printf("goals: %s\n", goalsMet ? "all met" : "some missed");
  return batched > 0 && warm > 0 && cold > 0 ? 0 : 1;
}

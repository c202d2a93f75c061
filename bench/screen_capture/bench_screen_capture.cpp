// Cost of one "capture_frame" on a 1920x1080 desktop with text windows over a photographic
// background:
//  - stream-mode round trip per frame (request written to answer read), against the floor of the
//    same work done directly in this process (shared-memory read, box scaling, JPEG encoding of
//    the same frame; goal: within 1.2x);
//  - against scrot, maim and ffmpeg -f x11grab taking one frame each as a whole process (goal: at
//    least 10x faster than the fastest of them);
//  - the helper's peak memory (goal: at most 40 MiB).
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "process.h"
#include "screen_capture/frame_scaler.h"
#include "screen_capture/jpeg_encoder.h"
#include "x11/x11_root_grabber.h"
#include "xvfb_server.h"

using namespace halvorine::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int screenWidth = 1920, screenHeight = 1080;

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A photograph-like background (soft shapes, gradients and grain) with a few terminal and
// document windows full of text on top. The client stays connected while the bench runs.
class Desktop {
 public:
  explicit Desktop(const std::string& display) {
    c_ = xcb_connect(display.c_str(), nullptr);
    xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    const xcb_pixmap_t pixmap = xcb_generate_id(c_);
    xcb_create_pixmap(c_, s->root_depth, pixmap, s->root, screenWidth, screenHeight);
    const xcb_gcontext_t gc = xcb_generate_id(c_);
    xcb_create_gc(c_, gc, pixmap, 0, nullptr);
    const int rowsPerRequest = 100;
    std::vector<uint32_t> rows(static_cast<size_t>(screenWidth) * rowsPerRequest);
    uint32_t seed = 12345;
    for (int y0 = 0; y0 < screenHeight; y0 += rowsPerRequest) {
      for (int y = y0; y < y0 + rowsPerRequest; ++y) {
        for (int x = 0; x < screenWidth; ++x) {
          seed = seed * 1664525 + 1013904223;
          const double grain = ((seed >> 24) & 15) - 7.5;
          const double hills = 60 * std::sin(x * 0.004 + std::sin(y * 0.011) * 2) +
                               40 * std::cos(y * 0.006 - x * 0.002);
          const double sky = 255.0 * y / screenHeight;
          auto ch = [](double v) { return static_cast<uint32_t>(std::clamp(v, 0.0, 255.0)); };
          const uint32_t r = ch(90 + hills + 0.3 * sky + grain);
          const uint32_t g = ch(120 + 0.7 * hills + 0.2 * sky + grain);
          const uint32_t b = ch(170 - 0.5 * hills - 0.2 * sky + grain);
          rows[static_cast<size_t>(y - y0) * screenWidth + x] = (r << 16) | (g << 8) | b;
        }
      }
      xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, screenWidth, rowsPerRequest, 0, y0,
                    0, s->root_depth, static_cast<uint32_t>(rows.size() * 4),
                    reinterpret_cast<const uint8_t*>(rows.data()));
    }
    window(s, s->root, 0, 0, screenWidth, screenHeight, pixmap, 0, false);

    const xcb_font_t font = xcb_generate_id(c_);
    xcb_open_font(c_, font, 5, "fixed");
    struct Win {
      int x, y, w, h;
      uint32_t bg, fg;
    };
    const Win windows[] = {{60, 50, 900, 620, 0x101820, 0xd0d0d0},
                           {1000, 120, 820, 700, 0xffffff, 0x202020},
                           {300, 600, 760, 420, 0xf4f1e8, 0x303030}};
    int n = 0;
    for (const Win& w : windows) {
      const xcb_window_t id = window(s, s->root, w.x, w.y, w.w, w.h, 0, w.bg, true);
      const xcb_gcontext_t text = xcb_generate_id(c_);
      const uint32_t values[] = {w.fg, w.bg, font};
      xcb_create_gc(c_, text, id, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND | XCB_GC_FONT, values);
      for (int line = 0; 16 + line * 14 < w.h; ++line, ++n) {
        char buf[200];
        const int len = std::snprintf(
            buf, sizeof buf,
            "%04d  $ grep -rn capture_frame src/ | head  # result %d: ok frameBytes=%d tail", n,
            line * 7 % 13, 40000 + n * 37);
        xcb_image_text_8(c_, static_cast<uint8_t>(std::min(len, w.w / 6)), id, text, 8,
                         16 + line * 14, buf);
      }
    }
    free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
  }
  ~Desktop() { xcb_disconnect(c_); }

 private:
  xcb_window_t window(xcb_screen_t* s, xcb_window_t parent, int x, int y, int w, int h,
                      xcb_pixmap_t background, uint32_t pixel, bool plain) {
    const xcb_window_t id = xcb_generate_id(c_);
    const uint32_t values[] = {plain ? pixel : background, 1};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, id, parent, static_cast<int16_t>(x),
                      static_cast<int16_t>(y), static_cast<uint16_t>(w), static_cast<uint16_t>(h),
                      0, XCB_WINDOW_CLASS_INPUT_OUTPUT, s->root_visual,
                      (plain ? XCB_CW_BACK_PIXEL : XCB_CW_BACK_PIXMAP) | XCB_CW_OVERRIDE_REDIRECT,
                      values);
    xcb_map_window(c_, id);
    return id;
  }
  xcb_connection_t* c_;
};

long peakKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

struct StreamFigures {
  double roundTripMs = -1;
  long frameBytes = -1;
  long peakKiB = -1;
};

StreamFigures streamRoundTrip(const std::string& display, const std::string& request, int frames) {
  RunOptions o;
  o.env["DISPLAY"] = display;
  ChildProcess helper({binaryPath("HalvorineInputHelper"), "--stream"}, o);
  const std::string line = request + "\n";
  std::vector<double> times;
  StreamFigures f;
  for (int i = 0; i < frames + 5; ++i) {
    const auto start = Clock::now();
    helper.write(line);
    const auto answer = helper.readLine(std::chrono::seconds(30));
    const auto end = Clock::now();
    if (!answer || answer->find("\"ok\":true") == std::string::npos) return f;
    if (i >= 5) times.push_back(ms(end - start));  // the first frames list and warm up
    const auto at = answer->find("\"frameBytes\":");
    if (at != std::string::npos) f.frameBytes = std::stol(answer->substr(at + 13));
  }
  f.roundTripMs = median(times);
  f.peakKiB = peakKiB(helper.pid());
  helper.wait();
  return f;
}

struct Floor {
  double totalMs = -1;
  double readMs = -1;    // shared-memory read at full size alone
  double encodeMs = -1;  // JPEG encoding alone
};

Floor directFloor(const std::string& display, int64_t outWidth, int64_t outHeight, double quality,
                  int frames) {
  setenv("DISPLAY", display.c_str(), 1);
  halvorine::x11::XConnection x(std::chrono::seconds(30));
  halvorine::x11::RootGrabber grabber(x);
  halvorine::FrameScaler scaler;
  halvorine::JpegEncoder encoder;
  std::vector<double> total, read, encode;
  for (int i = 0; i < frames + 5; ++i) {
    const auto start = Clock::now();
    const auto g = grabber.grab(0, 0, screenWidth, screenHeight);
    if (!g.ok()) return {};
    const auto scaled = scaler.scale(g.frame, {outWidth, outHeight});
    if (!scaled) return {};
    const auto encodeStart = Clock::now();
    const auto jpeg = encoder.encode(*scaled, quality);
    if (!jpeg) return {};
    const auto end = Clock::now();
    if (i >= 5) {
      total.push_back(ms(end - start));
      encode.push_back(ms(end - encodeStart));
    }
  }
  for (int i = 0; i < frames; ++i) {
    const auto start = Clock::now();
    if (!grabber.grab(0, 0, screenWidth, screenHeight).ok()) return {};
    read.push_back(ms(Clock::now() - start));
  }
  return {median(total), median(read), median(encode)};
}

double wholeProcess(const std::vector<std::string>& argv, const std::string& display,
                    const std::string& output, int runs) {
  RunOptions o;
  o.env["DISPLAY"] = display;
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    std::remove(output.c_str());
    const auto start = Clock::now();
    const RunResult r = runProcess(argv, o);
    const double t = ms(Clock::now() - start);
    std::ifstream produced(output);
    if (r.exitStatus != 0 || !produced) return -1;
    times.push_back(t);
  }
  return median(times);
}

}  // namespace

int main() {
  XvfbServer server({screenWidth, screenHeight, 24, {}});
  Desktop desktop(server.display());
  const std::string& d = server.display();
  const int frames = 40;

  struct Row {
    const char* what;
    double helperMs;
    Floor floor;
    StreamFigures f;
  };
  std::vector<Row> rows;
  {
    const StreamFigures f = streamRoundTrip(d, R"({"type":"capture_frame"})", frames);
    rows.push_back({"1280x720, quality 60 (defaults)", f.roundTripMs,
                    directFloor(d, 1280, 720, 0.60, frames), f});
  }
  {
    const StreamFigures f =
        streamRoundTrip(d, R"({"type":"capture_frame","maxWidth":1920,"jpegQuality":88})", frames);
    rows.push_back({"1920x1080, quality 88 (no scaling)", f.roundTripMs,
                    directFloor(d, 1920, 1080, 0.88, frames), f});
  }

  const std::string out = "/tmp/halvorine-bench-frame-" + std::to_string(getpid()) + ".jpg";
  const int runs = 7;
  const double scrot = wholeProcess({"scrot", "-o", "-q", "60", out}, d, out, runs);
  const double maim = wholeProcess({"maim", "-f", "jpg", "-m", "6", out}, d, out, runs);
  const double ffmpeg =
      wholeProcess({"ffmpeg", "-loglevel", "error", "-f", "x11grab", "-video_size", "1920x1080",
                    "-i", d, "-frames:v", "1", "-y", out},
                   d, out, runs);
  std::remove(out.c_str());
  double fastest = -1;
  for (double t : {scrot, maim, ffmpeg}) {
    if (t > 0 && (fastest < 0 || t < fastest)) fastest = t;
  }

  std::printf(
      "Screen capture, %dx%d desktop (photographic background, text windows), median of "
      "%d frames\n\n",
      screenWidth, screenHeight, frames);
  std::printf("%-36s %10s %9s %7s %9s %9s %11s %9s\n", "frame", "helper ms", "floor ms", "ratio",
              "(read ms", "encode)", "JPEG bytes", "peak MiB");
  for (const Row& r : rows) {
    std::printf("%-36s %10.2f %9.2f %6.2fx %9.2f %9.2f %11ld %9.1f\n", r.what, r.helperMs,
                r.floor.totalMs, r.helperMs / r.floor.totalMs, r.floor.readMs, r.floor.encodeMs,
                r.f.frameBytes, r.f.peakKiB / 1024.0);
  }
  std::printf("\nOne frame as a whole process (median of %d runs):\n", runs);
  std::printf("  %-34s %10.1f ms\n", "scrot -q 60 (JPEG)", scrot);
  std::printf("  %-34s %10.1f ms\n", "maim -f jpg -m 6", maim);
  std::printf("  %-34s %10.1f ms\n", "ffmpeg -f x11grab -frames:v 1", ffmpeg);
  std::printf(
      "\nGoals: helper within 1.2x of the floor; fastest tool / helper at least 10x; "
      "peak at most 40 MiB.\n");
  for (const Row& r : rows) {
    std::printf("  %-34s floor %.2fx (%s), tools %.1fx (%s), peak %.1f MiB (%s)\n", r.what,
                r.helperMs / r.floor.totalMs,
                r.helperMs <= 1.2 * r.floor.totalMs ? "met" : "missed", fastest / r.helperMs,
                fastest >= 10 * r.helperMs ? "met" : "missed", r.f.peakKiB / 1024.0,
                r.f.peakKiB <= 40 * 1024 ? "met" : "missed");
  }
  return 0;
}

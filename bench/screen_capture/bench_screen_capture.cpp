// Cost of one "capture_frame" on a 1920x1080 desktop with text windows over a photographic
// background:
//  - stream-mode round trip per frame (request written to answer read), measured here and by a
//    separate host process, against the floor of the same work done directly in this process on
//    one thread (shared-memory read, box scaling, one TurboJPEG encode of the same frame), with a
//    few pixels changed before each frame and with the whole screen changed before each frame
//    (goals: full size at quality 88 at most 0.6x the floor, the defaults below it), with a
//    breakdown of the helper's steps;
//  - the same request with only one terminal line (640x16) changed before each frame (goal: at
//    most 0.3x of a whole-screen frame at full size, quality 88);
//  - with suppression on, an unchanged frame against a changed one (goal: at most 0.1x);
//  - against scrot, maim and ffmpeg -f x11grab taking one frame each as a whole process;
//  - the helper's peak memory (goal: at most 40 MiB).
// Every frame the helpers send is decoded with TurboJPEG and checked to have the requested size.
#include <xcb/xcb.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <turbojpeg.h>

#include "capture_pictures.h"
#include "command_channel/answer_output.h"
#include "platform/capture_stages.h"
#include "process.h"
#include "screen_capture/frame_scaler.h"
#include "screen_capture/jpeg_encoder.h"
#include "screen_capture/screen_capture.h"
#include "x11/x11_platform.h"
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
// document windows full of text on top, drawn into two pixmaps that differ everywhere (another
// phase of the shapes, other grain), shown on one full-screen window. The client stays connected
// while the bench runs.
class Desktop {
 public:
  explicit Desktop(const std::string& display) {
    c_ = xcb_connect(display.c_str(), nullptr);
    xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    font_ = xcb_generate_id(c_);
    xcb_open_font(c_, font_, 5, "fixed");
    for (int v = 0; v < 2; ++v) pictures_[v] = picture(s, v);
    screen_ = xcb_generate_id(c_);
    const uint32_t values[] = {pictures_[0], 1};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, screen_, s->root, 0, 0, screenWidth, screenHeight,
                      0, XCB_WINDOW_CLASS_INPUT_OUTPUT, s->root_visual,
                      XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c_, screen_);
    gc_ = xcb_generate_id(c_);
    xcb_create_gc(c_, gc_, screen_, 0, nullptr);
    lineGc_ = xcb_generate_id(c_);
    const uint32_t line[] = {windows[0].fg, windows[0].bg, font_};
    xcb_create_gc(c_, lineGc_, screen_, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND | XCB_GC_FONT, line);
    sync();
  }
  ~Desktop() { xcb_disconnect(c_); }

  // Changes a few pixels (a small "activity light" in a corner) and returns once the server has
  // drawn them, so that the next frame has to be grabbed and encoded.
  void tick() {
    ++ticks_;
    const uint32_t colour = (ticks_ * 0x3f1d27u) & 0xffffff;
    xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &colour);
    const xcb_rectangle_t r{static_cast<int16_t>(1700 + ticks_ % 8), 1000, 4, 4};
    xcb_poly_fill_rectangle(c_, screen_, gc_, 1, &r);
    sync();
  }
  // Writes one line of the terminal anew: 640x16 pixels of text, as a shell prompt or a
  // blinking cursor changes.
  void tickLine() {
    ++ticks_;
    const Win& w = windows[0];
    const xcb_rectangle_t r{static_cast<int16_t>(w.x + 8), static_cast<int16_t>(w.y + 300), 640,
                            16};
    xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &w.bg);
    xcb_poly_fill_rectangle(c_, screen_, gc_, 1, &r);
    char buf[120];
    const int len =
        std::snprintf(buf, sizeof buf, "%06u $ make -j2 capture && ./bench --frames %u  # %08x",
                      ticks_, ticks_ % 97, ticks_ * 2654435761u);
    xcb_image_text_8(c_, static_cast<uint8_t>(std::min(len, 106)), screen_, lineGc_,
                     static_cast<int16_t>(w.x + 8), static_cast<int16_t>(w.y + 312), buf);
    sync();
  }
  // Changes every pixel of the screen: the other of the two pictures.
  void tickWhole() {
    ++ticks_;
    xcb_copy_area(c_, pictures_[ticks_ % 2], screen_, gc_, 0, 0, 0, 0, screenWidth, screenHeight);
    sync();
  }

 private:
  struct Win {
    int x, y, w, h;
    uint32_t bg, fg;
  };
  static constexpr Win windows[] = {{60, 50, 900, 620, 0x101820, 0xd0d0d0},
                                    {1000, 120, 820, 700, 0xffffff, 0x202020},
                                    {300, 600, 760, 420, 0xf4f1e8, 0x303030}};

  xcb_pixmap_t picture(xcb_screen_t* s, int variant) {
    const xcb_pixmap_t pixmap = xcb_generate_id(c_);
    xcb_create_pixmap(c_, s->root_depth, pixmap, s->root, screenWidth, screenHeight);
    const xcb_gcontext_t gc = xcb_generate_id(c_);
    xcb_create_gc(c_, gc, pixmap, 0, nullptr);
    const int rowsPerRequest = 100;
    std::vector<uint32_t> rows(static_cast<size_t>(screenWidth) * rowsPerRequest);
    uint32_t seed = 12345 + variant * 777;
    const double phase = variant * 0.7;
    for (int y0 = 0; y0 < screenHeight; y0 += rowsPerRequest) {
      const int n = std::min(rowsPerRequest, screenHeight - y0);
      for (int y = y0; y < y0 + n; ++y) {
        for (int x = 0; x < screenWidth; ++x) {
          seed = seed * 1664525 + 1013904223;
          const double grain = ((seed >> 24) & 15) - 7.5;
          const double hills = 60 * std::sin(x * 0.004 + std::sin(y * 0.011) * 2 + phase) +
                               40 * std::cos(y * 0.006 - x * 0.002 + phase);
          const double sky = 255.0 * y / screenHeight;
          auto ch = [](double v) { return static_cast<uint32_t>(std::clamp(v, 0.0, 255.0)); };
          const uint32_t r = ch(90 + hills + 0.3 * sky + grain);
          const uint32_t g = ch(120 + 0.7 * hills + 0.2 * sky + grain);
          const uint32_t b = ch(170 - 0.5 * hills - 0.2 * sky + grain);
          rows[static_cast<size_t>(y - y0) * screenWidth + x] = (r << 16) | (g << 8) | b;
        }
      }
      xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, screenWidth,
                    static_cast<uint16_t>(n), 0, static_cast<int16_t>(y0), 0, s->root_depth,
                    static_cast<uint32_t>(static_cast<size_t>(screenWidth) * n * 4),
                    reinterpret_cast<const uint8_t*>(rows.data()));
    }
    int n = variant * 1000;
    for (const Win& w : windows) {
      const uint32_t fill[] = {w.bg};
      xcb_change_gc(c_, gc, XCB_GC_FOREGROUND, fill);
      const xcb_rectangle_t r{static_cast<int16_t>(w.x), static_cast<int16_t>(w.y),
                              static_cast<uint16_t>(w.w), static_cast<uint16_t>(w.h)};
      xcb_poly_fill_rectangle(c_, pixmap, gc, 1, &r);
      const xcb_gcontext_t text = xcb_generate_id(c_);
      const uint32_t values[] = {w.fg, w.bg, font_};
      xcb_create_gc(c_, text, pixmap, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND | XCB_GC_FONT, values);
      for (int line = 0; 16 + line * 14 < w.h; ++line, ++n) {
        char buf[200];
        const int len = std::snprintf(
            buf, sizeof buf,
            "%04d  $ grep -rn capture_frame src/ | head  # result %d: ok frameBytes=%d tail", n,
            line * 7 % 13, 40000 + n * 37);
        xcb_image_text_8(c_, static_cast<uint8_t>(std::min(len, w.w / 6)), pixmap, text,
                         static_cast<int16_t>(w.x + 8), static_cast<int16_t>(w.y + 16 + line * 14),
                         buf);
      }
    }
    return pixmap;
  }
  void sync() { free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

  xcb_connection_t* c_;
  xcb_font_t font_ = 0;
  xcb_pixmap_t pictures_[2] = {0, 0};
  xcb_window_t screen_ = 0;
  xcb_gcontext_t gc_ = 0;
  xcb_gcontext_t lineGc_ = 0;
  uint32_t ticks_ = 0;
};

// How the screen changes before each frame.
enum class Change { fewPixels, line, whole };

void change(Desktop& desktop, Change c) {
  switch (c) {
    case Change::fewPixels:
      desktop.tick();
      break;
    case Change::line:
      desktop.tickLine();
      break;
    case Change::whole:
      desktop.tickWhole();
      break;
  }
}

long peakKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// One frame of the helper in stream mode, as the host sees it: request written to answer read.
class StreamHelper {
 public:
  // Frames that carry a JPEG are decoded and checked to be of `size`, when given.
  StreamHelper(const std::string& display, std::string request,
               std::optional<halvorine::PixelSize> size = std::nullopt)
      : helper_({binaryPath("HalvorineInputHelper"), "--stream"}, options(display)),
        line_(std::move(request) + "\n"),
        size_(size) {}
  // Milliseconds, or -1 for a failed answer.
  double frame() {
    const auto start = Clock::now();
    helper_.write(line_);
    const auto answer = helper_.readLineView(std::chrono::seconds(30));
    const auto end = Clock::now();
    if (!answer || answer->find("\"ok\":true") == std::string::npos) return -1;
    const auto elapsed = answer->find("\"captureElapsedMs\":");
    if (elapsed != std::string::npos) {
      captureElapsedMs.push_back(std::stod(std::string(answer->substr(elapsed + 19, 24))));
    }
    const auto encode = answer->find("\"encodeElapsedMs\":");
    if (encode != std::string::npos) {
      encodeElapsedMs.push_back(std::stod(std::string(answer->substr(encode + 18, 24))));
    }
    const auto at = answer->find("\"frameBytes\":");
    if (at != std::string::npos) frameBytes = std::stol(std::string(answer->substr(at + 13, 24)));
    unchanged = answer->find("\"frameUnchanged\":true") != std::string::npos;
    // Checked after the block: decoding a frame here would leave the helper's next frame to run
    // in caches that the decoder has filled with its own data (about 2.5 ms more at full size).
    if (size_ && !unchanged) {
      if (pending_ == kept_.size()) kept_.emplace_back();
      kept_[pending_++].assign(*answer);
    }
    return ms(end - start);
  }
  // Decodes the frames taken since the last check.
  void checkFrames() {
    for (size_t i = 0; i < pending_; ++i) {
      ++decoded;
      if (!decodesAtSize(kept_[i])) ++badFrames;
    }
    pending_ = 0;
  }
  int decoded = 0;
  int badFrames = 0;
  // What the helper reported of each frame: request to record, without the channel around it.
  std::vector<double> captureElapsedMs, encodeElapsedMs;
  long finish() {
    const long peak = peakKiB(helper_.pid());
    helper_.closeStdin();
    helper_.wait();
    return peak;
  }
  long frameBytes = -1;
  bool unchanged = false;

 private:
  static RunOptions options(const std::string& display) {
    RunOptions o;
    o.env["DISPLAY"] = display;
    return o;
  }
  // TurboJPEG decodes the frame without a warning, at the size asked for.
  bool decodesAtSize(std::string_view answer) const {
    const auto key = answer.find("\"frameBase64\":\"");
    if (key == std::string::npos) return false;
    const auto begin = key + 15;
    const auto end = answer.find('"', begin);
    std::string text(answer.substr(begin, end - begin));
    std::erase(text, '\\');  // the solidus is escaped on the wire
    const std::vector<uint8_t> jpeg = base64Decode(text);
    tjhandle h = tjInitDecompress();
    int w = 0, ht = 0, sub = 0, cs = 0;
    bool ok = tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &w, &ht, &sub, &cs) == 0 &&
              w == size_->width && ht == size_->height;
    if (ok) {
      std::vector<uint8_t> pixels(static_cast<size_t>(w) * ht * 4);
      ok = tjDecompress2(h, jpeg.data(), jpeg.size(), pixels.data(), w, w * 4, ht, TJPF_BGRX,
                         TJFLAG_STOPONWARNING) == 0;
    }
    tjDestroy(h);
    return ok;
  }

  ChildProcess helper_;
  std::string line_;
  std::optional<halvorine::PixelSize> size_;
  // Answers kept for checkFrames(), in strings reused from block to block.
  std::vector<std::string> kept_;
  size_t pending_ = 0;
};

// The same round trip timed by another process, a host written in Python that starts the helper
// itself; it asks for each frame when told "go" and prints its times at the end.
class OutsideHost {
 public:
  OutsideHost(const std::string& display, const std::string& request)
      : host_({"python3", "-c", script, binaryPath("HalvorineInputHelper"), request},
              options(display)) {}
  void frame() {
    host_.write("go\n");
    host_.readLine(std::chrono::seconds(30));
  }
  std::vector<double> finish() {
    host_.write("end\n");
    std::vector<double> times;
    while (auto line = host_.readLine(std::chrono::seconds(30))) {
      if (line->empty()) break;
      times.push_back(std::stod(*line));
    }
    host_.wait();
    return times;
  }

 private:
  static RunOptions options(const std::string& display) {
    RunOptions o;
    o.env["DISPLAY"] = display;
    return o;
  }
  // It reads as the example host does (examples/host_session.py): chunks of up to a megabyte.
  static constexpr const char* script = R"PY(
import os, subprocess, sys, time
helper = subprocess.Popen([sys.argv[1], "--stream"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
request = (sys.argv[2] + "\n").encode()
out = helper.stdout.fileno()
times = []
for command in sys.stdin:
    if command.strip() != "go":
        break
    start = time.perf_counter()
    helper.stdin.write(request)
    helper.stdin.flush()
    chunks = []
    while True:
        chunk = os.read(out, 1 << 20)
        chunks.append(chunk)
        if not chunk or chunk.endswith(b"\n"):
            break
    answer = b"".join(chunks)
    times.append((time.perf_counter() - start) * 1000.0 if b'"ok":true' in answer else -1.0)
    print("done", flush=True)
helper.stdin.close()
helper.wait()
print("\n".join("%.4f" % t for t in times), flush=True)
print("", flush=True)
)PY";
  ChildProcess host_;
};

// The floor: the same work done directly in this process (shared-memory read at full size, box
// scaling, JPEG encoding), without a request, a thread, a hash, Base64 or an answer line.
class Floor {
 public:
  Floor(int64_t outWidth, int64_t outHeight, double quality)
      : x_(std::chrono::seconds(30)), grabber_(x_), size_{outWidth, outHeight}, quality_(quality) {}
  double frame() {
    const auto start = Clock::now();
    const auto g = grabber_.grab(0, 0, screenWidth, screenHeight);
    if (!g.ok()) return -1;
    const auto scaled = scaler_.scale(g.frame, size_);
    if (!scaled) return -1;
    if (!encoder_.encode(*scaled, quality_)) return -1;
    return ms(Clock::now() - start);
  }

 private:
  halvorine::x11::XConnection x_;
  halvorine::x11::RootGrabber grabber_;
  halvorine::FrameScaler scaler_;
  halvorine::JpegEncoder encoder_;
  halvorine::PixelSize size_;
  double quality_;
};

// Where the time of one frame goes: the helper's own capture code run in this process with its
// steps observed, and the answer line built and written into a pipe that a thread drains.
class Breakdown final : public halvorine::CaptureStageObserver {
 public:
  static constexpr int stages = static_cast<int>(halvorine::CaptureStage::count);
  // Steps of the capture, then the line and the write.
  static constexpr int columns = stages + 2;
  static constexpr const char* names[columns] = {"",  // the request's arrival starts the clock
                                                 "main display, cached target",
                                                 "command thread to worker",
                                                 "monitor listing (worker)",
                                                 "grab",
                                                 "convert",
                                                 "scale (set-up)",
                                                 "scale, encode, hash (bands)",
                                                 "record (pointer read)",
                                                 "Base64",
                                                 "worker to command thread",
                                                 "JSON line",
                                                 "write"};

  explicit Breakdown(const halvorine::InputCommand& command)
      : platform_(halvorine::x11::makeX11CapturePlatform(main_)),
        capture_(*platform_),
        command_(command) {
    if (pipe(fds_) != 0) std::abort();
    drain_ = std::thread([fd = fds_[0]] {
      std::vector<char> buf(1 << 20);
      while (read(fd, buf.data(), buf.size()) > 0) {
      }
    });
    out_.emplace(fds_[1]);
  }
  ~Breakdown() {
    halvorine::captureStageObserver = nullptr;
    close(fds_[1]);
    drain_.join();
    close(fds_[0]);
  }

  // The whole frame in milliseconds; its steps are kept.
  double frame() {
    for (auto& a : at_) a = -1;
    halvorine::captureStageObserver = this;
    const auto start = Clock::now();
    const halvorine::HelperOutput r = capture_.captureFrame(command_);
    const auto returned = Clock::now();
    halvorine::captureStageObserver = nullptr;
    line_.clear();
    if (!r.ok || !halvorine::appendHelperOutputLine(line_, r)) return -1;
    const auto built = Clock::now();
    if (!out_->write(std::string_view(line_))) return -1;
    const auto written = Clock::now();
    std::vector<double> step(columns, -1);
    int64_t last = at_[0];
    for (int s = 1; s < stages; ++s) {
      if (at_[s] < 0) continue;
      step[s] = static_cast<double>(at_[s] - last) / 1e6;
      last = at_[s];
    }
    // The record's return to the caller counts with the hand-over.
    const int64_t returnedNs = ns(returned);
    step[stages - 1] = (step[stages - 1] < 0 ? 0 : step[stages - 1]) +
                       static_cast<double>(returnedNs - last) / 1e6;
    step[stages] = ms(built - returned);
    step[stages + 1] = ms(written - built);
    steps_.push_back(step);
    return ms(written - start);
  }

  // Median of each step over the frames; -1 for a step that never happened.
  std::vector<double> medians() const {
    std::vector<double> m(columns, -1);
    for (int c = 1; c < columns; ++c) {
      std::vector<double> v;
      for (const auto& s : steps_) {
        if (s[c] >= 0) v.push_back(s[c]);
      }
      if (!v.empty()) m[c] = median(v);
    }
    return m;
  }

  void reached(halvorine::CaptureStage stage) override {
    at_[static_cast<int>(stage)] = ns(Clock::now());
  }

 private:
  static int64_t ns(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  }

  halvorine::x11::XConnection main_;
  std::unique_ptr<halvorine::CapturePlatform> platform_;
  halvorine::ScreenCapture capture_;
  halvorine::InputCommand command_;
  int fds_[2] = {-1, -1};
  std::thread drain_;
  std::optional<halvorine::AnswerOutput> out_;
  std::string line_;
  std::array<std::atomic<int64_t>, stages> at_{};
  std::vector<std::vector<double>> steps_;
};

struct Row {
  std::string what;
  double helperMs = -1;
  double ownMs = -1;        // the helper's captureElapsedMs
  double ownEncodeMs = -1;  // and encodeElapsedMs
  double floorMs = -1;
  double inProcessMs = -1;
  double outsideMs = -1;
  // The same request in another helper, with only one terminal line changed before each frame.
  double lineMs = -1;
  long frameBytes = -1;
  long peakKiB = -1;
  int decoded = 0;
  int badFrames = 0;
  std::vector<double> steps;
};

// Every measurement of one request in one run, in rounds of short blocks: within a block one
// method takes frame after frame (as a host that polls does, with its buffers warm), and the
// rounds spread the machine's changing load over all methods alike. The screen changes as `how`
// says before every frame (only one terminal line for the line helper); the first frame of each
// block is not counted.
Row measureChanged(Desktop& desktop, const std::string& display, const std::string& what,
                   Change how, const std::string& request, const halvorine::InputCommand& command,
                   int64_t outWidth, int64_t outHeight, double quality, int frames) {
  setenv("DISPLAY", display.c_str(), 1);
  const halvorine::PixelSize size{outWidth, outHeight};
  StreamHelper helper(display, request, size);
  StreamHelper lineHelper(display, request, size);
  OutsideHost outside(display, request);
  Floor floor(outWidth, outHeight, quality);
  Breakdown breakdown(command);
  std::vector<double> helperTimes, floorTimes, inProcessTimes, lineTimes;
  std::vector<bool> outsideKept;
  constexpr int block = 8;
  const int rounds = (frames + block - 1) / block;
  auto run = [&](const std::function<double()>& frame, std::vector<double>* times, Change c) {
    for (int i = 0; i <= block; ++i) {
      change(desktop, c);
      const double t = frame();
      if (t < 0) return false;
      if (i > 0 && times != nullptr) times->push_back(t);
    }
    return true;
  };
  for (int r = 0; r < rounds; ++r) {
    const bool helperRan = run([&] { return helper.frame(); }, &helperTimes, how);
    helper.checkFrames();
    if (!helperRan || !run([&] { return floor.frame(); }, &floorTimes, how)) return {};
    const bool lineRan = run([&] { return lineHelper.frame(); }, &lineTimes, Change::line);
    lineHelper.checkFrames();
    if (!lineRan || !run([&] { return breakdown.frame(); }, &inProcessTimes, how)) {
      return {};
    }
    for (int i = 0; i <= block; ++i) {
      change(desktop, how);
      outside.frame();
      outsideKept.push_back(i > 0);
    }
  }
  std::vector<double> outsideAll = outside.finish(), outsideTimes;
  for (size_t i = 0; i < outsideAll.size() && i < outsideKept.size(); ++i) {
    if (outsideKept[i]) outsideTimes.push_back(outsideAll[i]);
  }
  Row row;
  row.what = what;
  row.helperMs = median(helperTimes);
  row.ownMs = median(helper.captureElapsedMs);
  row.ownEncodeMs = median(helper.encodeElapsedMs);
  row.floorMs = median(floorTimes);
  row.inProcessMs = median(inProcessTimes);
  row.outsideMs = median(outsideTimes);
  row.lineMs = median(lineTimes);
  row.frameBytes = helper.frameBytes;
  row.decoded = helper.decoded + lineHelper.decoded;
  row.badFrames = helper.badFrames + lineHelper.badFrames;
  row.peakKiB = helper.finish();
  lineHelper.finish();
  row.steps = breakdown.medians();
  return row;
}

// With suppression on: frames of a screen that changes before each of them, and of one that does
// not change at all, alternated in one helper.
struct Idle {
  double changedMs = -1;
  double unchangedMs = -1;
  double outsideUnchangedMs = -1;
  // Without suppression the frame of an unchanged screen still carries its Base64 text.
  double unsuppressedMs = -1;
  bool allSuppressed = true;
};

Idle measureIdle(Desktop& desktop, const std::string& display, int frames) {
  const std::string request = R"({"type":"capture_frame","suppressUnchanged":true})";
  StreamHelper helper(display, request);
  StreamHelper plain(display, R"({"type":"capture_frame"})");
  OutsideHost outside(display, request);
  std::vector<double> changed, unchanged, unsuppressed;
  for (int i = 0; i < frames + 5; ++i) {
    desktop.tick();
    if (plain.frame() < 0) return {};
    const double p = plain.frame();
    const double c = helper.frame();
    const double u = helper.frame();
    const bool suppressed = helper.unchanged;
    outside.frame();  // after the tick: a full frame for this host...
    outside.frame();  // ...and then an unchanged one
    if (c < 0 || u < 0) return {};
    if (i >= 5) {
      changed.push_back(c);
      unchanged.push_back(u);
      unsuppressed.push_back(p);
      if (!suppressed) return {};
    }
  }
  helper.finish();
  plain.finish();
  std::vector<double> o = outside.finish();
  std::vector<double> outsideUnchanged;
  for (size_t i = 11; i < o.size(); i += 2) outsideUnchanged.push_back(o[i]);
  return {median(changed), median(unchanged), median(outsideUnchanged), median(unsuppressed), true};
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

  struct Request {
    const char* what;
    Change how;
    const char* line;
    std::optional<int64_t> maxWidth, jpegQuality;
    int64_t width, height;
    double quality;
  };
  const Request requests[] = {
      {"1280x720 q60, a few pixels",
       Change::fewPixels,
       R"({"type":"capture_frame"})",
       {},
       {},
       1280,
       720,
       0.60},
      {"1920x1080 q88, a few pixels", Change::fewPixels,
       R"({"type":"capture_frame","maxWidth":1920,"jpegQuality":88})", 1920, 88, 1920, 1080, 0.88},
      {"1920x1080 q88, whole screen", Change::whole,
       R"({"type":"capture_frame","maxWidth":1920,"jpegQuality":88})", 1920, 88, 1920, 1080, 0.88},
      {"1280x720 q60, whole screen",
       Change::whole,
       R"({"type":"capture_frame"})",
       {},
       {},
       1280,
       720,
       0.60},
  };
  std::vector<Row> rows;
  for (const Request& q : requests) {
    halvorine::InputCommand c;
    c.type = "capture_frame";
    c.maxWidth = q.maxWidth;
    c.jpegQuality = q.jpegQuality;
    rows.push_back(
        measureChanged(desktop, d, q.what, q.how, q.line, c, q.width, q.height, q.quality, frames));
  }
  const Idle idle = measureIdle(desktop, d, frames);
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
  double load[3] = {-1, -1, -1};
  if (getloadavg(load, 3) < 0) load[0] = -1;

  std::printf(
      "Screen capture, %dx%d desktop (photographic background, text windows), changed before each "
      "frame as the row says, median of %d frames; load average %.2f %.2f %.2f\n\n",
      screenWidth, screenHeight, frames, load[0], load[1], load[2]);
  std::printf("%-30s %9s %9s %7s %9s %10s %7s %10s %9s %11s %9s\n", "frame", "helper ms",
              "floor ms", "ratio", "own ms", "outside ms", "ratio", "in-process", "line ms",
              "JPEG bytes", "peak MiB");
  int decoded = 0, bad = 0;
  for (const Row& r : rows) {
    std::printf("%-30s %9.2f %9.2f %6.2fx %9.2f %10.2f %6.2fx %10.2f %9.2f %11ld %9.1f\n",
                r.what.c_str(), r.helperMs, r.floorMs, r.helperMs / r.floorMs, r.ownMs, r.outsideMs,
                r.outsideMs / r.floorMs, r.inProcessMs, r.lineMs, r.frameBytes, r.peakKiB / 1024.0);
    decoded += r.decoded;
    bad += r.badFrames;
  }
  std::printf(
      "(own ms: the captureElapsedMs the helper reported, request to record; line ms: the same "
      "request with only one 640x16 terminal line changed before each frame)\nFrames decoded with "
      "TurboJPEG at the requested size: %d, failed: %d\n",
      decoded, bad);
  std::printf("\nWhere the time goes (the helper's capture code in this process, ms, median):\n");
  std::printf("  %-30s", "step");
  for (const Row& r : rows) std::printf(" %12.12s", r.what.c_str());
  std::printf("\n");
  for (int c = 1; c < Breakdown::columns; ++c) {
    std::printf("  %-30s", Breakdown::names[c]);
    for (const Row& r : rows) {
      if (r.steps.empty() || r.steps[c] < 0) {
        std::printf(" %12s", "-");
      } else {
        std::printf(" %12.3f", r.steps[c]);
      }
    }
    std::printf("\n");
  }
  std::printf("  %-30s", "(helper process: processing)");
  for (const Row& r : rows) std::printf(" %12.3f", r.ownEncodeMs);
  std::printf("\n  %-30s", "(helper process: whole capture)");
  for (const Row& r : rows) std::printf(" %12.3f", r.ownMs);
  std::printf("\n");
  std::printf(
      "\nSuppression on (1280x720 q60): changed frame %.2f ms, unchanged frame %.2f ms (%.3fx); "
      "from outside, unchanged %.2f ms; suppression off, unchanged screen %.2f ms\n",
      idle.changedMs, idle.unchangedMs, idle.unchangedMs / idle.changedMs, idle.outsideUnchangedMs,
      idle.unsuppressedMs);
  std::printf("\nOne frame as a whole process (median of %d runs):\n", runs);
  std::printf("  %-34s %10.1f ms\n", "scrot -q 60 (JPEG)", scrot);
  std::printf("  %-34s %10.1f ms\n", "maim -f jpg -m 6", maim);
  std::printf("  %-34s %10.1f ms\n", "ffmpeg -f x11grab -frames:v 1", ffmpeg);
  auto verdict = [](bool met) { return met ? "met" : "missed"; };
  const Row& wholeFull = rows[2];
  const Row& wholeDefaults = rows[3];
  std::printf("\nGoals:\n");
  std::printf("  %-50s %.2fx of the floor (goal 0.6x: %s)\n",
              "1920x1080 q88, whole screen changing", wholeFull.helperMs / wholeFull.floorMs,
              verdict(wholeFull.helperMs <= 0.6 * wholeFull.floorMs));
  std::printf("  %-50s %.2fx of a whole-screen frame (goal 0.3x: %s)\n",
              "1920x1080 q88, one terminal line changed", wholeFull.lineMs / wholeFull.helperMs,
              verdict(wholeFull.lineMs <= 0.3 * wholeFull.helperMs));
  std::printf("  %-50s %.2fx of the floor (goal below 1x: %s)\n",
              "1280x720 q60, whole screen changing", wholeDefaults.helperMs / wholeDefaults.floorMs,
              verdict(wholeDefaults.helperMs < wholeDefaults.floorMs));
  // A changed frame with only a few pixels changed now costs little itself: the unchanged frame
  // is also set against a frame of the whole screen changed, at the same request.
  std::printf(
      "  %-50s %.3fx (goal 0.1x: %s); against a whole-screen frame of the defaults %.3fx (%s)\n",
      "unchanged / changed frame (suppression on)", idle.unchangedMs / idle.changedMs,
      verdict(idle.allSuppressed && idle.unchangedMs <= 0.1 * idle.changedMs),
      idle.unchangedMs / wholeDefaults.helperMs,
      verdict(idle.allSuppressed && idle.unchangedMs <= 0.1 * wholeDefaults.helperMs));
  for (const Row& r : rows) {
    std::printf("  %-50s peak %.1f MiB (goal 40 MiB: %s), fastest tool / helper %.1fx\n",
                r.what.c_str(), r.peakKiB / 1024.0, verdict(r.peakKiB <= 40 * 1024),
                fastest / r.helperMs);
  }
  std::printf("  %-50s %s\n", "every frame decodes at the requested size",
              verdict(bad == 0 && decoded > 0));
  return 0;
}

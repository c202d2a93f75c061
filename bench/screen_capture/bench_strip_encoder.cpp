// The JPEG encode of a frame, on a photograph-like picture with a terminal of text on it, in one
// run with the measurements interleaved round by round:
//  - the single-stream TurboJPEG encode (the floor of today's capture) against the band encoder
//    encoding every band, at full size (1920x1080, quality 88) and at the defaults (1280x720,
//    quality 60), for several band heights;
//  - a frame in which one terminal line (640x16 pixels) changed, only its bands encoded again,
//    against encoding the whole frame;
//  - scaling only the rows such a line reaches against scaling the whole frame.
// Every output is checked: the band encoder's bytes decode with TurboJPEG to the pixels of the
// single-stream encode, and a re-encode of changed bands equals encoding every band.
#include <sys/resource.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "screen_capture/frame_scaler.h"
#include "screen_capture/jpeg_encoder.h"
#include "screen_capture/row_ranges.h"
#include "screen_capture/strip_jpeg_encoder.h"
#include "synthetic_image.h"

using halvorine::Frame;
using halvorine::JpegEncoder;
using halvorine::RowRange;
using halvorine::StripJpegEncoder;
using halvorine::testing::SyntheticImage;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

template <typename F>
double timeMs(F&& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

Frame frameOf(const SyntheticImage& image) {
  return Frame{.pixels = image.pixels(),
               .width = image.width(),
               .height = image.height(),
               .bytesPerRow = image.bytesPerRow()};
}

std::optional<Bytes> decode(const Bytes& jpeg, int width, int height) {
  tjhandle h = tjInitDecompress();
  Bytes pixels(static_cast<size_t>(width) * height * 4);
  const bool ok = tjDecompress2(h, jpeg.data(), jpeg.size(), pixels.data(), width, width * 4,
                                height, TJPF_BGRX, TJFLAG_STOPONWARNING) == 0;
  tjDestroy(h);
  if (!ok) return std::nullopt;
  return pixels;
}

struct Config {
  const char* what;
  int width, height, quality;
};

struct Result {
  int64_t bandRows;
  std::vector<double> full, oneThread, line, lineFull;
};

bool failed = false;

void check(bool ok, const char* what) {
  if (!ok) {
    std::printf("CHECK FAILED: %s\n", what);
    failed = true;
  }
}

void runConfig(const Config& c, int rounds) {
  const double q = c.quality / 100.0;
  const int64_t bandHeights[] = {16, 32, 64, 128, 256};
  // Two pictures that differ everywhere, alternated so that every frame changes in full.
  const SyntheticImage pictures[] = {SyntheticImage(c.width, c.height, 1),
                                     SyntheticImage(c.width, c.height, 2)};
  SyntheticImage terminal(c.width, c.height, 3);
  JpegEncoder single;
  std::vector<Result> results;
  std::vector<std::unique_ptr<StripJpegEncoder>> full, oneThread, line;
  for (int64_t rows : bandHeights) {
    results.push_back({rows, {}, {}, {}, {}});
    full.push_back(std::make_unique<StripJpegEncoder>(rows));
    oneThread.push_back(std::make_unique<StripJpegEncoder>(rows, 1));
    line.push_back(std::make_unique<StripJpegEncoder>(rows));
    check(line.back()->encodeChanged(frameOf(terminal), q, std::nullopt).has_value(), "prime");
  }
  std::vector<double> singleMs;
  Bytes singleJpeg;
  for (int round = 0; round < rounds; ++round) {
    const SyntheticImage& picture = pictures[round % 2];
    const Frame frame = frameOf(picture);
    singleMs.push_back(timeMs([&] { singleJpeg = single.encode(frame, q).value_or(Bytes{}); }));
    // The line a terminal redraws: 640x16 at a place that moves every round, not always at the
    // start of a band.
    const int top = c.height / 4 + (round * 7 % (c.height / 32)) * 16 + round * 5 % 16;
    terminal.writeLine(c.width / 4, top, 640, round + 100);
    const std::vector<RowRange> changed = {{top, top + 16}};
    for (size_t i = 0; i < results.size(); ++i) {
      std::optional<Bytes> strips;
      results[i].full.push_back(timeMs([&] { strips = full[i]->encode(frame, q); }));
      results[i].oneThread.push_back(
          timeMs([&] { check(oneThread[i]->encode(frame, q) == strips, "threads"); }));
      std::optional<std::span<const uint8_t>> lineJpeg;
      results[i].line.push_back(
          timeMs([&] { lineJpeg = line[i]->encodeChanged(frameOf(terminal), q, changed); }));
      std::optional<Bytes> lineFull;
      results[i].lineFull.push_back(
          timeMs([&] { lineFull = full[i]->encode(frameOf(terminal), q); }));
      if (round < 2) {
        check(strips && decode(*strips, c.width, c.height) == decode(singleJpeg, c.width, c.height),
              "band encoder decodes to the single-stream pixels");
        check(lineJpeg && lineFull && Bytes(lineJpeg->begin(), lineJpeg->end()) == *lineFull,
              "changed bands give the bytes of a full encode");
      }
    }
  }
  const double floor = median(singleMs);
  std::printf(
      "\n%s %dx%d quality %d, median of %d rounds; single-stream encode %.2f ms (%zu bytes)\n",
      c.what, c.width, c.height, c.quality, rounds, floor, singleJpeg.size());
  std::printf("  %-9s %12s %8s %13s %14s %10s %12s\n", "band rows", "all bands ms", "/single",
              "(one thread)", "one line ms", "/single", "/all bands");
  for (const Result& r : results) {
    const double all = median(r.full), one = median(r.line), allLine = median(r.lineFull);
    std::printf("  %-9lld %12.2f %7.2fx %12.2f) %14.3f %9.3fx %11.3fx%s\n",
                static_cast<long long>(r.bandRows), all, all / floor, median(r.oneThread), one,
                one / floor, one / allLine,
                r.bandRows == StripJpegEncoder::kDefaultBandRows ? "  (default)" : "");
  }
}

// Scaling 1920x1080 to the default 1280x720 as a whole, against rescaling only the rows a
// changed terminal line reaches into the kept scaled frame.
void runScaling(int rounds) {
  SyntheticImage screen(1920, 1080, 4);
  const halvorine::PixelSize source{1920, 1080}, size{1280, 720};
  halvorine::FrameScaler scaler;
  Bytes kept = [&] {
    const Frame f = scaler.scale(frameOf(screen), size).value();
    return Bytes(f.pixels, f.pixels + f.bytesPerRow * f.height);
  }();
  std::vector<double> whole, rows;
  size_t scaledRows = 0;
  for (int round = 0; round < rounds; ++round) {
    const int top = 270 + (round * 7 % 33) * 16 + round * 5 % 16;
    screen.writeLine(480, top, 640, round + 200);
    const std::vector<RowRange> changed = {{top, top + 16}};
    std::optional<Frame> scaled;
    whole.push_back(timeMs([&] { scaled = scaler.scale(frameOf(screen), size); }));
    std::vector<RowRange> ranges;
    bool ok = false;
    rows.push_back(timeMs([&] {
      ranges = halvorine::scaledRowRanges(changed, source, size);
      ok = halvorine::scaleRows(frameOf(screen), size, ranges, kept.data());
    }));
    scaledRows = 0;
    for (const RowRange& r : ranges) scaledRows += static_cast<size_t>(r.end - r.begin);
    if (round < 2) {
      check(ok && scaled && std::equal(kept.begin(), kept.end(), scaled->pixels),
            "rescaled rows give the whole scale");
    }
  }
  std::printf(
      "\nscaling 1920x1080 to 1280x720, median of %d rounds: whole frame %.3f ms, the %zu rows a "
      "640x16 line reaches %.3f ms (%.3fx)\n",
      rounds, median(whole), scaledRows, median(rows), median(rows) / median(whole));
}

}  // namespace

int main() {
  const int rounds = 40;
  // Other work on the machine takes cores from the pool; the load shows how much.
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    char load[64] = {};
    if (std::fgets(load, sizeof load, f) != nullptr) std::printf("load average %s", load);
    std::fclose(f);
  }
  runConfig({"full size", 1920, 1080, 88}, rounds);
  runConfig({"defaults", 1280, 720, 60}, rounds);
  runScaling(rounds);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("\npeak memory of the whole benchmark %.1f MiB\n", usage.ru_maxrss / 1024.0);
  return failed ? 1 : 0;
}

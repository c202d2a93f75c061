// The band encoder against TurboJPEG's single-stream encode of the same pixels, and the rows a
// change touches in a scaled frame against what scaling actually changes.
#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "screen_capture/frame_scaler.h"
#include "screen_capture/jpeg_encoder.h"
#include "screen_capture/row_ranges.h"
#include "screen_capture/strip_jpeg_encoder.h"
#include "synthetic_image.h"

namespace halvorine {
namespace {

using testing::SyntheticImage;
using Bytes = std::vector<uint8_t>;

Frame frameOf(const SyntheticImage& image) {
  return Frame{.pixels = image.pixels(),
               .width = image.width(),
               .height = image.height(),
               .bytesPerRow = image.bytesPerRow()};
}

Bytes singleStream(const SyntheticImage& image, double quality) {
  JpegEncoder encoder;
  return encoder.encode(frameOf(image), quality).value();
}

struct Decoded {
  int width = 0, height = 0;
  Bytes bgrx;
};

// Decodes with TurboJPEG, failing on the warnings libjpeg gives for a restart marker out of turn
// or a short band.
std::optional<Decoded> decode(const Bytes& jpeg) {
  tjhandle h = tjInitDecompress();
  Decoded d;
  int sub = 0, cs = 0;
  bool ok = tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &d.width, &d.height, &sub, &cs) == 0;
  if (ok) {
    d.bgrx.resize(static_cast<size_t>(d.width) * d.height * 4);
    ok = tjDecompress2(h, jpeg.data(), jpeg.size(), d.bgrx.data(), d.width, d.width * 4, d.height,
                       TJPF_BGRX, TJFLAG_STOPONWARNING) == 0;
  }
  tjDestroy(h);
  if (!ok) return std::nullopt;
  return d;
}

// The markers inside the scan, in order: the restart markers and the final EOI.
std::vector<uint8_t> scanMarkers(const Bytes& jpeg) {
  size_t pos = 2;
  while (pos + 4 <= jpeg.size() && jpeg[pos + 1] != 0xDA) {
    pos += 2 + ((size_t{jpeg[pos + 2]} << 8) | jpeg[pos + 3]);
  }
  pos += 2 + ((size_t{jpeg[pos + 2]} << 8) | jpeg[pos + 3]);
  std::vector<uint8_t> markers;
  for (; pos + 1 < jpeg.size(); ++pos) {
    if (jpeg[pos] == 0xFF && jpeg[pos + 1] != 0x00) markers.push_back(jpeg[pos + 1]);
  }
  return markers;
}

// The restart interval of the DRI segment, 0 without one.
int restartInterval(const Bytes& jpeg) {
  for (size_t pos = 2; pos + 4 <= jpeg.size() && jpeg[pos + 1] != 0xDA;
       pos += 2 + ((size_t{jpeg[pos + 2]} << 8) | jpeg[pos + 3])) {
    if (jpeg[pos + 1] == 0xDD) return (jpeg[pos + 4] << 8) | jpeg[pos + 5];
  }
  return 0;
}

struct SizeCase {
  int width, height, quality;
  int64_t bandRows;
};

std::string describe(const SizeCase& c) {
  return std::to_string(c.width) + "x" + std::to_string(c.height) + " q" +
         std::to_string(c.quality) + " bands of " + std::to_string(c.bandRows);
}

// Full size, the defaults, sizes that are no multiple of 16, tiny frames, one band exactly, one
// band and one row, and a band height that is rounded up.
const SizeCase sizeCases[] = {
    {1920, 1080, 88, 64}, {1280, 720, 60, 64}, {2, 2, 60, 64},    {1, 1, 35, 16},
    {17, 33, 70, 16},     {333, 200, 88, 16},  {100, 64, 50, 64}, {100, 65, 50, 64},
    {641, 479, 35, 20},   {48, 700, 100, 16},
};

TEST(StripJpegEncoder, DecodesToThePixelsOfASingleStreamEncode) {
  for (const SizeCase& c : sizeCases) {
    SCOPED_TRACE(describe(c));
    const SyntheticImage image(c.width, c.height, 7);
    StripJpegEncoder encoder(c.bandRows);
    const auto strips = encoder.encode(frameOf(image), c.quality / 100.0);
    ASSERT_TRUE(strips);
    const Bytes single = singleStream(image, c.quality / 100.0);

    const auto got = decode(*strips);
    const auto want = decode(single);
    ASSERT_TRUE(got);
    ASSERT_TRUE(want);
    EXPECT_EQ(got->width, c.width);
    EXPECT_EQ(got->height, c.height);
    EXPECT_TRUE(got->bgrx == want->bgrx);

    const int64_t rows = encoder.bandRows(c.width);
    EXPECT_EQ(rows % 16, 0);
    const int64_t bands = (c.height + rows - 1) / rows;
    std::vector<uint8_t> markers;
    for (int64_t i = 0; i + 1 < bands; ++i) markers.push_back(static_cast<uint8_t>(0xD0 + i % 8));
    markers.push_back(0xD9);
    EXPECT_EQ(scanMarkers(*strips), markers);
    if (bands == 1) {
      EXPECT_TRUE(*strips == single);
    } else {
      EXPECT_EQ(restartInterval(*strips), rows / 16 * ((c.width + 15) / 16));
    }
  }
}

// Runs a command through the shell; its exit status.
int run(const std::string& command) {
  return std::system(command.c_str());
}

TEST(StripJpegEncoder, FfmpegDecodesToTheSamePlanesAsASingleStreamEncode) {
  if (run("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("strip_jpeg_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  auto ffmpegDecode = [&](const Bytes& jpeg, const std::string& name) -> std::optional<Bytes> {
    const auto in = dir / (name + ".jpg"), out = dir / (name + ".yuv"), err = dir / "stderr";
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(jpeg.data()),
               static_cast<std::streamsize>(jpeg.size()));
    // The decoder's own planes, no conversion; any complaint about the stream is a failure.
    if (run("ffmpeg -nostdin -v error -xerror -err_detect explode -i '" + in.string() +
            "' -f rawvideo -y '" + out.string() + "' 2>'" + err.string() + "'") != 0 ||
        std::filesystem::file_size(err) != 0) {
      return std::nullopt;
    }
    std::ifstream f(out, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
  };
  for (const SizeCase& c : {sizeCases[0], sizeCases[1], sizeCases[2], sizeCases[4]}) {
    SCOPED_TRACE(describe(c));
    const SyntheticImage image(c.width, c.height, 11);
    const auto strips = StripJpegEncoder(c.bandRows).encode(frameOf(image), c.quality / 100.0);
    ASSERT_TRUE(strips);
    const auto got = ffmpegDecode(*strips, "strips");
    const auto want = ffmpegDecode(singleStream(image, c.quality / 100.0), "single");
    ASSERT_TRUE(got);
    ASSERT_TRUE(want);
    EXPECT_FALSE(got->empty());
    EXPECT_TRUE(*got == *want);
  }
  std::filesystem::remove_all(dir);
}

TEST(StripJpegEncoder, SamePixelsGiveTheSameBytesWhateverCameBeforeAndOnAnyNumberOfThreads) {
  const SyntheticImage image(1280, 720, 5), other(1280, 720, 6);
  StripJpegEncoder encoder;
  const Bytes first = encoder.encode(frameOf(image), 0.6).value();
  ASSERT_TRUE(encoder.encode(frameOf(other), 0.6));
  ASSERT_TRUE(encoder.encode(frameOf(image), 0.88));
  EXPECT_TRUE(encoder.encode(frameOf(image), 0.6).value() == first);
  for (unsigned threads : {1u, 2u, 5u}) {
    SCOPED_TRACE(threads);
    StripJpegEncoder fresh(StripJpegEncoder::kDefaultBandRows, threads);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(fresh.encode(frameOf(image), 0.6).value() == first);
  }
}

TEST(StripJpegEncoder, RefusesWhatCannotBeEncodedAndThenEncodesEveryBand) {
  const SyntheticImage image(200, 100, 1), other(200, 100, 2);
  const Frame good = frameOf(image);
  const Frame bad[] = {
      {.pixels = nullptr, .width = 200, .height = 100, .bytesPerRow = 800},
      {.pixels = image.pixels(), .width = 0, .height = 100, .bytesPerRow = 800},
      {.pixels = image.pixels(), .width = 200, .height = 0, .bytesPerRow = 800},
      {.pixels = image.pixels(), .width = 200, .height = 100, .bytesPerRow = 799},
      {.pixels = image.pixels(), .width = 70000, .height = 1, .bytesPerRow = 280000},
  };
  StripJpegEncoder encoder(16);
  for (const Frame& f : bad) EXPECT_FALSE(encoder.encode(f, 0.6));
  EXPECT_FALSE(encoder.encode(good, std::nan("")));

  // After a failed call nothing is kept: a report of no change still encodes the new pixels.
  ASSERT_TRUE(encoder.encodeChanged(good, 0.6, std::nullopt));
  EXPECT_FALSE(encoder.encodeChanged(bad[3], 0.6, std::vector<RowRange>{}));
  const auto again = encoder.encodeChanged(frameOf(other), 0.6, std::vector<RowRange>{});
  ASSERT_TRUE(again);
  EXPECT_TRUE(Bytes(again->begin(), again->end()) ==
              StripJpegEncoder(16).encode(frameOf(other), 0.6).value());
}

// TurboJPEG reads settings from the environment that make bands that cannot be joined; such a
// frame is encoded in one stream, as the single-stream encoder encodes it under the same settings.
TEST(StripJpegEncoder, EncodesInOneStreamWhenTurboJpegIsSetUpToMakeBandsThatCannotBeJoined) {
  const SyntheticImage image(200, 150, 8);
  for (const char* variable : {"TJ_OPTIMIZE", "TJ_RESTART", "TJ_PROGRESSIVE", "TJ_ARITHMETIC"}) {
    SCOPED_TRACE(variable);
    StripJpegEncoder encoder(16);
    ASSERT_EQ(setenv(variable, "1", 1), 0);
    Bytes strips;
    JpegHash hash;
    ASSERT_TRUE(
        encoder.encodeChangedInto(frameOf(image), 0.6, std::nullopt, strips, nullptr, &hash));
    const Bytes single = singleStream(image, 0.6);
    EXPECT_TRUE(strips == single);
    EXPECT_EQ(hash.value(strips), fnv1a64(single));
    unsetenv(variable);
  }
}

// A sequence of frames, each with random rows scribbled on and reported (and sometimes rows
// reported that did not change, a report of everything, of nothing, or out of the frame), and a
// quality or size change now and then: every answer is the bytes of encoding that frame afresh,
// and the hash folded in band by band is theirs.
TEST(StripJpegEncoder, EncodingOnlyChangedBandsGivesTheBytesOfAFullEncode) {
  struct SequenceCase {
    int width, height;
    int64_t bandRows;
    uint32_t seed;
  };
  for (const SequenceCase& c : {SequenceCase{640, 480, 16, 1}, SequenceCase{333, 250, 64, 2},
                                SequenceCase{1280, 720, 64, 3}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    std::mt19937 random(c.seed);
    auto uniform = [&](int lo, int hi) {
      return std::uniform_int_distribution<int>(lo, hi)(random);
    };
    StripJpegEncoder encoder(c.bandRows);
    SyntheticImage image(c.width, c.height, c.seed);
    double quality = 0.6;
    uint64_t files = 0;
    int pending = 0;
    Bytes previous;
    for (int step = 0; step < 40; ++step) {
      SCOPED_TRACE(step);
      std::optional<std::vector<RowRange>> changed = std::vector<RowRange>{};
      const int kind = uniform(0, 19);
      if (kind == 0) {
        changed.reset();
        image.scribbleRows(0, c.height);
      } else if (kind == 1) {
        quality = quality == 0.6 ? 0.88 : 0.6;  // nothing reported, but every band is new
      } else if (kind == 2) {
        // Another size: nothing reported, but every band is new.
        const int taller = image.height() > c.height ? -uniform(1, 20) : uniform(1, 20);
        image = SyntheticImage(c.width + uniform(-1, 1) * 16, image.height() + taller, step);
      } else if (kind == 3) {
        changed->push_back({INT64_MIN, 0});  // outside the frame: nothing to do
        changed->push_back({image.height(), INT64_MAX});
      } else {
        for (int n = uniform(1, 3); n > 0; --n) {
          const int top = uniform(-4, image.height() - 1);
          const int bottom = std::min(top + uniform(1, 40), image.height() + 5);
          if (uniform(0, 3) != 0) image.scribbleRows(top, bottom);
          changed->push_back({top, bottom});
        }
        // A line of text, as a terminal draws it.
        const int top = uniform(0, image.height() - 16);
        image.writeLine(uniform(0, image.width() / 2), top, image.width() / 2, step);
        changed->push_back({top, top + 16});
      }
      // Mostly with the hash folded in as the bands are done, sometimes without (after which
      // the kept states of the hash are of no use).
      Bytes got;
      JpegHash hash;
      const bool hashed = uniform(0, 4) != 0;
      if (hashed) {
        ASSERT_TRUE(
            encoder.encodeChangedInto(frameOf(image), quality, changed, got, nullptr, &hash));
      } else {
        const auto view = encoder.encodeChanged(frameOf(image), quality, changed);
        ASSERT_TRUE(view);
        got.assign(view->begin(), view->end());
      }
      const Bytes want = StripJpegEncoder(c.bandRows).encode(frameOf(image), quality).value();
      ASSERT_TRUE(got == want) << "kind " << kind;
      ++files;
      if (hashed) {
        EXPECT_EQ(hash.value(got), fnv1a64(want)) << "kind " << kind;
        EXPECT_EQ(hash.file, files);
        if (!hash.complete(got)) {
          // What is left pending ends the previous file too, and the states before it tell
          // whether the two files are the same.
          ++pending;
          const size_t tail = got.size() - hash.pendingFrom;
          ASSERT_LE(tail, previous.size());
          EXPECT_EQ(hash.previousFile, files - 1);
          EXPECT_TRUE(std::equal(got.begin() + static_cast<std::ptrdiff_t>(hash.pendingFrom),
                                 got.end(), previous.end() - static_cast<std::ptrdiff_t>(tail)));
          EXPECT_EQ(hash.state == hash.previousState, got == previous) << "kind " << kind;
          EXPECT_EQ(hash.previousState, fnv1a64(std::span(previous).first(previous.size() - tail)));
        }
      }
      previous = got;
    }
    // The sequences are long enough to leave something pending now and then.
    EXPECT_GT(pending, 0);
  }
}

// Passes the rows on to the scaler, failing the call that `failAt` counts down to.
class FailingFill final : public RowFill {
 public:
  explicit FailingFill(RowFill& inner) : inner_(inner) {}
  bool fill(int64_t top, int64_t rows) override {
    if (failAt.fetch_sub(1) == 1) return false;
    return inner_.fill(top, rows);
  }
  std::atomic<int> failAt{0};

 private:
  RowFill& inner_;
};

// The capture path scales each band on the thread that encodes it, and only the rows a change
// reaches: over random changes, sizes and failed fills, each frame is byte for byte a fresh
// scale of the whole frame encoded afresh.
TEST(StripJpegEncoder, ScalingEachBandAsItIsEncodedGivesTheBytesOfScalingThenEncoding) {
  std::mt19937 random(7);
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  SyntheticImage image(960, 540, 5);
  FrameScaler scaler;
  FailingFill fill(scaler);
  StripJpegEncoder encoder;
  PixelSize size{640, 360};
  for (int step = 0; step < 40; ++step) {
    SCOPED_TRACE(step);
    std::optional<std::vector<RowRange>> changed = std::vector<RowRange>{};
    const int kind = uniform(0, 9);
    if (kind == 0) {
      size = size == PixelSize{640, 360} ? PixelSize{960, 540} : PixelSize{640, 360};  // unscaled
    } else if (kind == 1) {
      changed.reset();
      image.scribbleRows(0, image.height());
    } else {
      const int top = uniform(0, image.height() - 16);
      image.writeLine(uniform(0, image.width() / 2), top, image.width() / 2, step);
      changed->push_back({top, top + 16});
    }
    // A failed frame leaves unfinished rows, which neither the scaler nor the encoder may build
    // on, even when the next frame comes with what changed.
    fill.failAt = kind == 2 ? uniform(1, 3) : 0;
    std::optional<std::vector<RowRange>> scaledChanged;
    const std::optional<Frame> frame =
        scaler.prepareChanged(frameOf(image), size, changed, scaledChanged);
    ASSERT_TRUE(frame);
    Bytes got;
    JpegHash hash;
    if (!encoder.encodeChangedInto(*frame, 0.6, scaledChanged, got, &fill, &hash)) {
      // Only a fill that was made to fail fails the encoding.
      ASSERT_EQ(kind, 2);
      continue;
    }
    FrameScaler fresh;
    const Bytes want = StripJpegEncoder().encode(*fresh.scale(frameOf(image), size), 0.6).value();
    ASSERT_TRUE(got == want) << "kind " << kind;
    EXPECT_EQ(hash.value(got), fnv1a64(want)) << "kind " << kind;
  }
}

// Scaling as FrameScaler does, of the whole frame.
Bytes scaleAll(const SyntheticImage& image, PixelSize size) {
  FrameScaler scaler;
  const Frame f = scaler.scale(frameOf(image), size).value();
  Bytes rows;
  for (int64_t y = 0; y < f.height; ++y) {
    rows.insert(rows.end(), f.pixels + y * f.bytesPerRow,
                f.pixels + y * f.bytesPerRow + f.width * 4);
  }
  return rows;
}

// For the ratios the host asks for (down by 1.5, by whole factors, by odd ones, up, one direction
// only): after random rows of the source changed, every scaled row that differs lies in the
// mapped ranges, and rescaling only those rows into the previous scaled frame gives exactly the
// scale of the whole new frame.
TEST(ScaledRowRanges, CoverEveryChangedScaledRowAndRescalingThemGivesTheFullScale) {
  struct ScaleCase {
    int sourceWidth, sourceHeight, width, height;
  };
  const ScaleCase cases[] = {
      {1920, 1080, 1280, 720}, {1920, 1080, 960, 540}, {1920, 1080, 480, 270},
      {1920, 1080, 320, 180},  {1000, 999, 333, 250},  {1280, 720, 1920, 1080},
      {100, 50, 300, 173},     {640, 480, 640, 240},   {640, 480, 320, 480},
  };
  std::mt19937 random(99);
  for (const ScaleCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.sourceWidth) + "x" + std::to_string(c.sourceHeight) + " to " +
                 std::to_string(c.width) + "x" + std::to_string(c.height));
    const PixelSize source{c.sourceWidth, c.sourceHeight}, size{c.width, c.height};
    SyntheticImage image(c.sourceWidth, c.sourceHeight, 4);
    for (int step = 0; step < 6; ++step) {
      Bytes scaled = scaleAll(image, size);
      std::vector<RowRange> changed;
      for (int n = 1 + step % 3; n > 0; --n) {
        const int top = std::uniform_int_distribution<int>(0, c.sourceHeight - 1)(random);
        const int bottom = std::min(top + 1 + step * step, c.sourceHeight);
        image.scribbleRows(top, bottom);
        changed.push_back({top, bottom});
      }
      const auto ranges = scaledRowRanges(changed, source, size);
      const Bytes want = scaleAll(image, size);
      const size_t row = static_cast<size_t>(c.width) * 4;
      for (int y = 0; y < c.height; ++y) {
        const bool differs = !std::equal(want.begin() + y * row, want.begin() + (y + 1) * row,
                                         scaled.begin() + y * row);
        const bool covered = std::any_of(ranges.begin(), ranges.end(), [&](const RowRange& r) {
          return r.begin <= y && y < r.end;
        });
        EXPECT_TRUE(!differs || covered) << "scaled row " << y;
      }
      ASSERT_TRUE(scaleRows(frameOf(image), size, ranges, scaled.data()));
      EXPECT_TRUE(scaled == want);
    }
  }
}

TEST(ScaledRowRanges, AreClippedSortedAndMerged) {
  const std::vector<RowRange> changed = {{50, 60},  {-10, 5}, {55, 70},
                                         {90, 200}, {30, 30}, {70, 80}};
  EXPECT_EQ(scaledRowRanges(changed, {100, 100}, {100, 100}),
            (std::vector<RowRange>{{0, 5}, {50, 80}, {90, 100}}));
  const auto down = scaledRowRanges(changed, {100, 100}, {50, 50});
  ASSERT_FALSE(down.empty());
  EXPECT_EQ(down.front().begin, 0);
  EXPECT_EQ(down.back().end, 50);
  for (size_t i = 1; i < down.size(); ++i) EXPECT_LT(down[i - 1].end, down[i].begin);
  EXPECT_TRUE(
      scaledRowRanges(std::vector<RowRange>{{100, 120}, {-5, 0}}, {100, 100}, {50, 50}).empty());
  const std::vector<RowRange> everything = {{INT64_MIN, INT64_MAX}};
  EXPECT_EQ(scaledRowRanges(everything, {1920, 1080}, {1280, 720}),
            (std::vector<RowRange>{{0, 720}}));
  EXPECT_EQ(scaledRowRanges(everything, {1920, 1080}, {1920, 1080}),
            (std::vector<RowRange>{{0, 1080}}));
}

}  // namespace
}  // namespace halvorine

#pragma once

// Procedural test pictures in the capture's pixel layout (rows of blue, green, red, unused):
// a photograph-like ground of gradients, soft shapes and grain with a terminal-like window of
// text-like strokes on it, which is what JPEG encoders find hard and screens show.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace halvorine::testing {

class SyntheticImage {
 public:
  SyntheticImage(int width, int height, uint32_t seed)
      : width_(width),
        height_(height),
        seed_(seed),
        bgrx_(static_cast<size_t>(width) * height * 4) {
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const double grain = static_cast<double>(next() >> 28) - 7.5;
        const double hills = 60 * std::sin(x * 0.004 + std::sin(y * 0.011) * 2) +
                             40 * std::cos(y * 0.006 - x * 0.002);
        const double sky = 255.0 * y / std::max(1, height);
        set(x, y, 90 + hills + 0.3 * sky + grain, 120 + 0.7 * hills + 0.2 * sky + grain,
            170 - 0.5 * hills - 0.2 * sky + grain);
      }
    }
    // A terminal from a quarter to three quarters across, lines of 16 rows.
    for (int line = 0; (line + 1) * 16 <= height / 2; ++line) {
      writeLine(width / 4, height / 4 + line * 16, width / 2, next());
    }
  }

  // Writes one terminal line of text-like strokes, `width` pixels wide and 16 rows high, at
  // (left, top): the change a typed character or a blinking cursor makes.
  void writeLine(int left, int top, int width, uint32_t seed) {
    uint32_t s = seed | 1;
    for (int x0 = left; x0 < left + width; x0 += 8) {
      s = s * 1664525 + 1013904223;
      const uint32_t glyph = s;
      for (int y = top; y < top + 16; ++y) {
        for (int x = x0; x < std::min(x0 + 8, left + width); ++x) {
          const int gx = (x - x0) / 2, gy = (y - top) / 4;
          const bool ink = ((glyph >> ((gy * 4 + gx) & 31)) & 1) != 0 && y - top > 1 &&
                           y - top < 14 && x - x0 < 7;
          const double v = ink ? 230 : 24;
          set(x, y, v, ink ? v : 30, ink ? v : 36);
        }
      }
    }
  }

  // Overwrites rows [top, bottom) with fresh grain.
  void scribbleRows(int top, int bottom) {
    for (int y = std::max(top, 0); y < std::min(bottom, height_); ++y) {
      for (int x = 0; x < width_; ++x) {
        set(x, y, next() >> 24, next() >> 24, next() >> 24);
      }
    }
  }

  const uint8_t* pixels() const { return bgrx_.data(); }
  int width() const { return width_; }
  int height() const { return height_; }
  int bytesPerRow() const { return width_ * 4; }

 private:
  uint32_t next() { return seed_ = seed_ * 1664525 + 1013904223; }

  void set(int x, int y, double r, double g, double b) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    auto ch = [](double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0)); };
    uint8_t* p = &bgrx_[(static_cast<size_t>(y) * width_ + x) * 4];
    p[0] = ch(b);
    p[1] = ch(g);
    p[2] = ch(r);
    p[3] = 0;
  }

  int width_, height_;
  uint32_t seed_;
  std::vector<uint8_t> bgrx_;
};

}  // namespace halvorine::testing

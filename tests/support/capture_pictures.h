#pragma once

// What the capture end-to-end tests of every backend share: the test picture, an X client that
// shows it, the decoding of an answer's frame, and the maxWidth cases.
#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halvorine::testing {

std::vector<uint8_t> base64Decode(const std::string& text);

struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> bgrx;
};

// An empty picture when the bytes are no JPEG.
Picture decodeJpeg(const std::vector<uint8_t>& jpeg);

// A picture with smooth areas, hard edges and text-like detail, the same for every run, as
// 0xRRGGBB at desktop pixel (x, y).
uint32_t testPixel(int x, int y);

// How closely `got` matches the test picture from desktop pixel (left, top), in dB.
double psnr(const Picture& got, int left, int top);

// An X client that covers the whole X screen with the test picture for as long as it lives.
// Override-redirect: no window manager places it (also under Xwayland, where the compositor shows
// it where X puts it, across every output).
class Painter {
 public:
  explicit Painter(const std::string& display);
  ~Painter();
  Painter(const Painter&) = delete;
  Painter& operator=(const Painter&) = delete;

  uint32_t atom(const std::string& name);

 private:
  xcb_connection_t* c_ = nullptr;
};

// A full-screen override-redirect window of one colour (0xRRGGBB).
class Backdrop {
 public:
  Backdrop(const std::string& display, uint32_t rgb);
  ~Backdrop();
  Backdrop(const Backdrop&) = delete;
  Backdrop& operator=(const Backdrop&) = delete;
  // Returns once the X server has painted it.
  void paint(uint32_t rgb);

 private:
  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = 0;
};

// The maxWidth values that the size tests ask for (nullopt: absent).
inline const std::vector<std::optional<int64_t>> maxWidthCases = {std::nullopt, 100, 1000, 1919,
                                                                  4096};

}  // namespace halvorine::testing

#include "capture_pictures.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace halvorine::testing {

std::vector<uint8_t> base64Decode(const std::string& text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::vector<uint8_t> out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    const int v = value(c);
    if (v < 0) throw std::runtime_error("not Base64");
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
    }
  }
  return out;
}

Picture decodeJpeg(const std::vector<uint8_t>& jpeg) {
  tjhandle h = tjInitDecompress();
  int w = 0, hgt = 0, sub = 0, cs = 0;
  Picture p;
  if (tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &w, &hgt, &sub, &cs) == 0) {
    p.width = w;
    p.height = hgt;
    p.bgrx.resize(static_cast<size_t>(w) * hgt * 4);
    if (tjDecompress2(h, jpeg.data(), jpeg.size(), p.bgrx.data(), w, w * 4, hgt, TJPF_BGRX, 0) !=
        0) {
      p = {};
    }
  }
  tjDestroy(h);
  return p;
}

uint32_t testPixel(int x, int y) {
  const uint32_t r = static_cast<uint32_t>((x * 255) / 1920);
  const uint32_t g = static_cast<uint32_t>((y * 255) / 1200);
  const uint32_t b = ((x / 80 + y / 80) % 2) != 0 ? 200 : 40;
  // Dark "glyphs" in rows, as text would be.
  if ((y % 36) < 12 && (x % 16) < 9 && ((x / 16 + y / 36) % 3) != 0 && (x / 400) % 2 == 0) {
    return 0x202020;
  }
  return (r << 16) | (g << 8) | b;
}

double psnr(const Picture& got, int left, int top) {
  double sum = 0;
  size_t n = 0;
  for (int y = 0; y < got.height; ++y) {
    for (int x = 0; x < got.width; ++x) {
      const uint32_t want = testPixel(left + x, top + y);
      const uint8_t* p = &got.bgrx[(static_cast<size_t>(y) * got.width + x) * 4];
      for (int c = 0; c < 3; ++c) {
        const double d = double(p[c]) - double((want >> (8 * c)) & 0xff);
        sum += d * d;
        ++n;
      }
    }
  }
  if (n == 0) return 0;
  const double mse = sum / double(n);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

Painter::Painter(const std::string& display) {
  c_ = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c_)) throw std::runtime_error("cannot connect");
  xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  // The screen as it is now (the setup's size is that of the moment of connecting).
  int w = s->width_in_pixels, h = s->height_in_pixels;
  if (auto* g = xcb_get_geometry_reply(c_, xcb_get_geometry(c_, s->root), nullptr)) {
    w = g->width;
    h = g->height;
    free(g);
  }
  const xcb_pixmap_t pixmap = xcb_generate_id(c_);
  xcb_create_pixmap(c_, s->root_depth, pixmap, s->root, w, h);
  const xcb_gcontext_t gc = xcb_generate_id(c_);
  xcb_create_gc(c_, gc, pixmap, 0, nullptr);
  const uint32_t maxBytes = xcb_get_maximum_request_length(c_) * 4 - 64;
  const int rowsPerRequest = std::max<int>(1, static_cast<int>(maxBytes / (w * 4)));
  std::vector<uint32_t> rows;
  for (int y0 = 0; y0 < h; y0 += rowsPerRequest) {
    const int n = std::min(rowsPerRequest, h - y0);
    rows.resize(static_cast<size_t>(w) * n);
    for (int y = 0; y < n; ++y) {
      for (int x = 0; x < w; ++x) rows[static_cast<size_t>(y) * w + x] = testPixel(x, y0 + y);
    }
    xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, w, n, 0, y0, 0, s->root_depth,
                  static_cast<uint32_t>(rows.size() * 4),
                  reinterpret_cast<const uint8_t*>(rows.data()));
  }
  const xcb_window_t window = xcb_generate_id(c_);
  const uint32_t values[] = {pixmap, 1};
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, s->root, 0, 0, w, h, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, s->root_visual,
                    XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c_, window);
  xcb_clear_area(c_, 0, window, 0, 0, 0, 0);
  free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
}

Painter::~Painter() {
  xcb_disconnect(c_);
}

uint32_t Painter::atom(const std::string& name) {
  auto* r = xcb_intern_atom_reply(
      c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
  const uint32_t a = r != nullptr ? r->atom : 0;
  free(r);
  return a;
}

Backdrop::Backdrop(const std::string& display, uint32_t rgb) {
  c_ = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c_)) throw std::runtime_error("cannot connect");
  xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  window_ = xcb_generate_id(c_);
  const uint32_t values[] = {rgb, 1};
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, s->root, 0, 0, s->width_in_pixels,
                    s->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, s->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c_, window_);
  paint(rgb);
}

Backdrop::~Backdrop() {
  xcb_disconnect(c_);
}

void Backdrop::paint(uint32_t rgb) {
  xcb_change_window_attributes(c_, window_, XCB_CW_BACK_PIXEL, &rgb);
  xcb_clear_area(c_, 0, window_, 0, 0, 0, 0);
  free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
}

}  // namespace halvorine::testing

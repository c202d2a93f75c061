#include "x11/x11_root_grabber.h"

#include <xcb/shm.h>

#include <algorithm>
#include <limits>

#include "libyuv/convert_argb.h"
#include "platform/capture_stages.h"

namespace halvorine::x11 {

namespace {

// The root visual: 24 bits of TrueColor with red, green and blue in the usual masks.
bool rootVisualIsPlainTrueColor(const xcb_screen_t* screen) {
  for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem > 0; xcb_depth_next(&d)) {
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
      if (v.data->visual_id == screen->root_visual) {
        return v.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR && v.data->red_mask == 0xff0000 &&
               v.data->green_mask == 0xff00 && v.data->blue_mask == 0xff;
      }
    }
  }
  return false;
}

// The rows of an area of `height` rows that the rectangles touch, sorted and merged, ranges a few
// rows apart joined (one request costs more than a few rows); nullopt when reading everything is
// as cheap.
std::optional<std::vector<std::pair<uint32_t, uint32_t>>> rowsToRead(
    std::span<const PixelRect> changed, uint32_t height) {
  constexpr uint32_t joinGap = 8;
  constexpr size_t maxRequests = 16;
  std::vector<std::pair<uint32_t, uint32_t>> rows;
  for (const PixelRect& r : changed) {
    if (r.width <= 0 || r.height <= 0) continue;
    const int64_t begin = std::clamp<int64_t>(r.y, 0, height);
    const int64_t end = std::clamp<int64_t>(r.y + r.height, 0, height);
    if (begin < end) rows.emplace_back(static_cast<uint32_t>(begin), static_cast<uint32_t>(end));
  }
  std::sort(rows.begin(), rows.end());
  std::vector<std::pair<uint32_t, uint32_t>> merged;
  uint64_t total = 0;
  for (const auto& r : rows) {
    if (!merged.empty() && r.first <= merged.back().second + joinGap) {
      merged.back().second = std::max(merged.back().second, r.second);
    } else {
      merged.push_back(r);
    }
  }
  for (const auto& r : merged) total += r.second - r.first;
  if (merged.size() > maxRequests || total * 4 >= uint64_t{height} * 3) return std::nullopt;
  return merged;
}

}  // namespace

RootGrabber::RootGrabber(XConnection& connection) : x_(connection), segment_(connection) {}

std::optional<RootGrabber::PixelLayout> RootGrabber::layout(xcb_connection_t* c,
                                                            uint32_t width) const {
  const xcb_setup_t* setup = xcb_get_setup(c);
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return std::nullopt;
  const xcb_screen_t* screen = x_.screen();
  const uint8_t depth = screen->root_depth;
  if (!rootVisualIsPlainTrueColor(screen) || (depth != 24 && depth != 32)) return std::nullopt;
  for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem > 0; xcb_format_next(&f)) {
    if (f.data->depth != depth) continue;
    const int bpp = f.data->bits_per_pixel;
    if (bpp != 32 && bpp != 24) return std::nullopt;
    const size_t padBytes = static_cast<size_t>(f.data->scanline_pad) / 8;
    size_t stride = static_cast<size_t>(width) * static_cast<size_t>(bpp / 8);
    if (padBytes > 1) stride = (stride + padBytes - 1) / padBytes * padBytes;
    return PixelLayout{.bitsPerPixel = bpp, .stride = stride};
  }
  return std::nullopt;
}

RootGrabber::RawImage RootGrabber::read(xcb_connection_t* c, int32_t x, int32_t y, uint32_t width,
                                        uint32_t height, size_t bytes) {
  plainReply_.reset();
  const xcb_window_t root = x_.screen()->root;
  const auto sx = static_cast<int16_t>(x), sy = static_cast<int16_t>(y);
  const auto sw = static_cast<uint16_t>(width), sh = static_cast<uint16_t>(height);
  const bool shm = segment_.prepare(c, bytes);
  if (!x_.connected()) {
    // Dropped while shared memory was being set up: c is gone.
    return {.data = nullptr, .errorCode = x_.failureCode()};
  }
  if (shm) {
    XcbPtr<xcb_generic_error_t> error;
    auto reply = x_.reply<xcb_shm_get_image_reply_t>(
        xcb_shm_get_image(c, root, sx, sy, sw, sh, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment_.id(),
                          0),
        &error);
    if (reply) {
      segment_.readSucceeded();
      return {.data = segment_.data(), .errorCode = 0};
    }
    if (!error) {
      segment_.connectionLost();
      return {.data = nullptr, .errorCode = x_.failureCode()};
    }
    segment_.readRefused();
  }
  XcbPtr<xcb_generic_error_t> error;
  plainReply_ = x_.reply<xcb_get_image_reply_t>(
      xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, sx, sy, sw, sh, ~0u), &error);
  if (!plainReply_) {
    return {.data = nullptr, .errorCode = error ? error->error_code : x_.failureCode()};
  }
  if (static_cast<size_t>(xcb_get_image_data_length(plainReply_.get())) < bytes) return {};
  return {.data = xcb_get_image_data(plainReply_.get()), .errorCode = 0};
}

Frame RootGrabber::toBgrx(const uint8_t* data, const PixelLayout& layout, uint32_t width,
                          uint32_t height) {
  const Frame frame{.pixels = data,
                    .width = width,
                    .height = height,
                    .bytesPerRow = static_cast<int64_t>(layout.stride)};
  if (layout.bitsPerPixel == 32) return frame;
  converted_.resize(static_cast<size_t>(width) * height * 4);
  libyuv::RGB24ToARGB(data, static_cast<int>(layout.stride), converted_.data(),
                      static_cast<int>(width) * 4, static_cast<int>(width),
                      static_cast<int>(height));
  return Frame{.pixels = converted_.data(),
               .width = width,
               .height = height,
               .bytesPerRow = static_cast<int64_t>(width) * 4};
}

bool RootGrabber::readRows(xcb_connection_t* c, int32_t x, int32_t y, uint32_t width, size_t stride,
                           const std::vector<std::pair<uint32_t, uint32_t>>& rows, int& errorCode) {
  const xcb_window_t root = x_.screen()->root;
  std::vector<xcb_shm_get_image_cookie_t> cookies;
  cookies.reserve(rows.size());
  // All requests first, then the replies: one round trip.
  for (const auto& [begin, end] : rows) {
    cookies.push_back(xcb_shm_get_image(
        c, root, static_cast<int16_t>(x), static_cast<int16_t>(y + static_cast<int32_t>(begin)),
        static_cast<uint16_t>(width), static_cast<uint16_t>(end - begin), ~0u,
        XCB_IMAGE_FORMAT_Z_PIXMAP, segment_.id(), static_cast<uint32_t>(begin * stride)));
  }
  bool ok = true;
  for (const auto& cookie : cookies) {
    if (!x_.connected()) {
      errorCode = x_.failureCode();
      return false;
    }
    XcbPtr<xcb_generic_error_t> error;
    if (!x_.reply<xcb_shm_get_image_reply_t>(cookie, &error)) {
      if (!error) {
        segment_.connectionLost();
        errorCode = x_.failureCode();
        return false;
      }
      ok = false;  // the remaining replies are still taken
    }
  }
  return ok;
}

GrabResult RootGrabber::grab(int32_t x, int32_t y, uint32_t width, uint32_t height,
                             std::optional<std::span<const PixelRect>> changedSinceLastRead) {
  const std::optional<Held> held = held_;
  held_.reset();
  xcb_connection_t* c = x_.get();
  if (c == nullptr) return {.frame = {}, .errorCode = x_.failureCode()};
  if (width == 0 || height == 0 || width > 32767 || height > 32767 || x < -32768 || x > 32767 ||
      y < -32768 || y > 32767) {
    return {};  // nothing the server could deliver: a failure without an X error
  }
  const std::optional<PixelLayout> pixelLayout = layout(c, width);
  if (!pixelLayout) return {};
  const size_t bytes = pixelLayout->stride * height;
  const Held area{.x = x,
                  .y = y,
                  .width = width,
                  .height = height,
                  .stride = pixelLayout->stride,
                  .generation = x_.generation()};
  // Only the changed rows, where the segment still holds the rest of this rectangle.
  if (changedSinceLastRead && held == area && pixelLayout->bitsPerPixel == 32 &&
      bytes <= std::numeric_limits<uint32_t>::max() && segment_.prepare(c, bytes) &&
      x_.connected()) {
    if (const auto rows = rowsToRead(*changedSinceLastRead, height)) {
      int errorCode = 0;
      if (readRows(c, x, y, width, pixelLayout->stride, *rows, errorCode)) {
        segment_.readSucceeded();
        held_ = area;
        rowsRead_ = 0;
        for (const auto& r : *rows) rowsRead_ += r.second - r.first;
        captureStageReached(CaptureStage::grabbed);
        captureStageReached(CaptureStage::converted);
        return {.frame = Frame{.pixels = segment_.data(),
                               .width = width,
                               .height = height,
                               .bytesPerRow = static_cast<int64_t>(pixelLayout->stride)},
                .errorCode = 0};
      }
      if (!x_.connected()) return {.frame = {}, .errorCode = errorCode};
      // Refused: read the whole rectangle below, which finds its own way.
    }
  }
  const RawImage raw = read(c, x, y, width, height, bytes);
  if (raw.data == nullptr) return {.frame = {}, .errorCode = raw.errorCode};
  if (raw.data == segment_.data() && pixelLayout->bitsPerPixel == 32) held_ = area;
  rowsRead_ = height;
  captureStageReached(CaptureStage::grabbed);
  const Frame frame = toBgrx(raw.data, *pixelLayout, width, height);
  captureStageReached(CaptureStage::converted);
  return {.frame = frame, .errorCode = 0};
}

}  // namespace halvorine::x11

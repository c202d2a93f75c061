#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/capture_platform.h"
#include "x11/x11_shm_segment.h"
#include "x11/x_connection.h"

namespace halvorine::x11 {

struct GrabResult {
  // Set when pixels are delivered.
  Frame frame;
  // Without pixels: the X error code, the XCB connection error number, or 0 for a failure that
  // has neither (an unsupported pixel format, an impossible size).
  int errorCode = 0;
  bool ok() const { return frame.pixels != nullptr; }
};

// Reads rectangles of the root window (no cursor) as 32-bit pixels: blue, green, red, unused.
// Keeps its buffers between reads, the shared-memory segment included: fresh memory is slow to
// touch. Used on one thread only, over that thread's connection.
class RootGrabber {
 public:
  explicit RootGrabber(XConnection& connection);

  // The pixels stay valid until the next grab. `changedSinceLastRead`, when given, holds every
  // part of the rectangle (relative to its corner) that may have changed since the previous read
  // of the same rectangle: if that read was also the last one and left 32-bit pixels in the
  // shared-memory segment, only the rows these parts touch are read again and the rest is kept as
  // it was. Any other grab reads the whole rectangle.
  GrabResult grab(int32_t x, int32_t y, uint32_t width, uint32_t height,
                  std::optional<std::span<const PixelRect>> changedSinceLastRead = std::nullopt);

  // Rows the last successful grab read from the server (for tests and the benchmark).
  uint32_t rowsRead() const { return rowsRead_; }

 private:
  // How the server lays out the root window's pixels in a Z-pixmap image.
  struct PixelLayout {
    int bitsPerPixel = 0;
    size_t stride = 0;
  };
  // Where a read left the pixels, as the server laid them out.
  struct RawImage {
    const uint8_t* data = nullptr;
    int errorCode = 0;
  };

  std::optional<PixelLayout> layout(xcb_connection_t* c, uint32_t width) const;
  // The read itself: through the shared-memory segment where the server allows it, else plain
  // GetImage.
  RawImage read(xcb_connection_t* c, int32_t x, int32_t y, uint32_t width, uint32_t height,
                size_t bytes);
  // Reads rows [begin, end) of each range into their place in the segment, which holds the rest;
  // false when that could not be done (nothing is then known of the segment's content).
  bool readRows(xcb_connection_t* c, int32_t x, int32_t y, uint32_t width, size_t stride,
                const std::vector<std::pair<uint32_t, uint32_t>>& rows, int& errorCode);
  // Turns 24-bit pixels into the 32-bit ones the scaler and the encoder take.
  Frame toBgrx(const uint8_t* data, const PixelLayout& layout, uint32_t width, uint32_t height);

  XConnection& x_;
  ShmSegment segment_;
  XcbPtr<xcb_get_image_reply_t> plainReply_;
  std::vector<uint8_t> converted_;
  // The rectangle whose 32-bit pixels the segment holds from the last read, on the connection of
  // that generation; unset after any read that left something else there.
  struct Held {
    int32_t x = 0, y = 0;
    uint32_t width = 0, height = 0;
    size_t stride = 0;
    uint64_t generation = 0;
    bool operator==(const Held&) const = default;
  };
  std::optional<Held> held_;
  uint32_t rowsRead_ = 0;
};

}  // namespace halvorine::x11

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

  // The pixels stay valid until the next grab.
  GrabResult grab(int32_t x, int32_t y, uint32_t width, uint32_t height);

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
  // Turns 24-bit pixels into the 32-bit ones the scaler and the encoder take.
  Frame toBgrx(const uint8_t* data, const PixelLayout& layout, uint32_t width, uint32_t height);

  XConnection& x_;
  ShmSegment segment_;
  XcbPtr<xcb_get_image_reply_t> plainReply_;
  std::vector<uint8_t> converted_;
};

}  // namespace halvorine::x11

#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "x11/x_connection.h"

typedef void* tjhandle;

namespace halvorine::x11 {

struct GrabResult {
  // Set when pixels are delivered: 32-bit blue, green, red, unused.
  const uint8_t* pixels = nullptr;
  int64_t width = 0;
  int64_t height = 0;
  int64_t stride = 0;
  // Without pixels: the X error code, the XCB connection error number, or 0 for a failure that
  // has neither (an unsupported pixel format, an impossible size).
  int errorCode = 0;
  bool ok() const { return pixels != nullptr; }
};

// Reads rectangles of the root window (no cursor) and scales them with a box filter. Keeps its
// buffers between reads, the shared-memory segment included: fresh memory is slow to touch.
// Used on one thread only, over that thread's connection.
class RootGrabber {
 public:
  explicit RootGrabber(XConnection& connection);
  ~RootGrabber();
  RootGrabber(const RootGrabber&) = delete;
  RootGrabber& operator=(const RootGrabber&) = delete;

  // The pixels stay valid until the next grab.
  GrabResult grab(int32_t x, int32_t y, uint32_t width, uint32_t height, int64_t outWidth,
                  int64_t outHeight);

 private:
  bool ensureShm(xcb_connection_t* c, size_t bytes);
  bool checkFormat(xcb_connection_t* c, uint8_t depth, int& bitsPerPixel, int& scanlinePad);

  XConnection& x_;
  int shmFd_ = -1;
  uint8_t* shmAddr_ = nullptr;
  size_t shmSize_ = 0;
  uint32_t shmSeg_ = 0;
  // The connection (by generation) the segment is attached on, and one on which shared memory
  // does not work.
  uint64_t shmAttachedOn_ = 0;
  uint64_t shmUnusableOn_ = 0;
  int shmFailures_ = 0;
  XcbPtr<xcb_get_image_reply_t> plainReply_;
  std::vector<uint8_t> converted_;
  std::vector<uint8_t> scaled_;
};

// TurboJPEG, 4:2:0, with its handle and output buffer kept between frames. Thread-safe.
class JpegEncoder {
 public:
  JpegEncoder();
  ~JpegEncoder();
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  // quality between 0 and 1; nullopt when the encoder fails.
  std::optional<std::vector<uint8_t>> encode(const uint8_t* pixels, int64_t width, int64_t height,
                                             int64_t bytesPerRow, double quality);

 private:
  std::mutex mutex_;
  tjhandle handle_ = nullptr;
  unsigned char* buffer_ = nullptr;
  unsigned long capacity_ = 0;
};

}  // namespace halvorine::x11

#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wayland/wayland_connection.h"

struct wl_buffer;
struct wl_shm_pool;
struct zwlr_screencopy_frame_v1;

namespace halvorine::wayland {

// Converts one frame of a wl_shm buffer to rows of 32-bit pixels with bytes blue, green, red,
// 255, top row first (yInvert: the source's rows run bottom to top). Every 32-bit RGB format of
// wl_shm is understood (8 bits per channel in any order, and 10 bits per channel); false for any
// other format, and for a stride too small for the width.
bool convertToBgrx(uint32_t shmFormat, bool yInvert, const uint8_t* source, uint32_t width,
                   uint32_t height, uint32_t stride, uint8_t* target, size_t targetStride);
bool isSupportedShmFormat(uint32_t shmFormat);

// A screenshot of one output, without the cursor, through the screencopy protocol into a shared
// memory buffer that is kept for the next capture of the same size and format.
class Screencopy {
 public:
  // Why a capture failed; the adapter turns the value into the failure answer's code.
  enum Error : int {
    none = 0,
    noCompositor = 1,       // the compositor cannot be reached
    noScreencopy = 2,       // the compositor does not offer screencopy or shared memory
    noSuchOutput = 3,       // no output has that display identifier
    unsupportedFormat = 4,  // the compositor offered no shared-memory format we read
    bufferFailed = 5,       // the shared memory could not be made
    copyFailed = 6,         // the compositor reported the copy as failed
    connectionLost = 7,     // the compositor went away or stopped answering during the capture
  };

  // The last captured frame: blue, green, red, unused byte per pixel.
  struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    size_t bytesPerRow = 0;
    const uint8_t* pixels = nullptr;
  };

  explicit Screencopy(Connection& connection);
  ~Screencopy();
  Screencopy(const Screencopy&) = delete;
  Screencopy& operator=(const Screencopy&) = delete;

  // Captures the output with this display identifier. On success image() holds the frame until
  // the next capture.
  Error capture(uint32_t displayId);
  Image image() const;
  // The wl_shm format and y-invert flag of the last frame (for tests and diagnostics).
  uint32_t lastFormat() const { return format_; }
  bool lastYInverted() const { return yInvert_; }

 private:
  bool ensureBuffer(uint32_t format, uint32_t width, uint32_t height, uint32_t stride);
  void releaseProxies();
  void unmap();

  Connection& connection_;
  int dropHandler_ = 0;
  zwlr_screencopy_frame_v1* frame_ = nullptr;
  // Shared memory kept across captures.
  int fd_ = -1;
  void* map_ = nullptr;
  size_t mapSize_ = 0;
  wl_shm_pool* pool_ = nullptr;
  wl_buffer* buffer_ = nullptr;
  uint32_t bufferFormat_ = 0, bufferWidth_ = 0, bufferHeight_ = 0, bufferStride_ = 0;
  // The converted frame.
  std::vector<uint8_t> pixels_;
  uint32_t width_ = 0, height_ = 0;
  uint32_t format_ = 0;
  bool yInvert_ = false;
};

}  // namespace halvorine::wayland

#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/capture_platform.h"
#include "screen_capture/row_ranges.h"

typedef void* tjhandle;

namespace halvorine {

// Turns a frame into a complete JPEG file. Identical pixels at the same quality give identical
// bytes: change suppression compares the bytes.
class FrameEncoder {
 public:
  virtual ~FrameEncoder() = default;
  // quality between 0 and 1; nullopt when the encoder fails. Callable from any thread.
  virtual std::optional<std::vector<uint8_t>> encode(const Frame& frame, double quality) = 0;
  // The same into `out`, whose memory is reused when it is large enough; false when the encoder
  // fails (`out` is then unspecified).
  virtual bool encodeInto(const Frame& frame, double quality, std::vector<uint8_t>& out) {
    std::optional<std::vector<uint8_t>> jpeg = encode(frame, quality);
    if (!jpeg) return false;
    out = std::move(*jpeg);
    return true;
  }
  // The same for a frame of which only `changedRows` may differ from the frame of this encoder's
  // previous call (nullopt: any row may), for encoders that keep work from that call; the bytes
  // are those of encodeInto() all the same. Encoders that keep nothing encode everything.
  virtual bool encodeChangedInto(const Frame& frame, double quality,
                                 const std::optional<std::vector<RowRange>>& changedRows,
                                 std::vector<uint8_t>& out) {
    (void)changedRows;
    return encodeInto(frame, quality, out);
  }
};

// TurboJPEG, 4:2:0, with its handle and output buffer kept between frames (fresh memory is slow
// to touch).
class JpegEncoder final : public FrameEncoder {
 public:
  JpegEncoder();
  ~JpegEncoder() override;
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  std::optional<std::vector<uint8_t>> encode(const Frame& frame, double quality) override;
  bool encodeInto(const Frame& frame, double quality, std::vector<uint8_t>& out) override;

 private:
  std::mutex mutex_;
  tjhandle handle_ = nullptr;
  unsigned char* buffer_ = nullptr;
  unsigned long capacity_ = 0;
};

}  // namespace halvorine

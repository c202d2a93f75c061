#include "screen_capture/jpeg_encoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

namespace halvorine {

JpegEncoder::JpegEncoder() = default;

JpegEncoder::~JpegEncoder() {
  if (buffer_ != nullptr) tjFree(buffer_);
  if (handle_ != nullptr) tjDestroy(handle_);
}

std::optional<std::vector<uint8_t>> JpegEncoder::encode(const Frame& frame, double quality) {
  std::vector<uint8_t> jpeg;
  if (!encodeInto(frame, quality, jpeg)) return std::nullopt;
  return jpeg;
}

bool JpegEncoder::encodeInto(const Frame& frame, double quality, std::vector<uint8_t>& jpeg) {
  if (frame.pixels == nullptr || frame.width < 1 || frame.height < 1 || frame.width > 65535 ||
      frame.height > 65535 || frame.bytesPerRow < frame.width * 4 || !std::isfinite(quality)) {
    return false;
  }
  const int width = static_cast<int>(frame.width);
  const int height = static_cast<int>(frame.height);
  std::lock_guard lock(mutex_);
  if (handle_ == nullptr) handle_ = tjInitCompress();
  if (handle_ == nullptr) return false;
  const unsigned long needed = tjBufSize(width, height, TJSAMP_420);
  if (needed == static_cast<unsigned long>(-1)) return false;
  if (capacity_ < needed) {
    if (buffer_ != nullptr) tjFree(buffer_);
    buffer_ = tjAlloc(static_cast<int>(needed));
    capacity_ = buffer_ != nullptr ? needed : 0;
    if (buffer_ == nullptr) return false;
  }
  const int q = static_cast<int>(std::lround(std::clamp(quality, 0.0, 1.0) * 100.0));
  unsigned char* out = buffer_;
  unsigned long size = capacity_;
  // The buffer is kept between frames; NOREALLOC keeps the encoder from replacing it.
  if (tjCompress2(handle_, frame.pixels, width, static_cast<int>(frame.bytesPerRow), height,
                  TJPF_BGRX, &out, &size, TJSAMP_420, std::max(q, 1), TJFLAG_NOREALLOC) != 0) {
    return false;
  }
  jpeg.assign(out, out + size);
  return true;
}

}  // namespace halvorine

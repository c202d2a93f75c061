#include "screen_capture/jpeg_encoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace halvorine {

bool turboJpegEncodable(const Frame& frame, double quality) {
  return frame.pixels != nullptr && frame.width >= 1 && frame.height >= 1 && frame.width <= 65535 &&
         frame.height <= 65535 && frame.bytesPerRow >= frame.width * 4 &&
         frame.bytesPerRow <= std::numeric_limits<int>::max() && std::isfinite(quality);
}

int turboJpegQuality(double quality) {
  return std::max(1, static_cast<int>(std::lround(std::clamp(quality, 0.0, 1.0) * 100.0)));
}

TurboJpegOutput::~TurboJpegOutput() {
  if (buffer_ != nullptr) tjFree(buffer_);
}

TurboJpegOutput::TurboJpegOutput(TurboJpegOutput&& other) noexcept
    : buffer_(std::exchange(other.buffer_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)) {}

TurboJpegOutput& TurboJpegOutput::operator=(TurboJpegOutput&& other) noexcept {
  if (this != &other) {
    if (buffer_ != nullptr) tjFree(buffer_);
    buffer_ = std::exchange(other.buffer_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

bool TurboJpegOutput::compress(tjhandle handle, const Frame& frame, int64_t top, int64_t rows,
                               int quality) {
  size_ = 0;
  const int width = static_cast<int>(frame.width);
  const int height = static_cast<int>(rows);
  const unsigned long needed = tjBufSize(width, height, TJSAMP_420);
  if (handle == nullptr || needed == static_cast<unsigned long>(-1)) return false;
  if (capacity_ < needed) {
    if (buffer_ != nullptr) tjFree(buffer_);
    buffer_ = tjAlloc(static_cast<int>(needed));
    capacity_ = buffer_ != nullptr ? needed : 0;
    if (buffer_ == nullptr) return false;
  }
  unsigned char* out = buffer_;
  unsigned long size = capacity_;
  // The buffer holds the worst case; NOREALLOC keeps the encoder from replacing it.
  if (tjCompress2(handle, frame.pixels + top * frame.bytesPerRow, width,
                  static_cast<int>(frame.bytesPerRow), height, TJPF_BGRX, &out, &size, TJSAMP_420,
                  quality, TJFLAG_NOREALLOC) != 0 ||
      out != buffer_) {
    return false;
  }
  size_ = size;
  return true;
}

JpegEncoder::JpegEncoder() = default;

JpegEncoder::~JpegEncoder() {
  if (handle_ != nullptr) tjDestroy(handle_);
}

std::optional<std::vector<uint8_t>> JpegEncoder::encode(const Frame& frame, double quality) {
  std::vector<uint8_t> jpeg;
  if (!encodeInto(frame, quality, jpeg)) return std::nullopt;
  return jpeg;
}

bool JpegEncoder::encodeInto(const Frame& frame, double quality, std::vector<uint8_t>& jpeg) {
  if (!turboJpegEncodable(frame, quality)) return false;
  std::lock_guard lock(mutex_);
  if (handle_ == nullptr) handle_ = tjInitCompress();
  if (!output_.compress(handle_, frame, 0, frame.height, turboJpegQuality(quality))) return false;
  jpeg.assign(output_.data(), output_.data() + output_.size());
  return true;
}

}  // namespace halvorine

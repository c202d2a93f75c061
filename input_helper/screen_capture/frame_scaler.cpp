#include "screen_capture/frame_scaler.h"

#include <limits>

#include "libyuv/scale_argb.h"

namespace halvorine {

std::optional<Frame> FrameScaler::scale(const Frame& frame, PixelSize size) {
  if (frame.width == size.width && frame.height == size.height) return frame;
  constexpr int64_t limit = 32767;
  if (frame.pixels == nullptr || frame.width < 1 || frame.height < 1 || frame.width > limit ||
      frame.height > limit || frame.bytesPerRow < frame.width * 4 ||
      frame.bytesPerRow > std::numeric_limits<int>::max() || size.width < 1 || size.height < 1 ||
      size.width > limit || size.height > limit) {
    return std::nullopt;
  }
  scaled_.resize(static_cast<size_t>(size.width) * static_cast<size_t>(size.height) * 4);
  if (libyuv::ARGBScale(
          frame.pixels, static_cast<int>(frame.bytesPerRow), static_cast<int>(frame.width),
          static_cast<int>(frame.height), scaled_.data(), static_cast<int>(size.width) * 4,
          static_cast<int>(size.width), static_cast<int>(size.height), libyuv::kFilterBox) != 0) {
    return std::nullopt;
  }
  return Frame{.pixels = scaled_.data(),
               .width = size.width,
               .height = size.height,
               .bytesPerRow = size.width * 4};
}

}  // namespace halvorine

#include "screen_capture/frame_scaler.h"

#include <limits>

#include "libyuv/scale_argb.h"

namespace halvorine {

namespace {

constexpr int64_t limit = 32767;

bool scalable(const Frame& frame, PixelSize size) {
  return frame.pixels != nullptr && frame.width >= 1 && frame.height >= 1 && frame.width <= limit &&
         frame.height <= limit && frame.bytesPerRow >= frame.width * 4 &&
         frame.bytesPerRow <= std::numeric_limits<int>::max() && size.width >= 1 &&
         size.height >= 1 && size.width <= limit && size.height <= limit;
}

}  // namespace

std::optional<Frame> FrameScaler::scale(const Frame& frame, PixelSize size) {
  std::optional<std::vector<RowRange>> ignored;
  return scaleChanged(frame, size, std::nullopt, ignored);
}

std::optional<Frame> FrameScaler::scaleChanged(
    const Frame& frame, PixelSize size, const std::optional<std::vector<RowRange>>& changedRows,
    std::optional<std::vector<RowRange>>& scaledChanged) {
  scaledChanged.reset();
  const bool wasKept = kept_;
  kept_ = false;
  const PixelSize source{frame.width, frame.height};
  if (source == size) {
    // Not scaled: the rows that changed are the frame's own.
    if (changedRows) scaledChanged = scaledRowRanges(*changedRows, source, size);
    return frame;
  }
  if (!scalable(frame, size)) return std::nullopt;
  scaled_.resize(static_cast<size_t>(size.width) * static_cast<size_t>(size.height) * 4);
  const Frame scaled{.pixels = scaled_.data(),
                     .width = size.width,
                     .height = size.height,
                     .bytesPerRow = size.width * 4};
  if (changedRows && wasKept && keptSource_ == source && keptSize_ == size) {
    std::vector<RowRange> rows = scaledRowRanges(*changedRows, source, size);
    if (!scaleRows(frame, size, rows, scaled_.data())) return std::nullopt;
    scaledChanged = std::move(rows);
  } else if (libyuv::ARGBScale(frame.pixels, static_cast<int>(frame.bytesPerRow),
                               static_cast<int>(frame.width), static_cast<int>(frame.height),
                               scaled_.data(), static_cast<int>(size.width) * 4,
                               static_cast<int>(size.width), static_cast<int>(size.height),
                               libyuv::kFilterBox) != 0) {
    return std::nullopt;
  }
  kept_ = true;
  keptSource_ = source;
  keptSize_ = size;
  return scaled;
}

}  // namespace halvorine

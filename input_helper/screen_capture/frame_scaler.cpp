#include "screen_capture/frame_scaler.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <span>

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
  std::optional<Frame> scaled = prepareChanged(frame, size, changedRows, scaledChanged);
  if (!scaled || !fill(0, size.height)) {
    kept_ = false;
    return std::nullopt;
  }
  return scaled;
}

std::optional<Frame> FrameScaler::prepareChanged(
    const Frame& frame, PixelSize size, const std::optional<std::vector<RowRange>>& changedRows,
    std::optional<std::vector<RowRange>>& scaledChanged) {
  scaledChanged.reset();
  // The buffer holds the previous frame only if every row that frame needed was scaled.
  const bool wasKept = kept_ && filledRows_.load() == plannedRows_;
  kept_ = false;
  toScale_.clear();
  plannedRows_ = 0;
  filledRows_ = 0;
  fillFailed_ = false;
  const PixelSize source{frame.width, frame.height};
  if (source == size) {
    // Not scaled: the rows that changed are the frame's own.
    if (changedRows) scaledChanged = scaledRowRanges(*changedRows, source, size);
    return frame;
  }
  if (!scalable(frame, size)) return std::nullopt;
  scaled_.resize(static_cast<size_t>(size.width) * static_cast<size_t>(size.height) * 4);
  if (changedRows && wasKept && keptSource_ == source && keptSize_ == size) {
    toScale_ = scaledRowRanges(*changedRows, source, size);
    scaledChanged = toScale_;
  } else {
    toScale_ = {{0, size.height}};
  }
  for (const RowRange& r : toScale_) plannedRows_ += r.end - r.begin;
  source_ = frame;
  size_ = size;
  kept_ = true;
  keptSource_ = source;
  keptSize_ = size;
  return Frame{.pixels = scaled_.data(),
               .width = size.width,
               .height = size.height,
               .bytesPerRow = size.width * 4};
}

bool FrameScaler::fill(int64_t top, int64_t rows) {
  if (plannedRows_ == 0) return true;
  RowRange pieces[8];
  size_t count = 0;
  int64_t filled = 0;
  bool ok = true;
  auto flush = [&] {
    ok = ok && scaleRows(source_, size_, std::span(pieces, count), scaled_.data());
    count = 0;
  };
  for (const RowRange& r : toScale_) {
    const RowRange piece{std::max(r.begin, top), std::min(r.end, top + rows)};
    if (piece.begin >= piece.end) continue;
    if (count == std::size(pieces)) flush();
    pieces[count++] = piece;
    filled += piece.end - piece.begin;
  }
  if (count > 0) flush();
  if (ok) {
    filledRows_ += filled;
  } else {
    fillFailed_ = true;
  }
  return ok;
}

}  // namespace halvorine

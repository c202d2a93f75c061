#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/capture_platform.h"

namespace halvorine {

// Rows [begin, end) of a frame, in that frame's own pixels.
struct RowRange {
  int64_t begin = 0;
  int64_t end = 0;
  bool operator==(const RowRange&) const = default;
};

// The rows of a frame scaled from `source` to `scaled` (as FrameScaler scales) that can differ
// when only the source rows in `changed` did: each range is mapped to the scaled frame and widened
// by the reach of the scaling filter, which blends neighbouring source rows into a scaled row.
// The result is clipped, sorted and merged; it is `changed` itself (clipped) when the sizes are
// equal, since the frame is then not scaled.
std::vector<RowRange> scaledRowRanges(std::span<const RowRange> changed, PixelSize source,
                                      PixelSize scaled);

// Scales only `rows` of the scaled frame into `scaled` (a buffer of scaled.width * 4 bytes per
// row holding the previous scaled frame), leaving its other rows as they are. Each row comes out
// exactly as a scale of the whole frame makes it, so a caller that rescales the rows of
// scaledRowRanges() keeps the same pixels as scaling everything. False for sizes FrameScaler
// refuses.
bool scaleRows(const Frame& source, PixelSize size, std::span<const RowRange> rows,
               uint8_t* scaled);

}  // namespace halvorine

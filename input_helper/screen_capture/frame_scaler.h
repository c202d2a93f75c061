#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/capture_platform.h"
#include "screen_capture/row_ranges.h"

namespace halvorine {

// Brings a frame to the size the host asked for with a box filter, into a buffer kept between
// frames (fresh memory is slow to touch). Not thread-safe.
class FrameScaler {
 public:
  // The frame itself when it already has that size; nullopt for a size that cannot be made. The
  // scaled pixels stay valid until the next call.
  std::optional<Frame> scale(const Frame& frame, PixelSize size);

  // The same for a frame of which only the rows in `changedRows` may differ from the frame of the
  // previous call (nullopt: any row may). When the kept buffer holds that previous frame scaled to
  // the same size from the same source size, only the scaled rows those rows reach are scaled
  // again; the pixels are those of scale() all the same. `scaledChanged` gets the rows of the
  // result that may differ from the previous result (nullopt: any row may).
  std::optional<Frame> scaleChanged(const Frame& frame, PixelSize size,
                                    const std::optional<std::vector<RowRange>>& changedRows,
                                    std::optional<std::vector<RowRange>>& scaledChanged);

 private:
  std::vector<uint8_t> scaled_;
  // What the buffer holds: the previous call's frame scaled from `keptSource_` to `keptSize_`.
  // Unset after a call that failed or did not scale.
  bool kept_ = false;
  PixelSize keptSource_;
  PixelSize keptSize_;
};

}  // namespace halvorine

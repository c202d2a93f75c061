#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/capture_platform.h"
#include "screen_capture/jpeg_encoder.h"
#include "screen_capture/row_ranges.h"

namespace halvorine {

// Brings a frame to the size the host asked for with a box filter, into a buffer kept between
// frames (fresh memory is slow to touch). Not thread-safe, except fill() as said there.
class FrameScaler final : public RowFill {
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

  // As scaleChanged(), but no row is scaled yet: fill() scales them, so that an encoder can scale
  // each band on the thread that encodes it. `frame` must stay as it is until then. Rows the
  // result needs and fill() was not asked for are scaled again by the next call.
  std::optional<Frame> prepareChanged(const Frame& frame, PixelSize size,
                                      const std::optional<std::vector<RowRange>>& changedRows,
                                      std::optional<std::vector<RowRange>>& scaledChanged);
  // Scales the rows of [top, top + rows) that the prepared frame needs; callable from several
  // threads at once for disjoint ranges. Nothing to do when the frame is not scaled.
  bool fill(int64_t top, int64_t rows) override;
  // Whether a fill() since the last prepareChanged() failed.
  bool fillFailed() const { return fillFailed_.load(); }

 private:
  std::vector<uint8_t> scaled_;
  // The prepared work: the source and the scaled rows still to be made from it.
  Frame source_;
  PixelSize size_;
  std::vector<RowRange> toScale_;
  int64_t plannedRows_ = 0;
  std::atomic<int64_t> filledRows_{0};
  std::atomic<bool> fillFailed_{false};
  // What the buffer holds: the previous call's frame scaled from `keptSource_` to `keptSize_`.
  // Unset after a call that failed or did not scale.
  bool kept_ = false;
  PixelSize keptSource_;
  PixelSize keptSize_;
};

}  // namespace halvorine

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "screen_capture/jpeg_encoder.h"
#include "screen_capture/row_ranges.h"

namespace halvorine {

// TurboJPEG at 4:2:0 with the standard tables, like JpegEncoder, but the frame is cut into
// horizontal bands that are encoded side by side on a small pool of threads (one per core, the
// calling thread being one of them) and joined into one baseline JPEG.
//
// A band is a whole number of 16-row MCU rows, so that no 8x8 block and no 2x2 chroma sample
// straddles two bands: each band then holds exactly the coefficients a single encode of the frame
// would hold. The bands are joined as the restart intervals of one scan (a DRI giving the MCUs of
// a band, RST0..RST7 in turn between them); a decoder resets its DC predictors at each restart
// marker, which is just what an independent encode of each band assumed. The result decodes to the
// same pixels as a single-stream encode, and a frame of one band is byte for byte that encode.
//
// The bytes depend only on the pixels, the quality and the band height: change suppression
// compares bytes, and only changed bands being encoded again must give what encoding everything
// gives. Threads, handles and buffers are kept across frames (fresh memory is slow to touch).
class StripJpegEncoder final : public FrameEncoder {
 public:
  // Chosen with bench_strip_encoder: each band costs TurboJPEG's set-up once more (5 to 15 us
  // here), so whole frames are cheapest from 64 rows up, while a changed line re-encodes a band or
  // two.
  static constexpr int64_t kDefaultBandRows = 64;

  // `bandRows` is rounded up to a multiple of 16 (and lowered for very wide frames, where a
  // restart interval cannot hold that many MCUs); `threads` 0 means one per core.
  explicit StripJpegEncoder(int64_t bandRows = kDefaultBandRows, unsigned threads = 0);
  ~StripJpegEncoder() override;
  StripJpegEncoder(const StripJpegEncoder&) = delete;
  StripJpegEncoder& operator=(const StripJpegEncoder&) = delete;

  // Encodes every band.
  std::optional<std::vector<uint8_t>> encode(const Frame& frame, double quality) override;
  bool encodeInto(const Frame& frame, double quality, std::vector<uint8_t>& out) override;
  // As encodeChanged(), joining the file into `out` (whose memory is reused): the capture path
  // keeps its JPEG buffers and takes no copy.
  // `fill` is called for the rows of each band just before that band is encoded. The hash is
  // folded in band by band as the bands are done, beside the encoding of the others; the bands
  // before the first one encoded again are not hashed again, and those after the last one are
  // left pending.
  bool encodeChangedInto(const Frame& frame, double quality,
                         const std::optional<std::vector<RowRange>>& changedRows,
                         std::vector<uint8_t>& out, RowFill* fill, JpegHash* hash) override;

  // Encodes again only the bands that `changedRows` (rows of `frame` that may differ from the
  // frame of the previous call) touch, and joins them with the kept bands of the previous call.
  // Every band is encoded when `changedRows` is nullopt, when the size or quality differs from the
  // previous call, or when that call failed. The caller vouches that rows outside `changedRows`
  // are those of the previous frame; the bytes are then exactly those of encoding every band. The
  // view stays valid until the next call; nullopt when the encoder fails.
  std::optional<std::span<const uint8_t>> encodeChanged(
      const Frame& frame, double quality, const std::optional<std::vector<RowRange>>& changedRows);

  // The rows per band used for a frame of this width.
  int64_t bandRows(int64_t width) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace halvorine

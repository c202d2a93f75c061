#include "screen_capture/row_ranges.h"

#include <algorithm>
#include <limits>

#include "libyuv/scale_argb.h"

namespace halvorine {

namespace {

// Sorts, clips to [0, height) and joins touching ranges.
std::vector<RowRange> normalised(std::vector<RowRange> ranges, int64_t height) {
  for (RowRange& r : ranges) {
    r.begin = std::clamp<int64_t>(r.begin, 0, height);
    r.end = std::clamp<int64_t>(r.end, 0, height);
  }
  std::erase_if(ranges, [](const RowRange& r) { return r.begin >= r.end; });
  std::sort(ranges.begin(), ranges.end(),
            [](const RowRange& a, const RowRange& b) { return a.begin < b.begin; });
  std::vector<RowRange> merged;
  for (const RowRange& r : ranges) {
    if (!merged.empty() && r.begin <= merged.back().end) {
      merged.back().end = std::max(merged.back().end, r.end);
    } else {
      merged.push_back(r);
    }
  }
  return merged;
}

}  // namespace

std::vector<RowRange> scaledRowRanges(std::span<const RowRange> changed, PixelSize source,
                                      PixelSize scaled) {
  std::vector<RowRange> ranges(changed.begin(), changed.end());
  if (source == scaled) return normalised(std::move(ranges), source.height);
  const int64_t s = source.height;
  const int64_t d = scaled.height;
  if (s < 1 || d < 1) return {};
  // Beyond any size that can be scaled the products below could overflow: everything may differ.
  constexpr int64_t limit = int64_t{1} << 30;
  if (s > limit || d > limit)
    return ranges.empty() ? std::vector<RowRange>{} : std::vector{RowRange{0, d}};
  for (RowRange& r : ranges) {
    if (r.begin >= r.end || r.end <= 0 || r.begin >= s) {
      r = {};
      continue;
    }
    // A scaled row reads the two source rows around its centre (bilinear), or the rows of its
    // box when scaling down by a whole factor: one source row more on each side, and one scaled
    // row more on each side for the rounding, covers both in either direction.
    const int64_t begin = std::max<int64_t>(std::clamp<int64_t>(r.begin, 0, s) - 1, 0);
    const int64_t end = std::min<int64_t>(std::clamp<int64_t>(r.end, 0, s) + 1, s);
    r.begin = begin * d / s - 1;
    r.end = (end * d + s - 1) / s + 1;
  }
  return normalised(std::move(ranges), d);
}

bool scaleRows(const Frame& source, PixelSize size, std::span<const RowRange> rows,
               uint8_t* scaled) {
  constexpr int64_t limit = 32767;
  if (source.pixels == nullptr || scaled == nullptr || source.width < 1 || source.height < 1 ||
      source.width > limit || source.height > limit || source.bytesPerRow < source.width * 4 ||
      source.bytesPerRow > std::numeric_limits<int>::max() || size.width < 1 || size.height < 1 ||
      size.width > limit || size.height > limit) {
    return false;
  }
  for (const RowRange& r : normalised({rows.begin(), rows.end()}, size.height)) {
    if (libyuv::ARGBScaleClip(source.pixels, static_cast<int>(source.bytesPerRow),
                              static_cast<int>(source.width), static_cast<int>(source.height),
                              scaled, static_cast<int>(size.width) * 4,
                              static_cast<int>(size.width), static_cast<int>(size.height), 0,
                              static_cast<int>(r.begin), static_cast<int>(size.width),
                              static_cast<int>(r.end - r.begin), libyuv::kFilterBox) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace halvorine

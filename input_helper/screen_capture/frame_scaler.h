#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/capture_platform.h"

namespace halvorine {

// Brings a frame to the size the host asked for with a box filter, into a buffer kept between
// frames (fresh memory is slow to touch). Not thread-safe.
class FrameScaler {
 public:
  // The frame itself when it already has that size; nullopt for a size that cannot be made. The
  // scaled pixels stay valid until the next call.
  std::optional<Frame> scale(const Frame& frame, PixelSize size);

 private:
  std::vector<uint8_t> scaled_;
};

}  // namespace halvorine

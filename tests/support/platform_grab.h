#pragma once

// A grab through a capture platform, waited for, with what the frame said about change.
#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <vector>

#include "platform/capture_platform.h"

namespace halvorine::testing {

struct Grabbed {
  bool ok = false;
  bool unchanged = false;
  std::optional<DamageMark> mark;
  std::optional<std::vector<PixelRect>> changed;
  std::optional<DamageMark> changedSince;
};

// A plain grab of the display, or with `since` the grab for a frame the host holds.
inline Grabbed grabAndWait(CapturePlatform& platform, uint32_t displayId,
                           std::optional<DamageMark> since = std::nullopt) {
  std::promise<Grabbed> done;
  auto completion = [&done](const Frame* f, std::optional<PlatformError>) {
    Grabbed g;
    if (f != nullptr) {
      g.ok = true;
      g.unchanged = f->unchangedSinceMark;
      g.mark = f->mark;
      if (f->changed) g.changed.emplace(f->changed->begin(), f->changed->end());
      g.changedSince = f->changedSince;
    }
    done.set_value(g);
  };
  const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const ListedDisplay display{displayId, 0, 0, {}};
  if (since) {
    platform.grabDisplaySince(display, {}, *since, deadline, completion);
  } else {
    platform.grabDisplay(display, {}, deadline, completion);
  }
  return done.get_future().get();
}

}  // namespace halvorine::testing

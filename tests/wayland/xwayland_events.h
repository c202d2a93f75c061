#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "x_event_recorder.h"

namespace halvorine::testing {

// Input reaches an X window through Xwayland, which may pass it on after the compositor has
// handled it (while it compiles a keymap, say): the recorder's settle() is no barrier for that.
// Takes events until `done` holds for all taken so far, or 5 s have passed.
template <typename Done>
inline std::vector<RecordedEvent> takeUntil(XEventRecorder& r, Done done) {
  std::vector<RecordedEvent> events;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (true) {
    const std::vector<RecordedEvent> more = r.take();
    events.insert(events.end(), more.begin(), more.end());
    if (done(events) || std::chrono::steady_clock::now() > deadline) return events;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The positions of the motion events.
inline std::vector<std::pair<int, int>> motions(const std::vector<RecordedEvent>& events) {
  std::vector<std::pair<int, int>> result;
  for (const RecordedEvent& e : events) {
    if (e.type == XCB_MOTION_NOTIFY) result.emplace_back(e.rootX, e.rootY);
  }
  return result;
}

}  // namespace halvorine::testing

#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "platform/capture_platform.h"
#include "x11/x_connection.h"

namespace halvorine::x11 {

// A rectangle of the root window.
struct RootRect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool operator==(const RootRect&) const = default;
};

// What changed on the root window (children included), from a DAMAGE object on it, with a short
// log so that "did anything change here since mark M" can be answered for any recent mark. Each
// mark() takes everything damaged since the previous one, atomically, in one round trip. Anything
// that makes the record unreliable (a connection made anew, a new damage object, a RandR change,
// an error) forgets the log: older marks then answer "unknown", and the caller grabs. Used on one
// thread only, over that thread's connection.
class DamageTracker {
 public:
  explicit DamageTracker(XConnection& connection);

  // The new mark, taken before the caller reads the pixels; nullopt when damage cannot be
  // tracked on this connection (then nothing is known). `alongside` may send requests of its own
  // in the same round trip; it is called, on a connection with RandR, once the mark's requests
  // are queued, and not at all when no mark is taken.
  std::optional<DamageMark> mark(const std::function<void(xcb_connection_t*)>& alongside = {});
  // The damaged rectangles inside `area` after `since` up to the latest mark, clipped to `area`
  // and relative to its corner; nullopt when the log cannot tell (the mark is older than the log,
  // or the log was forgotten since).
  std::optional<std::vector<PixelRect>> changedSince(DamageMark since, const RootRect& area) const;
  // Makes every mark taken so far unknown.
  void forget();
  // The events of the connection go here: a change of the screen's RandR configuration forgets the
  // log. (Monitors set or removed with RRSetMonitor send no event; the caller lists them with each
  // mark.)
  void handleEvent(const xcb_generic_event_t& event);

  // At most this many marks with damage are kept; a region with more rectangles counts as its
  // bounding box.
  static constexpr size_t logLength = 64;
  static constexpr size_t rectanglesPerMark = 64;

 private:
  bool setUp(xcb_connection_t* c);

  struct Entry {
    DamageMark mark = 0;
    std::vector<RootRect> rects;
  };

  XConnection& x_;
  uint64_t setUpOn_ = 0;
  uint64_t unusableOn_ = 0;
  uint64_t randrWatchedOn_ = 0;
  uint8_t randrFirstEvent_ = 0;
  uint32_t damage_ = 0;
  uint32_t region_ = 0;
  DamageMark latest_ = 0;
  // Marks from this one on are answered by the log.
  DamageMark knownFrom_ = 0;
  std::deque<Entry> log_;
};

}  // namespace halvorine::x11

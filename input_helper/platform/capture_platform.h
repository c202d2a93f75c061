#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "platform/geometry.h"

namespace halvorine {

// An error of the platform; only its integer code is ever used (it ends up in failure reasons).
struct PlatformError {
  int64_t code = 0;
};

// One display as the platform lists it for capture.
struct ListedDisplay {
  uint32_t displayId = 0;
  // The display's pixel size.
  int64_t width = 0;
  int64_t height = 0;
  // Where the display was when it was listed, in desktop coordinates; a display that has gone
  // since may still be read there.
  Rect bounds;
};

struct PixelSize {
  int64_t width = 0;
  int64_t height = 0;
  bool operator==(const PixelSize&) const = default;
};

// A moment in a platform's record of what changed on its displays, as a grab reports it. Only
// the platform that gave a mark can read it; it orders marks by their value.
using DamageMark = uint64_t;

// A rectangle of a display in the display's own pixels (0, 0 is its top left corner).
struct PixelRect {
  int64_t x = 0;
  int64_t y = 0;
  int64_t width = 0;
  int64_t height = 0;
  bool operator==(const PixelRect&) const = default;
};

// Grabbed pixels: rows of 32-bit pixels, blue, green, red, unused byte (little-endian XRGB). The
// pixels live in buffers of the platform that its next grab reuses, so a frame is only to be
// used inside the completion that received it.
struct Frame {
  const uint8_t* pixels = nullptr;
  int64_t width = 0;
  int64_t height = 0;
  int64_t bytesPerRow = 0;
  // From a platform that tracks changes: the mark of this grab, taken before the pixels were read,
  // so that whatever changes after it shows up as changed since the mark.
  std::optional<DamageMark> mark = std::nullopt;
  // What changed on the display since the platform's previous grab of it; nullopt when that is
  // not known (take all of it as changed). Lives as long as the pixels. The capture logic reads
  // the rectangles as pixels of this frame, so a platform that delivers another size than the
  // display's own leaves it unset.
  std::optional<std::span<const PixelRect>> changed = std::nullopt;
  // The mark of that previous grab, set with `changed`: a caller that keeps work of its own from
  // an earlier frame may take `changed` as the difference only from the frame of this mark.
  std::optional<DamageMark> changedSince = std::nullopt;
  // Set, with no pixels, by grabDisplaySince when nothing on the display changed since the mark.
  bool unchangedSinceMark = false;
};

// The moment by which a platform call has to give up and report what it has (a failure, an
// unreadable pointer). One request hands the same deadline to every call it makes, so that a
// display that stops answering cannot stretch the request's answer beyond its budget.
using Deadline = std::chrono::steady_clock::time_point;

// The displays, or nullopt and the platform's error code when it has one. An error that comes
// with a listing is of no consequence.
using DisplayListCompletion =
    std::function<void(std::optional<std::vector<ListedDisplay>>, std::optional<PlatformError>)>;
// The frame, or nullptr and the platform's error code when it has one.
using FrameCompletion = std::function<void(const Frame*, std::optional<PlatformError>)>;

// What screen capture needs of the platform. Completions run on a thread of the platform, never on
// the thread that made the request, and each at most once. A platform that
// is destroyed with requests still pending drops their completions without running them. Every
// call that may wait for the display takes a deadline; past it, the call (or the work it started)
// fails instead of waiting longer.
class CapturePlatform {
 public:
  virtual ~CapturePlatform() = default;

  // The display captured when the host names none. Callable from any thread.
  virtual uint32_t mainDisplayId(Deadline deadline) = 0;
  // The display's rectangle in desktop coordinates; Rect::null() for an identifier that names no
  // display. Callable from any thread.
  virtual Rect displayBounds(uint32_t displayId, Deadline deadline) = 0;
  // Lists the displays that can be captured.
  virtual void listDisplays(Deadline deadline, DisplayListCompletion completion) = 0;
  // Grabs the whole display, as it is now, without the pointer. A platform that scales while it
  // grabs delivers `size`; any other delivers the display's own pixels and the capture logic
  // scales them.
  virtual void grabDisplay(const ListedDisplay& display, PixelSize size, Deadline deadline,
                           FrameCompletion completion) = 0;
  // The same for a display of which the caller holds a frame, the one whose grab reported `since`.
  // A platform that knows nothing on the display has changed since then delivers a Frame with
  // unchangedSinceMark set and grabs nothing; in any doubt (a mark it no longer remembers, a
  // display that changed its geometry, a connection made anew) it grabs. One that tracks no
  // changes always grabs.
  virtual void grabDisplaySince(const ListedDisplay& display, PixelSize size, DamageMark since,
                                Deadline deadline, FrameCompletion completion) {
    (void)since;
    grabDisplay(display, size, deadline, std::move(completion));
  }
  // Monotonic clock in nanoseconds: the steady clock, unless a platform has a clock of its own.
  virtual uint64_t uptimeNanoseconds() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }
  // Callable from any thread; (0, 0) when the pointer cannot be read by the deadline.
  virtual Point currentMouseLocation(Deadline deadline) = 0;
};

}  // namespace halvorine

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/geometry.h"

namespace halvorine {

// An error object of the platform; only its integer code is ever used.
struct PlatformError {
  int64_t code = 0;
};

// Whatever the platform needs to find a listed display again when it builds a filter. The capture
// logic never looks inside.
class PlatformDisplay {
 public:
  virtual ~PlatformDisplay() = default;
};

// One display of the shareable-content listing.
struct ListedDisplay {
  uint32_t displayId = 0;
  int64_t width = 0;
  int64_t height = 0;
  std::shared_ptr<const PlatformDisplay> native;
};

struct ShareableContent {
  std::vector<ListedDisplay> displays;
};

// Selects a whole display with no window excluded. Shared between copies of a capture context.
class ContentFilter {
 public:
  virtual ~ContentFilter() = default;
};

struct StreamConfiguration {
  int64_t width = 0;
  int64_t height = 0;
  bool scalesToFit = false;
  bool preservesAspectRatio = false;
  bool showsCursor = true;
  bool capturesAudio = true;
};

// A delivered screenshot: 32-bit pixels, blue, green, red, unused byte (little-endian ARGB).
// The pixels may live in buffers that the platform reuses for its next screenshot, so an image is
// only to be used inside the completion that received it.
class CapturedImage {
 public:
  virtual ~CapturedImage() = default;
  virtual int64_t width() const = 0;
  virtual int64_t height() const = 0;
  virtual const uint8_t* pixels() const = 0;
  virtual int64_t bytesPerRow() const = 0;
};

// The moment by which a platform call has to give up and report what it has (a failure, an
// unreadable pointer). One request hands the same deadline to every call it makes, so that a
// display that stops answering cannot stretch the request's answer beyond its budget.
using Deadline = std::chrono::steady_clock::time_point;

using ShareableContentCompletion =
    std::function<void(std::optional<ShareableContent>, std::optional<PlatformError>)>;
using ScreenshotCompletion =
    std::function<void(std::shared_ptr<const CapturedImage>, std::optional<PlatformError>)>;

// Everything the capture logic needs of the platform. Completions run on a thread of the
// platform, never on the thread that made the request, and each runs at most once. A platform
// that is destroyed with requests still pending drops their completions without running them.
// Every call that may wait for the display takes a deadline; past it, the call (or the work it
// started) fails instead of waiting longer.
class CapturePlatform {
 public:
  virtual ~CapturePlatform() = default;

  virtual bool systemVersionAtLeast(int major, int minor, int patch) = 0;
  // Callable from any thread, like displayBounds.
  virtual uint32_t mainDisplayId(Deadline deadline) = 0;
  // Rect::null() for an identifier that names no display.
  virtual Rect displayBounds(uint32_t displayId, Deadline deadline) = 0;
  virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                   Deadline deadline, ShareableContentCompletion completion) = 0;
  virtual std::shared_ptr<ContentFilter> makeDisplayFilter(const ListedDisplay& display) = 0;
  virtual void captureImage(std::shared_ptr<ContentFilter> filter,
                            const StreamConfiguration& configuration, Deadline deadline,
                            ScreenshotCompletion completion) = 0;
  // A complete JPEG file, or nullopt when the encoder fails. quality is between 0 and 1.
  // Identical pixels at the same quality give identical bytes.
  virtual std::optional<std::vector<uint8_t>> encodeJpeg(const CapturedImage& image,
                                                         double quality) = 0;
  // Monotonic clock in nanoseconds.
  virtual uint64_t uptimeNanoseconds() = 0;
  // Callable from any thread; (0, 0) when the pointer cannot be read by the deadline.
  virtual Point currentMouseLocation(Deadline deadline) = 0;
};

}  // namespace halvorine

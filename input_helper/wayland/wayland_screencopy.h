#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/capture_platform.h"
#include "wayland/wayland_connection.h"

struct wl_buffer;
struct wl_shm_pool;
struct zwlr_screencopy_frame_v1;

namespace halvorine::wayland {

// Converts one frame of a wl_shm buffer to rows of 32-bit pixels with bytes blue, green, red,
// 255, top row first (yInvert: the source's rows run bottom to top). Every 32-bit RGB format of
// wl_shm is understood (8 bits per channel in any order, and 10 bits per channel); false for any
// other format, and for a stride too small for the width.
bool convertToBgrx(uint32_t shmFormat, bool yInvert, const uint8_t* source, uint32_t width,
                   uint32_t height, uint32_t stride, uint8_t* target, size_t targetStride);
bool isSupportedShmFormat(uint32_t shmFormat);

// A shared-memory wl_buffer of one shape, kept while that shape is asked for; its memory is kept
// (and grows only) across shapes and connections.
struct ShmBuffer {
  ShmBuffer() = default;
  ~ShmBuffer();
  ShmBuffer(const ShmBuffer&) = delete;
  ShmBuffer& operator=(const ShmBuffer&) = delete;

  bool ensure(wl_shm* shm, uint32_t format, uint32_t width, uint32_t height, uint32_t stride);
  // The proxies go (before their connection closes); the memory stays.
  void releaseProxies();
  void unmap();

  int fd = -1;
  void* map = nullptr;
  size_t mapSize = 0;
  wl_shm_pool* pool = nullptr;
  wl_buffer* buffer = nullptr;
  uint32_t format = 0, width = 0, height = 0, stride = 0;
};

// A screenshot of one output, without the cursor, through the screencopy protocol into a shared
// memory buffer that is kept for the next capture of the same size and format.
//
// captureTracked() also tells what changed. Screencopy's copy_with_damage hands over a frame only
// once the compositor has drawn something new on the output since this client's last such frame,
// with the damaged box; it cannot be asked "did anything change" without waiting. So each tracked
// capture leaves one copy_with_damage frame (a watch) outstanding on the output: as long as the
// watch has not become ready, nothing has been drawn there since that capture, and
// unchangedSince() answers that after one round trip, without a copy. To make the watch count
// from the capture's own commit, the capture asks for two copy_with_damage frames ahead of the
// plain copy, all in one batch: the compositor handles them at the same commit, where at most one
// of the two takes the damage gathered so far (and empties it) and the other stays outstanding.
// Which one took it is told by the order of the events: one that became ready before the plain
// copy did so at its commit; one that became ready after it saw damage drawn later.
class Screencopy {
 public:
  // Why a capture failed; the adapter turns the value into the failure answer's code.
  enum Error : int {
    none = 0,
    noCompositor = 1,       // the compositor cannot be reached
    noScreencopy = 2,       // the compositor does not offer screencopy or shared memory
    noSuchOutput = 3,       // no output has that display identifier
    unsupportedFormat = 4,  // the compositor offered no shared-memory format we read
    bufferFailed = 5,       // the shared memory could not be made
    copyFailed = 6,         // the compositor reported the copy as failed
    connectionLost = 7,     // the compositor went away or stopped answering during the capture
  };

  // The last captured frame: blue, green, red, unused byte per pixel.
  struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    size_t bytesPerRow = 0;
    const uint8_t* pixels = nullptr;
  };

  explicit Screencopy(Connection& connection);
  ~Screencopy();
  Screencopy(const Screencopy&) = delete;
  Screencopy& operator=(const Screencopy&) = delete;

  // Captures the output with this display identifier. On success image() holds the frame until
  // the next capture.
  Error capture(uint32_t displayId);
  // The same, leaving a watch on the output: the frame gets a mark (lastMark()) and, when this
  // output's previous tracked capture was on the same connection with the same layout of
  // outputs, what changed since then (lastChanged()).
  Error captureTracked(uint32_t displayId);
  // True only when the output is known to show what the tracked capture of `mark` copied: the
  // same connection, the same layout of outputs, `mark` the output's latest tracked capture, and
  // its watch still outstanding after a round trip. False in any doubt.
  bool unchangedSince(uint32_t displayId, DamageMark mark);
  DamageMark lastMark() const { return lastMark_; }
  // The boxes (in the frame's pixels) drawn on since `lastChangedSince()`; nullopt when unknown.
  const std::optional<std::vector<PixelRect>>& lastChanged() const { return lastChanged_; }
  std::optional<DamageMark> lastChangedSince() const { return lastChangedSince_; }
  Image image() const;
  // The wl_shm format and y-invert flag of the last frame (for tests and diagnostics).
  uint32_t lastFormat() const { return format_; }
  bool lastYInverted() const { return yInvert_; }

  struct FrameState;
  // A frame proxy with what the compositor told about it.
  struct PendingFrame {
    zwlr_screencopy_frame_v1* proxy = nullptr;
    std::unique_ptr<FrameState> state;
    void destroy();
  };
  // What is known about one output since its latest tracked capture.
  struct Tracked {
    uint64_t generation = 0;
    DamageMark mark = 0;
    std::vector<Output> layout;
    // The watch; no proxy when there is none (then nothing is known).
    PendingFrame watch;
    // A watch became ready since the capture (the output was drawn on since).
    bool dirty = false;
    // The boxes reported since the capture, while nothing was lost on the way.
    std::vector<PixelRect> damage;
    bool damageKnown = false;
    // The watches' buffer, never read.
    std::unique_ptr<ShmBuffer> watchBuffer = std::make_unique<ShmBuffer>();
  };

  Error check(uint32_t displayId, wl_output** output);
  PendingFrame start(wl_output* output);
  Error convert(const FrameState& state, const uint8_t* pixels);
  // Takes what the output's watch has told into its record.
  static void collect(Tracked& t);
  void releaseProxies();

  Connection& connection_;
  int dropHandler_ = 0;
  zwlr_screencopy_frame_v1* frame_ = nullptr;
  // Shared memory kept across captures.
  ShmBuffer buffer_;
  std::map<uint32_t, Tracked> tracked_;
  // The two watch frames and the copy of a tracked capture under way.
  PendingFrame inFlight_[3];
  // Counts the ready events of every frame, to tell their order.
  uint64_t readyEvents_ = 0;
  DamageMark lastMark_ = 0;
  std::optional<std::vector<PixelRect>> lastChanged_;
  std::optional<DamageMark> lastChangedSince_;
  // The converted frame.
  std::vector<uint8_t> pixels_;
  uint32_t width_ = 0, height_ = 0;
  uint32_t format_ = 0;
  bool yInvert_ = false;
};

}  // namespace halvorine::wayland

#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/capture_platform.h"
#include "screen_capture/jpeg_encoder.h"

namespace halvorine::testing {

// A capture platform in memory, and the JPEG encoder beside it. Its completions run on a thread of
// its own, like the real ones. The screen is one byte value ("content") that fills every pixel;
// the encoder turns it and the quality into a few deterministic bytes, so identical screens give
// identical JPEG bytes.
class FakeCapturePlatform final : public CapturePlatform, public FrameEncoder {
 public:
  enum class Screenshot { deliver, fail, never };

  // Scripted behaviour; change only while no request is running.
  uint32_t mainId = 1;
  std::vector<ListedDisplay> displays = {{1, 1920, 1080, {}}};
  std::map<uint32_t, Rect> bounds = {{1, Rect{0, 0, 1920, 1080}}};
  bool listingDeliversContent = true;
  std::optional<PlatformError> listingError;
  Screenshot screenshot = Screenshot::deliver;
  std::optional<PlatformError> screenshotError;
  // When set, frames come at this size instead of the one asked for, as from a platform that
  // leaves scaling to the capture logic.
  std::optional<PixelSize> deliveredSize;
  bool encoderFails = false;
  uint8_t content = 7;
  Point pointer{12, 34};
  // When set, every clock reading advances the clock by this many nanoseconds.
  uint64_t clockStep = 0;
  // A display that has stopped answering: the display query and the pointer read wait until their
  // deadline and come back with nothing (display 0, pointer (0, 0)).
  bool displayQueryStalls = false;
  bool pointerStalls = false;
  // Change tracking: every grab gets the next mark, and grabDisplaySince answers "unchanged"
  // without grabbing while `screenUnchanged` is set.
  bool tracksChanges = false;
  bool screenUnchanged = false;
  // When not empty (4 bytes a pixel at the size frames come at), frames carry these pixels
  // instead of `content`.
  std::vector<uint8_t> picture;
  // With tracksChanges: what each grab after the first reports as changed since the grab before
  // it; nothing is reported while unset.
  std::optional<std::vector<PixelRect>> changedRects;

  // What the platform saw (read after a request has returned, or under the platform's mutex).
  int listings = 0;
  int screenshots = 0;
  std::vector<uint32_t> grabbedDisplays;
  // The marks that grabDisplaySince was given, and the last mark handed out.
  std::vector<DamageMark> sinceMarks;
  DamageMark lastMark = 0;
  int encodings = 0;
  PixelSize lastSize;
  std::optional<double> lastQuality;
  std::optional<PixelSize> lastEncodedSize;
  std::optional<std::thread::id> encoderThread;
  // The changed rows the capture logic handed to the encoder with its last frame.
  std::optional<std::vector<RowRange>> lastChangedRows;
  // Screenshot completions that were never called (Screenshot::never), oldest first.
  std::vector<FrameCompletion> held;
  // Every call that was given a deadline, in order: its name and the deadline.
  std::vector<std::pair<std::string, Deadline>> deadlines;
  mutable std::mutex mutex;

  FakeCapturePlatform() : thread_([this] { run(); }) {}
  ~FakeCapturePlatform() override {
    {
      std::lock_guard lock(queueMutex_);
      stopping_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }

  // Waits until every job posted so far has run.
  void drain() {
    std::mutex m;
    std::condition_variable done;
    bool finished = false;
    post([&] {
      std::lock_guard lock(m);
      finished = true;
      done.notify_one();
    });
    std::unique_lock lock(m);
    done.wait(lock, [&] { return finished; });
  }

  // Runs a held screenshot completion with a delivered frame, on the platform's thread; its pixels
  // are `picture` when that is given.
  void releaseHeld(size_t index, int64_t w, int64_t h, uint8_t value,
                   std::vector<uint8_t> picture = {}) {
    FrameCompletion completion;
    std::optional<DamageMark> mark;
    {
      std::lock_guard lock(mutex);
      completion = held.at(index);
      mark = heldMarks_.at(index);
    }
    post([completion, w, h, value, mark, picture = std::move(picture)]() mutable {
      deliverFrame(
          completion, {w, h}, value, std::nullopt, mark,
          {.picture = std::move(picture), .changed = std::nullopt, .changedSince = std::nullopt});
    });
  }

  uint32_t mainDisplayId(Deadline deadline) override {
    note("mainDisplayId", deadline);
    if (displayQueryStalls) {
      std::this_thread::sleep_until(deadline);
      return 0;
    }
    return mainId;
  }
  Rect displayBounds(uint32_t id, Deadline deadline) override {
    note("displayBounds", deadline);
    auto it = bounds.find(id);
    return it == bounds.end() ? Rect::null() : it->second;
  }
  void listDisplays(Deadline deadline, DisplayListCompletion completion) override {
    note("listDisplays", deadline);
    {
      std::lock_guard lock(mutex);
      ++listings;
    }
    post([this, completion] {
      if (!listingDeliversContent) {
        completion(std::nullopt, listingError);
        return;
      }
      completion(displays, listingError);
    });
  }
  void grabDisplay(const ListedDisplay& display, PixelSize size, Deadline deadline,
                   FrameCompletion completion) override {
    note("grabDisplay", deadline);
    grab(display, size, std::move(completion));
  }
  void grabDisplaySince(const ListedDisplay& display, PixelSize size, DamageMark since,
                        Deadline deadline, FrameCompletion completion) override {
    note("grabDisplaySince", deadline);
    {
      std::lock_guard lock(mutex);
      sinceMarks.push_back(since);
    }
    if (tracksChanges && screenUnchanged && screenshot == Screenshot::deliver) {
      post([completion] {
        Frame unchanged;
        unchanged.unchangedSinceMark = true;
        completion(&unchanged, std::nullopt);
      });
      return;
    }
    grab(display, size, std::move(completion));
  }
  std::optional<std::vector<uint8_t>> encode(const Frame& frame, double quality) override {
    {
      std::lock_guard lock(mutex);
      lastQuality = quality;
      lastEncodedSize = PixelSize{frame.width, frame.height};
      encoderThread = std::this_thread::get_id();
      ++encodings;
    }
    if (encoderFails) return std::nullopt;
    const auto q = static_cast<uint8_t>(quality * 100);
    return std::vector<uint8_t>{0xff, 0xd8, frame.pixels[0], q, static_cast<uint8_t>(frame.width),
                                0xff, 0xd9};
  }
  bool encodeChangedInto(const Frame& frame, double quality,
                         const std::optional<std::vector<RowRange>>& changedRows,
                         std::vector<uint8_t>& out, RowFill* fill, JpegHash* hash) override {
    {
      std::lock_guard lock(mutex);
      lastChangedRows = changedRows;
    }
    return FrameEncoder::encodeChangedInto(frame, quality, changedRows, out, fill, hash);
  }
  uint64_t uptimeNanoseconds() override {
    if (clockStep == 0) {
      return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    std::lock_guard lock(mutex);
    fakeClock_ += clockStep;
    return fakeClock_;
  }
  Point currentMouseLocation(Deadline deadline) override {
    note("currentMouseLocation", deadline);
    if (pointerStalls) {
      std::this_thread::sleep_until(deadline);
      return {};
    }
    return pointer;
  }

 private:
  struct Delivery {
    std::vector<uint8_t> picture;
    std::optional<std::vector<PixelRect>> changed;
    std::optional<DamageMark> changedSince;
  };

  // The pixels live only as long as the completion runs, as a platform's reused buffers would.
  static void deliverFrame(const FrameCompletion& completion, PixelSize size, uint8_t value,
                           std::optional<PlatformError> error,
                           std::optional<DamageMark> mark = std::nullopt, Delivery delivery = {}) {
    const std::vector<uint8_t> pixels =
        !delivery.picture.empty()
            ? std::move(delivery.picture)
            : std::vector<uint8_t>(static_cast<size_t>(size.width * size.height * 4), value);
    Frame frame{.pixels = pixels.data(),
                .width = size.width,
                .height = size.height,
                .bytesPerRow = size.width * 4,
                .mark = mark};
    if (delivery.changed) {
      frame.changed = std::span<const PixelRect>(*delivery.changed);
      frame.changedSince = delivery.changedSince;
    }
    completion(&frame, error);
  }

  void grab(const ListedDisplay& display, PixelSize size, FrameCompletion completion) {
    std::optional<DamageMark> mark;
    Delivery delivery{.picture = picture, .changed = std::nullopt, .changedSince = std::nullopt};
    {
      std::lock_guard lock(mutex);
      ++screenshots;
      lastSize = size;
      grabbedDisplays.push_back(display.displayId);
      if (tracksChanges && changedRects && lastMark != 0) {
        delivery.changed = changedRects;
        delivery.changedSince = lastMark;
      }
      if (tracksChanges) mark = ++lastMark;
      if (screenshot == Screenshot::never) {
        held.push_back(completion);
        heldMarks_.push_back(mark);
        return;
      }
    }
    const uint8_t value = content;
    const bool fail = screenshot == Screenshot::fail;
    const auto error = screenshotError;
    const PixelSize delivered = deliveredSize.value_or(size);
    post([completion, delivered, value, fail, error, mark,
          delivery = std::move(delivery)]() mutable {
      if (fail) {
        completion(nullptr, error);
      } else {
        deliverFrame(completion, delivered, value, error, mark, std::move(delivery));
      }
    });
  }

  void note(const char* call, Deadline deadline) {
    std::lock_guard lock(mutex);
    deadlines.emplace_back(call, deadline);
  }

  void post(std::function<void()> job) {
    {
      std::lock_guard lock(queueMutex_);
      jobs_.push_back(std::move(job));
    }
    cv_.notify_one();
  }
  void run() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(queueMutex_);
        cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  uint64_t fakeClock_ = 1'000'000'000;
  std::vector<std::optional<DamageMark>> heldMarks_;
  std::mutex queueMutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace halvorine::testing

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

namespace halvorine::testing {

// A capture platform in memory. Its completions run on a thread of its own, like the real ones.
// The screen is one byte value ("content") that fills every pixel; the encoder turns it and the
// quality into a few deterministic bytes, so identical screens give identical JPEG bytes.
class FakeCapturePlatform final : public CapturePlatform {
 public:
  enum class Screenshot { deliver, fail, never };

  struct Filter final : ContentFilter {
    explicit Filter(uint32_t id) : displayId(id) {}
    uint32_t displayId;
  };

  struct Image final : CapturedImage {
    Image(int64_t w, int64_t h, uint8_t content)
        : w_(w), h_(h), pixels_(static_cast<size_t>(w * h * 4), content) {}
    int64_t width() const override { return w_; }
    int64_t height() const override { return h_; }
    const uint8_t* pixels() const override { return pixels_.data(); }
    int64_t bytesPerRow() const override { return w_ * 4; }
    int64_t w_, h_;
    std::vector<uint8_t> pixels_;
  };

  // Scripted behaviour; change only while no request is running.
  bool versionOk = true;
  uint32_t mainId = 1;
  std::vector<ListedDisplay> displays = {{1, 1920, 1080, nullptr}};
  std::map<uint32_t, Rect> bounds = {{1, Rect{0, 0, 1920, 1080}}};
  bool listingDeliversContent = true;
  std::optional<PlatformError> listingError;
  Screenshot screenshot = Screenshot::deliver;
  std::optional<PlatformError> screenshotError;
  bool encoderFails = false;
  uint8_t content = 7;
  Point pointer{12, 34};
  // When set, every clock reading advances the clock by this many nanoseconds.
  uint64_t clockStep = 0;
  // A display that has stopped answering: the display query and the pointer read wait until their
  // deadline and come back with nothing (display 0, pointer (0, 0)).
  bool displayQueryStalls = false;
  bool pointerStalls = false;

  // What the platform saw (read after a request has returned, or under the platform's mutex).
  int listings = 0;
  int screenshots = 0;
  std::vector<uint32_t> filteredDisplays;
  StreamConfiguration lastConfiguration;
  std::optional<double> lastQuality;
  std::optional<std::thread::id> encoderThread;
  // Screenshot completions that were never called (Screenshot::never), oldest first.
  std::vector<ScreenshotCompletion> held;
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

  // Runs a held screenshot completion with a delivered image, on the platform's thread.
  void releaseHeld(size_t index, int64_t w, int64_t h, uint8_t value) {
    ScreenshotCompletion completion;
    {
      std::lock_guard lock(mutex);
      completion = held.at(index);
    }
    post([completion, w, h, value] { completion(std::make_shared<Image>(w, h, value), {}); });
  }

  bool systemVersionAtLeast(int major, int minor, int patch) override {
    return versionOk && major == 14 && minor == 0 && patch == 0;
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
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           Deadline deadline, ShareableContentCompletion completion) override {
    note("getShareableContent", deadline);
    {
      std::lock_guard lock(mutex);
      ++listings;
    }
    const bool argumentsRight = !excludingDesktopWindows && onScreenWindowsOnly;
    post([this, completion, argumentsRight] {
      if (!listingDeliversContent || !argumentsRight) {
        completion(std::nullopt, listingError);
        return;
      }
      completion(ShareableContent{displays}, listingError);
    });
  }
  std::shared_ptr<ContentFilter> makeDisplayFilter(const ListedDisplay& display) override {
    return std::make_shared<Filter>(display.displayId);
  }
  void captureImage(std::shared_ptr<ContentFilter> filter, const StreamConfiguration& configuration,
                    Deadline deadline, ScreenshotCompletion completion) override {
    note("captureImage", deadline);
    {
      std::lock_guard lock(mutex);
      ++screenshots;
      lastConfiguration = configuration;
      filteredDisplays.push_back(static_cast<Filter&>(*filter).displayId);
      if (screenshot == Screenshot::never) {
        held.push_back(completion);
        return;
      }
    }
    const uint8_t value = content;
    const bool fail = screenshot == Screenshot::fail;
    const auto error = screenshotError;
    post([completion, configuration, value, fail, error] {
      if (fail) {
        completion(nullptr, error);
      } else {
        completion(std::make_shared<Image>(configuration.width, configuration.height, value),
                   error);
      }
    });
  }
  std::optional<std::vector<uint8_t>> encodeJpeg(const CapturedImage& image,
                                                 double quality) override {
    {
      std::lock_guard lock(mutex);
      lastQuality = quality;
      encoderThread = std::this_thread::get_id();
    }
    if (encoderFails) return std::nullopt;
    const auto q = static_cast<uint8_t>(quality * 100);
    return std::vector<uint8_t>{
        0xff, 0xd8, image.pixels()[0], q, static_cast<uint8_t>(image.width()), 0xff, 0xd9};
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
  std::mutex queueMutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace halvorine::testing

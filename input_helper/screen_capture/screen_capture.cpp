#include "screen_capture/screen_capture.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace halvorine {

namespace {

constexpr std::string_view jpegMimeType = "image/jpeg";

// Counting semaphore with a deadline wait on the monotonic clock.
class CountingSemaphore {
 public:
  void signal() {
    {
      std::lock_guard lock(mutex_);
      ++count_;
    }
    cv_.notify_one();
  }
  // true when a signal was taken before the deadline.
  bool waitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_until(lock, deadline, [this] { return count_ > 0; })) return false;
    --count_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int64_t count_ = 0;
};

// What a completion hands to the waiting thread: the answer and, for an encoded frame, its hash.
// The hash becomes the stored one only once the answer is delivered, so that a frame the host
// never received (it arrived after its request timed out) is never the one compared against.
struct CaptureRecord {
  HelperOutput output;
  std::optional<uint64_t> frameHash;
};

// Carries one record from the completion's thread to the waiting thread.
class CaptureOutputBox {
 public:
  void set(CaptureRecord record) {
    std::lock_guard lock(lock_);
    stored_ = std::move(record);
  }
  std::optional<CaptureRecord> get() {
    std::lock_guard lock(lock_);
    return stored_;
  }

 private:
  std::mutex lock_;
  std::optional<CaptureRecord> stored_;
};

using CaptureCompletion = std::function<void(CaptureRecord)>;

double elapsedMs(uint64_t from, uint64_t to) {
  // The clock never goes back; the guard keeps a faulty one from producing negative times.
  return to > from ? static_cast<double>(to - from) / 1'000'000.0 : 0.0;
}

}  // namespace

// Process-wide capture state. Completions hold it jointly with the ScreenCapture, and a late
// completion may touch it while the next request runs, hence the lock.
struct ScreenCapture::State {
  explicit State(CapturePlatform& p) : platform(p) {}

  CapturePlatform& platform;
  mutable std::mutex mutex;
  std::optional<CaptureContext> cachedCaptureContext;
  std::optional<uint64_t> previousFrameHash;
};

namespace {

using State = ScreenCapture::State;

HelperOutput captureFailure(CapturePlatform& platform, const std::string& type, std::string reason,
                            Deadline deadline) {
  const Point pointer = platform.currentMouseLocation(deadline);
  HelperOutput r;
  r.ok = false;
  r.type = type;
  r.applied = false;
  r.reason = std::move(reason);
  r.x = pointer.x;
  r.y = pointer.y;
  r.captureBackend = std::string(captureBackendLabel);
  r.dispatchBackend = std::string(dispatchBackendLabel);
  r.nativeRuntime = std::string(nativeRuntimeLabel);
  return r;
}

// The frame's hash travels with the record; the waiting thread stores it once it delivers the
// record (see CaptureRecord).
CaptureRecord processFrame(State& state, const CapturedImage& image, const InputCommand& command,
                           uint64_t startedAt, const CaptureContext& context, Deadline deadline) {
  CapturePlatform& platform = state.platform;
  const uint64_t encodeStart = platform.uptimeNanoseconds();
  const double quality = encoderQuality(command.jpegQuality);
  std::optional<std::vector<uint8_t>> jpeg = platform.encodeJpeg(image, quality);
  if (!jpeg) {
    return {captureFailure(platform, command.type, "screencapturekit_jpeg_encode_failed", deadline),
            std::nullopt};
  }

  const uint64_t hash = fnv1a64(*jpeg);
  bool unchanged = false;
  {
    std::lock_guard lock(state.mutex);
    unchanged = command.suppressUnchanged.value_or(false) && state.previousFrameHash &&
                *state.previousFrameHash == hash;
  }
  const Point pointer = platform.currentMouseLocation(deadline);
  const double captureElapsed = elapsedMs(startedAt, platform.uptimeNanoseconds());
  const double encodeElapsed = elapsedMs(encodeStart, platform.uptimeNanoseconds());

  HelperOutput r;
  r.ok = true;
  r.type = command.type;
  r.applied = true;
  r.x = pointer.x;
  r.y = pointer.y;
  r.frameMimeType = std::string(jpegMimeType);
  if (!unchanged) r.frameBase64 = base64Encode(*jpeg);
  r.frameBytes = static_cast<int64_t>(jpeg->size());
  r.frameWidth = image.width();
  r.frameHeight = image.height();
  r.frameUnchanged = unchanged;
  r.sourceWidth = context.sourceWidth;
  r.sourceHeight = context.sourceHeight;
  r.screenLeft = context.screenBounds.x;
  r.screenTop = context.screenBounds.y;
  r.screenWidth = std::fabs(context.screenBounds.width);
  r.screenHeight = std::fabs(context.screenBounds.height);
  r.captureElapsedMs = captureElapsed;
  r.scaleElapsedMs = 0.0;
  r.encodeElapsedMs = encodeElapsed;
  r.scaleMode = command.scaleMode == "nearest" ? "nearest" : "bilinear";
  r.captureBackend = std::string(captureBackendLabel);
  r.dispatchBackend = std::string(dispatchBackendLabel);
  r.nativeRuntime = std::string(nativeRuntimeLabel);
  return {std::move(r), hash};
}

// Sizes and requests one screenshot of the context's display; the completion gets its record.
void capture(const std::shared_ptr<State>& state, const CaptureContext& context,
             const std::shared_ptr<const InputCommand>& command, uint64_t startedAt,
             Deadline deadline, const CaptureCompletion& completion) {
  const CaptureSize size =
      captureSize(context.sourceWidth, context.sourceHeight, command->maxWidth);
  StreamConfiguration configuration;
  configuration.width = size.width;
  configuration.height = size.height;
  configuration.scalesToFit = true;
  configuration.preservesAspectRatio = true;
  configuration.showsCursor = false;
  configuration.capturesAudio = false;
  state->platform.captureImage(
      context.filter, configuration, deadline,
      [state, context, command, startedAt, deadline, completion](
          std::shared_ptr<const CapturedImage> image, std::optional<PlatformError> error) {
        if (!image) {
          completion(
              {captureFailure(state->platform, command->type,
                              captureReason("screencapturekit_capture_failed", error), deadline),
               std::nullopt});
          return;
        }
        completion(processFrame(*state, *image, *command, startedAt, context, deadline));
      });
}

void startFrameCapture(const std::shared_ptr<State>& state,
                       const std::shared_ptr<const InputCommand>& command, uint64_t startedAt,
                       Deadline deadline, const CaptureCompletion& completion) {
  CapturePlatform& platform = state->platform;
  const uint32_t wanted =
      command->displayId ? *command->displayId : platform.mainDisplayId(deadline);
  std::optional<CaptureContext> cached;
  {
    std::lock_guard lock(state->mutex);
    cached = state->cachedCaptureContext;
  }
  if (cached && cached->displayId == wanted) {
    capture(state, *cached, command, startedAt, deadline, completion);
    return;
  }
  platform.getShareableContent(
      false, true, deadline,
      [state, command, startedAt, deadline, completion, wanted](
          std::optional<ShareableContent> content, std::optional<PlatformError> error) {
        CapturePlatform& p = state->platform;
        if (!content) {
          completion(
              {captureFailure(p, command->type,
                              captureReason("screencapturekit_shareable_content_failed", error),
                              deadline),
               std::nullopt});
          return;
        }
        const auto& displays = content->displays;
        auto chosen = std::find_if(displays.begin(), displays.end(),
                                   [&](const ListedDisplay& d) { return d.displayId == wanted; });
        if (chosen == displays.end()) {
          const uint32_t mainId = p.mainDisplayId(deadline);
          chosen = std::find_if(displays.begin(), displays.end(),
                                [&](const ListedDisplay& d) { return d.displayId == mainId; });
        }
        if (chosen == displays.end()) chosen = displays.begin();
        if (chosen == displays.end()) {
          completion(
              {captureFailure(p, command->type, "screencapturekit_display_unavailable", deadline),
               std::nullopt});
          return;
        }
        CaptureContext context;
        context.displayId = chosen->displayId;
        context.screenBounds = p.displayBounds(chosen->displayId, deadline);
        context.filter = p.makeDisplayFilter(*chosen);
        context.sourceWidth = std::max<int64_t>(2, chosen->width);
        context.sourceHeight = std::max<int64_t>(2, chosen->height);
        {
          std::lock_guard lock(state->mutex);
          state->cachedCaptureContext = context;
        }
        capture(state, context, command, startedAt, deadline, completion);
      });
}

}  // namespace

CaptureSize captureSize(int64_t sourceWidth, int64_t sourceHeight,
                        std::optional<int64_t> maxWidth) {
  const int64_t requested = maxWidth.value_or(1280);
  const int64_t cap = std::max<int64_t>(320, std::min<int64_t>(1920, requested));
  const int64_t width = std::max<int64_t>(2, std::min(sourceWidth, cap));
  const double exact = static_cast<double>(sourceHeight) * static_cast<double>(width) /
                       static_cast<double>(std::max<int64_t>(1, sourceWidth));
  const int64_t height = std::max<int64_t>(2, std::llround(exact));
  return {width, height};
}

double encoderQuality(std::optional<int64_t> jpegQuality) {
  const int64_t q = std::max<int64_t>(35, std::min<int64_t>(88, jpegQuality.value_or(60)));
  return static_cast<double>(q) / 100.0;
}

uint64_t fnv1a64(std::span<const uint8_t> bytes) {
  uint64_t hash = 14695981039346656037ULL;
  for (uint8_t b : bytes) {
    hash ^= b;
    hash *= 1099511628211ULL;
  }
  return hash;
}

std::string base64Encode(std::span<const uint8_t> bytes) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.resize((bytes.size() + 2) / 3 * 4);
  char* o = out.data();
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    *o++ = alphabet[(v >> 18) & 63];
    *o++ = alphabet[(v >> 12) & 63];
    *o++ = alphabet[(v >> 6) & 63];
    *o++ = alphabet[v & 63];
  }
  if (const size_t rest = bytes.size() - i; rest > 0) {
    uint32_t v = uint32_t{bytes[i]} << 16;
    if (rest == 2) v |= uint32_t{bytes[i + 1]} << 8;
    *o++ = alphabet[(v >> 18) & 63];
    *o++ = alphabet[(v >> 12) & 63];
    *o++ = rest == 2 ? alphabet[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
  return out;
}

std::string captureReason(std::string_view base, std::optional<PlatformError> error) {
  std::string reason(base);
  // Appended in two steps: "_" + std::to_string(...) makes g++ 12 at -O3 report a false
  // -Wrestrict.
  if (error) {
    reason += '_';
    reason += std::to_string(error->code);
  }
  return reason;
}

ScreenCapture::ScreenCapture(CapturePlatform& platform, std::chrono::nanoseconds waitTimeout,
                             std::chrono::nanoseconds answerBudget)
    : platform_(platform),
      waitTimeout_(waitTimeout),
      answerBudget_(answerBudget),
      state_(std::make_shared<State>(platform)) {}

ScreenCapture::~ScreenCapture() = default;

std::optional<CaptureContext> ScreenCapture::cachedContext() const {
  std::lock_guard lock(state_->mutex);
  return state_->cachedCaptureContext;
}

HelperOutput ScreenCapture::captureFrame(const InputCommand& command) {
  using Clock = std::chrono::steady_clock;
  // One budget for the whole request, from its arrival: the display query, the listing, the
  // screenshot and the pointer read all end by this deadline.
  const Clock::time_point arrived = Clock::now();
  const Deadline deadline = arrived + std::chrono::duration_cast<Clock::duration>(answerBudget_);
  if (!platform_.systemVersionAtLeast(14, 0, 0)) {
    return captureFailure(platform_, command.type, "screencapturekit_screenshot_requires_macos_14",
                          deadline);
  }
  const uint64_t startedAt = platform_.uptimeNanoseconds();
  auto semaphore = std::make_shared<CountingSemaphore>();
  auto box = std::make_shared<CaptureOutputBox>();
  // The completions outlive this call after a time-out, so they get their own copy of the command.
  auto sharedCommand = std::make_shared<const InputCommand>(command);
  startFrameCapture(state_, sharedCommand, startedAt, deadline,
                    [semaphore, box](CaptureRecord record) {
                      box->set(std::move(record));
                      semaphore->signal();
                    });
  // The screenshot gets its time-out from when it was requested, but no more than leaves the
  // pointer read of a time-out answer its share of the budget.
  const Clock::time_point waitDeadline =
      std::min(Clock::now() + std::chrono::duration_cast<Clock::duration>(waitTimeout_),
               deadline - std::chrono::duration_cast<Clock::duration>(pointerReserve));
  if (!semaphore->waitUntil(waitDeadline)) {
    return captureFailure(platform_, command.type, "screencapturekit_capture_timeout", deadline);
  }
  std::optional<CaptureRecord> record = box->get();
  if (!record) {
    return captureFailure(platform_, command.type, "screencapturekit_capture_result_missing",
                          deadline);
  }
  // This frame reaches the host: from now on it is the one the next frame is compared with.
  if (record->frameHash) {
    std::lock_guard lock(state_->mutex);
    state_->previousFrameHash = record->frameHash;
  }
  return std::move(record->output);
}

}  // namespace halvorine

#include "screen_capture/screen_capture.h"

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <future>
#include <mutex>
#include <utility>
#include <variant>

#include "platform/capture_stages.h"
#include "screen_capture/frame_scaler.h"
#include "screen_capture/strip_jpeg_encoder.h"
#include "wire/wire_names.h"

namespace halvorine {

namespace {

// An encoded frame's FNV-1a, as its encoder handed it over: the encoder may leave the last bytes,
// which its previous file ended with too, to be folded in later. The worker does that once the
// frame's answer is on its way, or whoever needs the value first does.
class FrameHash {
 public:
  FrameHash(const JpegHash& hash, std::shared_ptr<const std::vector<uint8_t>> jpeg)
      : hash_(hash), complete_(hash.complete(*jpeg)) {
    if (complete_) {
      value_ = hash.state;
    } else {
      jpeg_ = std::move(jpeg);
    }
  }
  uint64_t value() {
    std::lock_guard lock(mutex_);
    if (!value_) {
      value_ = hash_.value(*jpeg_);
      jpeg_.reset();
    }
    return *value_;
  }
  // Whether this frame's hash equals that of `stored`, the last delivered frame's. When this
  // frame's pending bytes end the encoder's previous file and that file is the stored one, the
  // states before those bytes decide (equal states give equal hashes, different ones different
  // hashes) and nothing more is folded in now.
  bool equals(FrameHash& stored) {
    if (&stored == this) return true;
    if (!complete_ && hash_.previousFile != 0 && hash_.previousFile == stored.hash_.file) {
      return hash_.state == hash_.previousState;
    }
    return stored.value() == value();
  }

 private:
  const JpegHash hash_;
  const bool complete_;
  std::mutex mutex_;
  std::optional<uint64_t> value_;
  std::shared_ptr<const std::vector<uint8_t>> jpeg_;  // until the value is known
};

// A frame as the host received it: what a later request of the same display, size and quality
// answers from when the platform reports that nothing changed since its mark.
struct DeliveredFrame {
  uint32_t displayId = 0;
  PixelSize size;
  double quality = 0;
  DamageMark mark = 0;
  std::shared_ptr<const std::vector<uint8_t>> jpeg;
  std::shared_ptr<FrameHash> hash;
  int64_t width = 0;
  int64_t height = 0;
};

// What a completion hands to the waiting thread: the answer and, for an encoded frame, its hash
// and, where the platform gave it a mark, the frame itself. Both become the stored ones only once
// the answer is delivered, so that a frame the host never received (it arrived after its request
// timed out) is never the one compared against or answered from.
struct CaptureRecord {
  HelperOutput output;
  std::shared_ptr<FrameHash> frameHash = nullptr;
  std::optional<DeliveredFrame> frame = std::nullopt;
  // Answered from the frame the host already has; the stored frame stays.
  bool fromDeliveredFrame = false;
};

// The completion side of a request's hand-over. Only the completions hold it, so when the
// platform drops them unrun the waiting side learns at once that no record will come. A future
// rather than a semaphore: libstdc++ 12 waits for a future on a futex against the steady clock,
// while std::counting_semaphore::try_acquire_until polls with sleeps of up to 64 ms.
class RecordPromise {
 public:
  std::future<CaptureRecord> future() { return promise_.get_future(); }
  // Only the first record counts.
  void deliver(CaptureRecord record) {
    if (!delivered_.test_and_set()) promise_.set_value(std::move(record));
  }

 private:
  std::promise<CaptureRecord> promise_;
  std::atomic_flag delivered_;
};

using CaptureCompletion = std::function<void(CaptureRecord)>;

double elapsedMs(uint64_t from, uint64_t to) {
  // The clock never goes back; the guard keeps a faulty one from producing negative times.
  return to > from ? static_cast<double>(to - from) / 1'000'000.0 : 0.0;
}

}  // namespace

// JPEG buffers that come back when their last holder lets go: one is the delivered frame, one may
// belong to a record in flight, one is being filled. The pool's lock orders the last reader of a
// buffer before its next writer.
class JpegBufferPool : public std::enable_shared_from_this<JpegBufferPool> {
 public:
  std::shared_ptr<std::vector<uint8_t>> take() {
    std::unique_ptr<std::vector<uint8_t>> buffer;
    {
      std::lock_guard lock(mutex_);
      if (!spare_.empty()) {
        buffer = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    if (!buffer) buffer = std::make_unique<std::vector<uint8_t>>();
    return std::shared_ptr<std::vector<uint8_t>>(
        buffer.release(), [pool = weak_from_this()](std::vector<uint8_t>* b) {
          std::unique_ptr<std::vector<uint8_t>> owned(b);
          if (const auto p = pool.lock()) p->giveBack(std::move(owned));
        });
  }

 private:
  void giveBack(std::unique_ptr<std::vector<uint8_t>> buffer) {
    std::lock_guard lock(mutex_);
    if (spare_.size() < 2) spare_.push_back(std::move(buffer));
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<std::vector<uint8_t>>> spare_;
};

// The frame the scaler and the encoder last worked on successfully, as the platform described it:
// a frame that says what changed since this one's mark, on the same display and at the same
// sizes and quality, needs only its changed rows scaled and encoded again.
struct EncodedFrameOrigin {
  uint32_t displayId = 0;
  PixelSize source;
  PixelSize size;
  double quality = 0;
  DamageMark mark = 0;
};

// Process-wide capture state. Completions hold it jointly with the ScreenCapture, and a late
// completion may touch it while the next request runs, hence the locks.
struct ScreenCapture::State {
  State(CapturePlatform& p, FrameEncoder* e)
      : platform(p),
        ownEncoder(e != nullptr ? nullptr : std::make_unique<StripJpegEncoder>()),
        encoder(e != nullptr ? *e : *ownEncoder) {}

  CapturePlatform& platform;
  // Its pool of threads lives as long as the process's capture state.
  std::unique_ptr<StripJpegEncoder> ownEncoder;
  FrameEncoder& encoder;
  mutable std::mutex mutex;
  std::optional<CaptureContext> cachedCaptureContext;
  std::shared_ptr<FrameHash> previousFrameHash;
  // The last frame delivered to the host, when its platform gave it a mark.
  std::optional<DeliveredFrame> deliveredFrame;
  // The scaler's buffer, from scaling until the encoder has read it, and what the scaler and the
  // encoder keep from one frame to the next.
  std::mutex frameMutex;
  FrameScaler scaler;
  std::optional<EncodedFrameOrigin> lastEncoded;
  // JPEG buffers kept across frames (fresh memory is slow to touch).
  std::shared_ptr<JpegBufferPool> jpegBuffers = std::make_shared<JpegBufferPool>();
};

namespace {

using State = ScreenCapture::State;

// What every capture record carries: its outcome, the request's type, the pointer and the labels.
HelperOutput captureRecord(bool ok, const std::string& type, Point pointer) {
  HelperOutput r;
  r.ok = ok;
  r.type = type;
  r.applied = ok;
  r.x = pointer.x;
  r.y = pointer.y;
  r.captureBackend = std::string(wire::label::captureBackend);
  r.dispatchBackend = std::string(wire::label::dispatchBackend);
  r.nativeRuntime = std::string(wire::label::nativeRuntime);
  return r;
}

HelperOutput captureFailure(CapturePlatform& platform, const std::string& type, std::string reason,
                            Deadline deadline) {
  HelperOutput r = captureRecord(false, type, platform.currentMouseLocation(deadline));
  r.reason = std::move(reason);
  return r;
}

CaptureRecord failureRecord(CapturePlatform& platform, const std::string& type, std::string reason,
                            Deadline deadline) {
  return {.output = captureFailure(platform, type, std::move(reason), deadline)};
}

struct EncodedFrame {
  std::shared_ptr<std::vector<uint8_t>> jpeg;
  JpegHash hash;
  int64_t width = 0;
  int64_t height = 0;
};

// The source rows that may differ from the frame last scaled and encoded, when the platform can
// tell: it reports what changed since a grab, and that grab is the one of the frame last encoded,
// of the same display at the same sizes and quality. nullopt in every other case (any doubt).
std::optional<std::vector<RowRange>> changedSinceLastEncoded(
    const std::optional<EncodedFrameOrigin>& last, const Frame& grabbed, uint32_t displayId,
    PixelSize size, double quality) {
  if (!last || !grabbed.changed || !grabbed.changedSince || *grabbed.changedSince != last->mark ||
      last->displayId != displayId || last->source != PixelSize{grabbed.width, grabbed.height} ||
      last->size != size || last->quality != quality) {
    return std::nullopt;
  }
  std::vector<RowRange> rows;
  rows.reserve(grabbed.changed->size());
  for (const PixelRect& r : *grabbed.changed) {
    if (r.width > 0 && r.height > 0) rows.push_back({r.y, r.y + r.height});
  }
  return rows;
}

// Scales the frame to the wanted size where the platform has not, and encodes it, redoing only
// what changed when the frame is known to follow the one encoded last; the reason of the failure
// otherwise.
std::variant<EncodedFrame, std::string_view> encodeFrame(State& state, const Frame& grabbed,
                                                         uint32_t displayId, PixelSize size,
                                                         double quality) {
  std::lock_guard lock(state.frameMutex);
  const std::optional<std::vector<RowRange>> changed =
      changedSinceLastEncoded(state.lastEncoded, grabbed, displayId, size, quality);
  // Whatever fails from here leaves nothing to build on.
  state.lastEncoded.reset();
  // Each band is scaled by the thread that encodes it, so scaling runs on every core too.
  std::optional<std::vector<RowRange>> scaledChanged;
  const std::optional<Frame> frame =
      state.scaler.prepareChanged(grabbed, size, changed, scaledChanged);
  if (!frame) return wire::reason::captureFailed;
  captureStageReached(CaptureStage::scaled);
  std::shared_ptr<std::vector<uint8_t>> jpeg = state.jpegBuffers->take();
  JpegHash hash;
  if (!state.encoder.encodeChangedInto(*frame, quality, scaledChanged, *jpeg, &state.scaler,
                                       &hash)) {
    return state.scaler.fillFailed() ? wire::reason::captureFailed : wire::reason::jpegEncodeFailed;
  }
  captureStageReached(CaptureStage::encoded);
  if (grabbed.mark) {
    state.lastEncoded = EncodedFrameOrigin{.displayId = displayId,
                                           .source = {grabbed.width, grabbed.height},
                                           .size = size,
                                           .quality = quality,
                                           .mark = *grabbed.mark};
  }
  return EncodedFrame{
      .jpeg = std::move(jpeg), .hash = hash, .width = frame->width, .height = frame->height};
}

struct SuccessFields {
  int64_t jpegBytes = 0;
  int64_t width = 0;
  int64_t height = 0;
  bool unchanged = false;
  double captureElapsedMs = 0;
  double encodeElapsedMs = 0;
};

HelperOutput successRecord(const InputCommand& command, const CaptureContext& context,
                           Point pointer, const SuccessFields& f) {
  HelperOutput r = captureRecord(true, command.type, pointer);
  r.frameMimeType = std::string(wire::value::jpegMimeType);
  r.frameBytes = f.jpegBytes;
  r.frameWidth = f.width;
  r.frameHeight = f.height;
  r.frameUnchanged = f.unchanged;
  r.sourceWidth = context.sourceWidth;
  r.sourceHeight = context.sourceHeight;
  r.screenLeft = context.screenBounds.x;
  r.screenTop = context.screenBounds.y;
  r.screenWidth = std::fabs(context.screenBounds.width);
  r.screenHeight = std::fabs(context.screenBounds.height);
  r.captureElapsedMs = f.captureElapsedMs;
  r.scaleElapsedMs = 0.0;
  r.encodeElapsedMs = f.encodeElapsedMs;
  const bool nearest = command.scaleMode == wire::value::nearest;
  r.scaleMode = std::string(nearest ? wire::value::nearest : wire::value::bilinear);
  return r;
}

bool reportedUnchanged(State& state, const InputCommand& command, FrameHash& hash) {
  if (!command.suppressUnchanged.value_or(false)) return false;
  std::shared_ptr<FrameHash> stored;
  {
    std::lock_guard lock(state.mutex);
    stored = state.previousFrameHash;
  }
  return stored && hash.equals(*stored);
}

// The success record of a JPEG with this hash, whose processing began at `arrived`; its Base64
// text is made only if the answer carries it.
HelperOutput jpegAnswer(State& state, const InputCommand& command, const CaptureContext& context,
                        uint64_t startedAt, uint64_t arrived, const std::vector<uint8_t>& jpeg,
                        int64_t width, int64_t height, FrameHash& hash, Deadline deadline) {
  CapturePlatform& platform = state.platform;
  const bool unchanged = reportedUnchanged(state, command, hash);
  const Point pointer = platform.currentMouseLocation(deadline);
  const double captureElapsed = elapsedMs(startedAt, platform.uptimeNanoseconds());
  const double encodeElapsed = elapsedMs(arrived, platform.uptimeNanoseconds());
  HelperOutput r = successRecord(command, context, pointer,
                                 {.jpegBytes = static_cast<int64_t>(jpeg.size()),
                                  .width = width,
                                  .height = height,
                                  .unchanged = unchanged,
                                  .captureElapsedMs = captureElapsed,
                                  .encodeElapsedMs = encodeElapsed});
  captureStageReached(CaptureStage::recorded);
  if (!unchanged) r.frameBase64 = base64Encode(jpeg);
  captureStageReached(CaptureStage::base64Encoded);
  return r;
}

// The frame's hash travels with the record; the waiting thread stores it once it delivers the
// record (see CaptureRecord).
CaptureRecord processFrame(State& state, const Frame& grabbed, const InputCommand& command,
                           uint64_t startedAt, const CaptureContext& context, PixelSize size,
                           Deadline deadline) {
  CapturePlatform& platform = state.platform;
  // The image has arrived: what follows is its processing.
  const uint64_t arrived = platform.uptimeNanoseconds();
  const double quality = encoderQuality(command.jpegQuality);
  auto encoded = encodeFrame(state, grabbed, context.display.displayId, size, quality);
  if (const auto* reason = std::get_if<std::string_view>(&encoded)) {
    return failureRecord(platform, command.type, std::string(*reason), deadline);
  }
  const EncodedFrame& frame = std::get<EncodedFrame>(encoded);

  auto hash = std::make_shared<FrameHash>(frame.hash, frame.jpeg);
  CaptureRecord record{
      .output = jpegAnswer(state, command, context, startedAt, arrived, *frame.jpeg, frame.width,
                           frame.height, *hash, deadline),
      .frameHash = hash};
  if (grabbed.mark) {
    record.frame = DeliveredFrame{.displayId = context.display.displayId,
                                  .size = size,
                                  .quality = quality,
                                  .mark = *grabbed.mark,
                                  .jpeg = frame.jpeg,
                                  .hash = hash,
                                  .width = frame.width,
                                  .height = frame.height};
  }
  return record;
}

// The platform found nothing changed since the host's last frame: its JPEG would come out byte
// for byte the same, so the answer is made from it without a grab or an encoding.
CaptureRecord answerFromDelivered(State& state, const DeliveredFrame& delivered,
                                  const InputCommand& command, uint64_t startedAt,
                                  const CaptureContext& context, Deadline deadline) {
  const uint64_t arrived = state.platform.uptimeNanoseconds();
  return {.output = jpegAnswer(state, command, context, startedAt, arrived, *delivered.jpeg,
                               delivered.width, delivered.height, *delivered.hash, deadline),
          .frameHash = delivered.hash,
          .fromDeliveredFrame = true};
}

// Grabs the context's display at the size the request asks for; the completion gets its record.
// When the host already has a frame of this display at this size and quality, the platform is
// asked only for what changed since that frame's grab.
void capture(const std::shared_ptr<State>& state, const CaptureContext& context,
             const std::shared_ptr<const InputCommand>& command, uint64_t startedAt,
             Deadline deadline, CaptureCompletion completion) {
  const PixelSize size = captureSize(context.sourceWidth, context.sourceHeight, command->maxWidth);
  std::optional<DeliveredFrame> delivered;
  {
    std::lock_guard lock(state->mutex);
    delivered = state->deliveredFrame;
  }
  if (delivered && (delivered->displayId != context.display.displayId || delivered->size != size ||
                    delivered->quality != encoderQuality(command->jpegQuality))) {
    delivered.reset();
  }
  auto done = [state, context, size, command, startedAt, deadline, delivered,
               completion = std::move(completion)](const Frame* frame,
                                                   std::optional<PlatformError> error) {
    if (frame == nullptr) {
      completion(failureRecord(state->platform, command->type,
                               captureReason(wire::reason::captureFailed, error), deadline));
      return;
    }
    if (frame->unchangedSinceMark) {
      if (delivered) {
        completion(answerFromDelivered(*state, *delivered, *command, startedAt, context, deadline));
      } else {
        // Only a grab given a mark can come back empty; without one this is the platform's fault.
        completion(failureRecord(state->platform, command->type,
                                 std::string(wire::reason::captureFailed), deadline));
      }
      return;
    }
    CaptureRecord record =
        processFrame(*state, *frame, *command, startedAt, context, size, deadline);
    const std::shared_ptr<FrameHash> hash = record.frameHash;
    completion(std::move(record));
    // The rest of the hash, while the answer is being written.
    if (hash) hash->value();
  };
  if (delivered) {
    state->platform.grabDisplaySince(context.display, size, delivered->mark, deadline,
                                     std::move(done));
  } else {
    state->platform.grabDisplay(context.display, size, deadline, std::move(done));
  }
}

// The wanted display, else the main one, else the first listed; nullptr for an empty list.
const ListedDisplay* chooseDisplay(CapturePlatform& platform,
                                   const std::vector<ListedDisplay>& displays, uint32_t wanted,
                                   Deadline deadline) {
  auto withId = [&](uint32_t id) {
    return std::find_if(displays.begin(), displays.end(),
                        [&](const ListedDisplay& d) { return d.displayId == id; });
  };
  auto chosen = withId(wanted);
  if (chosen == displays.end()) chosen = withId(platform.mainDisplayId(deadline));
  if (chosen == displays.end()) chosen = displays.begin();
  return chosen == displays.end() ? nullptr : &*chosen;
}

void startFrameCapture(const std::shared_ptr<State>& state,
                       const std::shared_ptr<const InputCommand>& command, uint64_t startedAt,
                       Deadline deadline, CaptureCompletion completion) {
  CapturePlatform& platform = state->platform;
  const uint32_t wanted =
      command->displayId ? *command->displayId : platform.mainDisplayId(deadline);
  std::optional<CaptureContext> cached;
  {
    std::lock_guard lock(state->mutex);
    cached = state->cachedCaptureContext;
  }
  if (cached && cached->display.displayId == wanted) {
    captureStageReached(CaptureStage::targetKnown);
    capture(state, *cached, command, startedAt, deadline, std::move(completion));
    return;
  }
  platform.listDisplays(deadline, [state, command, startedAt, deadline, wanted,
                                   completion = std::move(completion)](
                                      std::optional<std::vector<ListedDisplay>> displays,
                                      std::optional<PlatformError> error) {
    CapturePlatform& p = state->platform;
    if (!displays) {
      completion(failureRecord(
          p, command->type, captureReason(wire::reason::shareableContentFailed, error), deadline));
      return;
    }
    const ListedDisplay* chosen = chooseDisplay(p, *displays, wanted, deadline);
    if (chosen == nullptr) {
      completion(
          failureRecord(p, command->type, std::string(wire::reason::displayUnavailable), deadline));
      return;
    }
    const CaptureContext context{.display = *chosen,
                                 .sourceWidth = std::max<int64_t>(2, chosen->width),
                                 .sourceHeight = std::max<int64_t>(2, chosen->height),
                                 .screenBounds = p.displayBounds(chosen->displayId, deadline)};
    {
      std::lock_guard lock(state->mutex);
      state->cachedCaptureContext = context;
    }
    capture(state, context, command, startedAt, deadline, completion);
  });
}

// The record the completions handed over; nullopt when they were dropped without one.
std::optional<CaptureRecord> takeRecord(std::future<CaptureRecord>& handOver) {
  try {
    return handOver.get();
  } catch (const std::future_error&) {
    return std::nullopt;
  }
}

}  // namespace

PixelSize captureSize(int64_t sourceWidth, int64_t sourceHeight, std::optional<int64_t> maxWidth) {
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

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Sixteen characters from twelve bytes at a time (the 16-byte loads stop four bytes short of the
// end): each group of three bytes is spread over four bytes by one shuffle, the four 6-bit
// indices are moved into place by two multiplications, and each index becomes its character by
// adding the offset of its range of the alphabet, looked up by a second shuffle. Returns the bytes
// done, a multiple of three.
__attribute__((target("ssse3"))) size_t base64Ssse3(const uint8_t* in, size_t n, char* out) {
  const __m128i spread = _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  const __m128i offsets =
      _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                    '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
  size_t done = 0;
  for (; n - done >= 16; done += 12, out += 16) {
    const __m128i v =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done)), spread);
    const __m128i high =
        _mm_mulhi_epu16(_mm_and_si128(v, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
    const __m128i low =
        _mm_mullo_epi16(_mm_and_si128(v, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
    const __m128i indices = _mm_or_si128(high, low);
    // 0..25 pick entry 13, 26..51 entry 0, 52..63 entries 1..12.
    __m128i range = _mm_subs_epu8(indices, _mm_set1_epi8(51));
    range = _mm_or_si128(
        range, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), indices), _mm_set1_epi8(13)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_add_epi8(_mm_shuffle_epi8(offsets, range), indices));
  }
  return done;
}

bool haveSsse3() {
  static const bool have = __builtin_cpu_supports("ssse3");
  return have;
}
#endif

}  // namespace

std::string base64Encode(std::span<const uint8_t> bytes) {
  std::string out((bytes.size() + 2) / 3 * 4, '\0');
  const uint8_t* p = bytes.data();
  const uint8_t* end = p + bytes.size();
  char* o = out.data();
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  if (haveSsse3()) {
    const size_t done = base64Ssse3(p, bytes.size(), o);
    p += done;
    o += done / 3 * 4;
  }
#endif
  for (; end - p >= 3; p += 3, o += 4) {
    const uint32_t v = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
    o[0] = kBase64Alphabet[(v >> 18) & 63];
    o[1] = kBase64Alphabet[(v >> 12) & 63];
    o[2] = kBase64Alphabet[(v >> 6) & 63];
    o[3] = kBase64Alphabet[v & 63];
  }
  if (const auto rest = end - p; rest > 0) {
    const uint32_t v = (uint32_t{p[0]} << 16) | (rest == 2 ? uint32_t{p[1]} << 8 : 0);
    o[0] = kBase64Alphabet[(v >> 18) & 63];
    o[1] = kBase64Alphabet[(v >> 12) & 63];
    o[2] = rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
    o[3] = '=';
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
      state_(std::make_shared<State>(platform, nullptr)) {}

ScreenCapture::ScreenCapture(CapturePlatform& platform, FrameEncoder& encoder,
                             std::chrono::nanoseconds waitTimeout,
                             std::chrono::nanoseconds answerBudget)
    : platform_(platform),
      waitTimeout_(waitTimeout),
      answerBudget_(answerBudget),
      state_(std::make_shared<State>(platform, &encoder)) {}

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
  captureStageReached(CaptureStage::requestArrived);
  const Deadline deadline = arrived + std::chrono::duration_cast<Clock::duration>(answerBudget_);
  const uint64_t startedAt = platform_.uptimeNanoseconds();
  std::future<CaptureRecord> handOver;
  CaptureCompletion completion;
  {
    auto promise = std::make_shared<RecordPromise>();
    handOver = promise->future();
    completion = [promise](CaptureRecord record) { promise->deliver(std::move(record)); };
  }
  // The completions outlive this call after a time-out, so they get their own copy of the command.
  auto sharedCommand = std::make_shared<const InputCommand>(command);
  startFrameCapture(state_, sharedCommand, startedAt, deadline, std::move(completion));
  // The screenshot gets its time-out from when it was requested, but no more than leaves the
  // pointer read of a time-out answer its share of the budget.
  const Clock::time_point waitDeadline =
      std::min(Clock::now() + std::chrono::duration_cast<Clock::duration>(waitTimeout_),
               deadline - std::chrono::duration_cast<Clock::duration>(pointerReserve));
  if (handOver.wait_until(waitDeadline) != std::future_status::ready) {
    return captureFailure(platform_, command.type, std::string(wire::reason::captureTimeout),
                          deadline);
  }
  std::optional<CaptureRecord> record = takeRecord(handOver);
  captureStageReached(CaptureStage::handedOver);
  if (!record) {
    return captureFailure(platform_, command.type, std::string(wire::reason::captureResultMissing),
                          deadline);
  }
  // This frame reaches the host: from now on it is the one the next frame is compared with, and
  // answered from while the platform reports nothing changed. A frame without a mark leaves
  // nothing to answer from.
  if (record->frameHash) {
    std::lock_guard lock(state_->mutex);
    state_->previousFrameHash = record->frameHash;
    if (!record->fromDeliveredFrame) state_->deliveredFrame = std::move(record->frame);
  }
  return std::move(record->output);
}

}  // namespace halvorine

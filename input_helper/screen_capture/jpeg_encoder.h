#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "platform/capture_platform.h"
#include "screen_capture/fnv1a.h"
#include "screen_capture/row_ranges.h"

typedef void* tjhandle;

namespace halvorine {

// Makes rows of a frame just before an encoder reads them, on the thread that encodes them, so
// that making them (scaling) runs beside the encoding on every core. Called for disjoint row
// ranges, possibly from several threads at once; false fails the encoding.
class RowFill {
 public:
  virtual bool fill(int64_t top, int64_t rows) = 0;

 protected:
  ~RowFill() = default;
};

// The FNV-1a 64 of an encoded file, which an encoder may hand over before the end of the file is
// folded in: the bytes from `pendingFrom` on are then those at the end of the encoder's previous
// file (`previousFile`), whose state before them was `previousState`. Folding the same bytes maps
// different states to different states (each step is an exclusive-or and a multiplication by an
// odd number, both one-to-one), so the two files' hashes are equal exactly when `state` equals
// `previousState`; value() works the hash out.
struct JpegHash {
  uint64_t state = kFnv1a64Basis;  // of the bytes before pendingFrom
  size_t pendingFrom = 0;          // the file's size when nothing is pending
  uint64_t file = 0;               // the file's number, counted by its encoder; 0: not counted
  uint64_t previousFile = 0;       // with pending bytes: the encoder's previous file
  uint64_t previousState = 0;

  // The hash of a file of `size` bytes folded to its end.
  static JpegHash of(uint64_t value, size_t size, uint64_t file = 0) {
    return {
        .state = value, .pendingFrom = size, .file = file, .previousFile = 0, .previousState = 0};
  }
  bool complete(std::span<const uint8_t> jpeg) const { return pendingFrom >= jpeg.size(); }
  uint64_t value(std::span<const uint8_t> jpeg) const {
    return complete(jpeg)
               ? state
               : fnv1a64Fold(state, jpeg.data() + pendingFrom, jpeg.size() - pendingFrom);
  }
};

// Turns a frame into a complete JPEG file. Identical pixels at the same quality give identical
// bytes: change suppression compares the bytes.
class FrameEncoder {
 public:
  virtual ~FrameEncoder() = default;
  // quality between 0 and 1; nullopt when the encoder fails. Callable from any thread.
  virtual std::optional<std::vector<uint8_t>> encode(const Frame& frame, double quality) = 0;
  // The same into `out`, whose memory is reused when it is large enough; false when the encoder
  // fails (`out` is then unspecified).
  virtual bool encodeInto(const Frame& frame, double quality, std::vector<uint8_t>& out) {
    std::optional<std::vector<uint8_t>> jpeg = encode(frame, quality);
    if (!jpeg) return false;
    out = std::move(*jpeg);
    return true;
  }
  // The same for a frame of which only `changedRows` may differ from the frame of this encoder's
  // previous call (nullopt: any row may), for encoders that keep work from that call; the bytes
  // are those of encodeInto() all the same. Encoders that keep nothing encode everything. With
  // `fill`, the frame's rows are made by it: every row the encoder reads is filled first, and rows
  // of kept work may be left as the previous call's frame had them. With `hash`, it gets the
  // file's hash, which an encoder may work out beside the encoding, leaving bytes that its
  // previous file ended with too.
  virtual bool encodeChangedInto(const Frame& frame, double quality,
                                 const std::optional<std::vector<RowRange>>& changedRows,
                                 std::vector<uint8_t>& out, RowFill* fill, JpegHash* hash) {
    (void)changedRows;
    if (fill != nullptr && !fill->fill(0, frame.height)) return false;
    if (!encodeInto(frame, quality, out)) return false;
    if (hash != nullptr) *hash = JpegHash::of(fnv1a64(out), out.size());
    return true;
  }
};

// What every TurboJPEG encoder here shares: the frames TurboJPEG takes, and the integer quality
// (1 to 100) for a quality between 0 and 1.
bool turboJpegEncodable(const Frame& frame, double quality);
int turboJpegQuality(double quality);

// A TurboJPEG output buffer kept between frames (fresh memory is slow to touch), sized for the
// worst case so that TurboJPEG never replaces it.
class TurboJpegOutput {
 public:
  TurboJpegOutput() = default;
  ~TurboJpegOutput();
  TurboJpegOutput(TurboJpegOutput&& other) noexcept;
  TurboJpegOutput& operator=(TurboJpegOutput&& other) noexcept;

  // Encodes rows [top, top + rows) of the frame at 4:2:0 as a JPEG file of their own; false when
  // TurboJPEG fails (the file is then empty).
  bool compress(tjhandle handle, const Frame& frame, int64_t top, int64_t rows, int quality);
  const unsigned char* data() const { return buffer_; }
  unsigned long size() const { return size_; }

 private:
  unsigned char* buffer_ = nullptr;
  unsigned long capacity_ = 0;
  unsigned long size_ = 0;
};

// TurboJPEG, 4:2:0, with its handle and output buffer kept between frames.
class JpegEncoder final : public FrameEncoder {
 public:
  JpegEncoder();
  ~JpegEncoder() override;
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  std::optional<std::vector<uint8_t>> encode(const Frame& frame, double quality) override;
  bool encodeInto(const Frame& frame, double quality, std::vector<uint8_t>& out) override;

 private:
  std::mutex mutex_;
  tjhandle handle_ = nullptr;
  TurboJpegOutput output_;
};

}  // namespace halvorine

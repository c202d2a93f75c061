#include "screen_capture/strip_jpeg_encoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

namespace halvorine {

namespace {

constexpr int64_t kMcuRows = 16;  // 4:2:0
constexpr int64_t kMcuColumns = 16;
constexpr unsigned kMaxThreads = 16;

// Where the parts of one band's JPEG file lie.
struct Layout {
  size_t sof = 0;           // the SOF0 marker
  size_t sos = 0;           // the SOS marker
  size_t entropyBegin = 0;  // the first byte after the SOS segment
  size_t entropyEnd = 0;    // the EOI marker
};

// Walks the markers of a band's file: a baseline frame whose scan runs to the final EOI. Anything
// else (TurboJPEG can be told by its environment to optimise its tables, to use restart markers of
// its own, progressive or arithmetic coding) cannot be joined.
bool parseBand(const uint8_t* p, size_t n, Layout& layout) {
  if (n < 4 || p[0] != 0xFF || p[1] != 0xD8 || p[n - 2] != 0xFF || p[n - 1] != 0xD9) return false;
  bool haveSof = false;
  size_t pos = 2;
  for (;;) {
    if (pos + 4 > n || p[pos] != 0xFF) return false;
    const uint8_t marker = p[pos + 1];
    const size_t length = (size_t{p[pos + 2]} << 8) | p[pos + 3];
    if (length < 2 || pos + 2 + length > n - 2) return false;
    if (marker == 0xC0) {
      if (haveSof || length < 8) return false;
      haveSof = true;
      layout.sof = pos;
    } else if ((marker >= 0xC1 && marker <= 0xCF && marker != 0xC4) || marker == 0xDD) {
      return false;
    } else if (marker == 0xDA) {
      if (!haveSof) return false;
      layout.sos = pos;
      layout.entropyBegin = pos + 2 + length;
      layout.entropyEnd = n - 2;
      return true;
    }
    pos += 2 + length;
  }
}

}  // namespace

struct StripJpegEncoder::Impl {
  struct Band {
    TurboJpegOutput file;
    Layout layout;
    bool encoded = false;   // TurboJPEG made a file
    bool joinable = false;  // and it is a baseline file that can be joined with the others
  };

  int64_t requestedBandRows = kDefaultBandRows;
  std::mutex callMutex;  // one encode at a time; everything below is the caller's

  // The handles: slot 0 is the calling thread's, slot i the i-th worker's.
  std::vector<tjhandle> handles;
  std::vector<std::thread> workers;

  // Kept from the previous call.
  std::vector<Band> bands;
  bool previousValid = false;
  int64_t previousWidth = 0, previousHeight = 0;
  int previousQuality = 0;
  // The joined file of encodeChanged().
  std::vector<uint8_t> output;
  // For frames whose bands cannot be joined: the whole frame in one stream.
  Band whole;

  // The job: the frame and the bands to encode, which whoever is free claims one at a time under
  // jobMutex. The caller changes the job only once every claimed band is done, so an encoding
  // thread reads the frame and its band without the lock; a worker the system has not run yet
  // holds up nobody: the caller encodes what is left itself.
  std::mutex jobMutex;
  std::condition_variable jobReady;
  std::condition_variable jobDone;
  bool stopping = false;
  Frame jobFrame;
  RowFill* jobFill = nullptr;
  int jobQuality = 0;
  int64_t jobBandRows = 0;
  std::vector<size_t> jobBands;
  size_t claimedBands = 0;
  size_t doneBands = 0;

  // The FNV-1a of the joined file, folded in band by band in order by whichever thread has just
  // finished the band it waits for (one at a time: `hashing`), beside the encoding of the
  // others, from band hashNext up to hashStop. `hashAt` keeps the state before each band (after
  // the file's header) and, at the end, the file's hash; its first `hashKnown` entries are those
  // of the last file. The bands before the first one encoded again are not hashed again, and the
  // bands after the last one are left pending (see JpegHash).
  bool jobHash = false;
  int64_t jobHeight = 0;
  std::vector<uint8_t> bandReady;  // of this call: encoded now, or kept
  size_t hashNext = 0;
  size_t hashStop = 0;
  bool hashing = false;
  bool hashBroken = false;
  uint64_t hashState = 0;
  std::vector<uint64_t> hashAt;
  size_t hashKnown = 0;
  uint64_t fileCount = 0;         // the files made, which numbers them
  std::vector<size_t> bandStart;  // where each band's data begins in the last joined file
  std::vector<uint8_t> header;

  explicit Impl(int64_t bandRows, unsigned threads)
      : requestedBandRows(std::clamp<int64_t>(bandRows, kMcuRows, 65536)) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, kMaxThreads);
    handles.push_back(tjInitCompress());
    for (unsigned i = 1; i < threads; ++i) {
      tjhandle handle = tjInitCompress();
      if (handle == nullptr) break;
      handles.push_back(handle);
      try {
        workers.emplace_back([this, i] { workerLoop(i); });
      } catch (const std::system_error&) {
        // Fewer threads only make it slower.
        handles.pop_back();
        tjDestroy(handle);
        break;
      }
    }
  }

  ~Impl() {
    {
      std::lock_guard lock(jobMutex);
      stopping = true;
    }
    jobReady.notify_all();
    for (std::thread& t : workers) t.join();
    for (tjhandle h : handles) {
      if (h != nullptr) tjDestroy(h);
    }
  }

  int64_t bandRowsFor(int64_t width) const {
    const int64_t mcusPerRow = (width + kMcuColumns - 1) / kMcuColumns;
    // A restart interval counts at most 65535 MCUs.
    const int64_t maxMcuRows = std::max<int64_t>(1, 65535 / std::max<int64_t>(1, mcusPerRow));
    const int64_t mcuRows =
        std::clamp<int64_t>((requestedBandRows + kMcuRows - 1) / kMcuRows, 1, maxMcuRows);
    return mcuRows * kMcuRows;
  }

  void workerLoop(unsigned slot) {
    std::unique_lock lock(jobMutex);
    for (;;) {
      jobReady.wait(lock, [&] { return stopping || claimedBands < jobBands.size(); });
      if (stopping) return;
      encodeClaimed(slot, lock);
    }
  }

  // Claims and encodes bands until none is left; called with jobMutex held.
  void encodeClaimed(unsigned slot, std::unique_lock<std::mutex>& lock) {
    while (claimedBands < jobBands.size()) {
      const size_t band = jobBands[claimedBands++];
      lock.unlock();
      encodeBand(slot, band);
      lock.lock();
      ++doneBands;
      bandReady[band] = 1;
      advanceHash(lock);
      if (doneBands == jobBands.size() && !hashing) jobDone.notify_all();
    }
  }

  // Folds in the bands that are ready, in order, unless another thread is at it; called with
  // jobMutex held.
  void advanceHash(std::unique_lock<std::mutex>& lock) {
    if (!jobHash || hashing) return;
    hashing = true;
    while (hashNext < hashStop && bandReady[hashNext] != 0) {
      const size_t band = hashNext;
      lock.unlock();
      foldBand(band);
      lock.lock();
      ++hashNext;
    }
    hashing = false;
  }

  // The band's part of the joined file: the header first for band 0, then its entropy-coded data
  // and the marker after it.
  void foldBand(size_t index) {
    const Band& b = bands[index];
    if (!b.joinable) {
      hashBroken = true;  // the file will not be joined
      return;
    }
    uint64_t h = hashState;
    if (index == 0) {
      header.resize(b.layout.entropyBegin + 6);
      header.resize(
          writeHeader(b, jobHeight, jobBandRows, jobFrame.width, bands.size(), header.data()));
      h = fnv1a64Fold(kFnv1a64Basis, header.data(), header.size());
    }
    hashAt[index] = h;
    h = fnv1a64Fold(h, b.file.data() + b.layout.entropyBegin,
                    b.layout.entropyEnd - b.layout.entropyBegin);
    const uint8_t marker[2] = {0xFF, markerAfter(index, bands.size())};
    h = fnv1a64Fold(h, marker, 2);
    hashState = h;
    if (index + 1 == bands.size()) hashAt[index + 1] = h;
  }

  // The restart marker after a band, or EOI after the last.
  static uint8_t markerAfter(size_t index, size_t count) {
    return index + 1 < count ? static_cast<uint8_t>(0xD0 + (index & 7)) : 0xD9;
  }

  // The joined file's header, from the first band's: its tables, the SOF with the whole height, a
  // DRI when there is more than one band, and the scan header. Returns its size (at most the
  // band's header and 6 bytes).
  static size_t writeHeader(const Band& first, int64_t height, int64_t bandRows, int64_t width,
                            size_t count, uint8_t* o) {
    const Layout& l = first.layout;
    uint8_t* const start = o;
    std::memcpy(o, first.file.data(), l.sos);
    o[l.sof + 5] = static_cast<uint8_t>(height >> 8);
    o[l.sof + 6] = static_cast<uint8_t>(height);
    o += l.sos;
    if (count > 1) {
      const int64_t interval = bandRows / kMcuRows * ((width + kMcuColumns - 1) / kMcuColumns);
      const auto high = static_cast<uint8_t>(interval >> 8), low = static_cast<uint8_t>(interval);
      const uint8_t dri[] = {0xFF, 0xDD, 0x00, 0x04, high, low};
      std::memcpy(o, dri, sizeof dri);
      o += sizeof dri;
    }
    std::memcpy(o, first.file.data() + l.sos, l.entropyBegin - l.sos);
    o += l.entropyBegin - l.sos;
    return static_cast<size_t>(o - start);
  }

  void encodeBand(unsigned slot, size_t index) {
    const int64_t top = static_cast<int64_t>(index) * jobBandRows;
    const int64_t count = std::min(jobBandRows, jobFrame.height - top);
    Band& band = bands[index];
    if (jobFill != nullptr && !jobFill->fill(top, count)) {
      band.encoded = band.joinable = false;
      return;
    }
    encodeRows(slot, band, top, count);
  }

  // Encodes rows [top, top + count) of the job's frame as a JPEG file of their own.
  void encodeRows(unsigned slot, Band& band, int64_t top, int64_t count) {
    band.joinable = false;
    band.encoded = band.file.compress(handles[slot], jobFrame, top, count, jobQuality);
    if (band.encoded) band.joinable = parseBand(band.file.data(), band.file.size(), band.layout);
  }

  // Encodes the listed bands, on the workers too when there is more than one.
  void encodeBands(const Frame& frame, RowFill* fill, int quality, int64_t bandRows,
                   std::vector<size_t> todo) {
    std::unique_lock lock(jobMutex);
    jobFrame = frame;
    jobFill = fill;
    jobQuality = quality;
    jobBandRows = bandRows;
    jobBands = std::move(todo);
    claimedBands = 0;
    doneBands = 0;
    if (jobBands.size() > 1) jobReady.notify_all();
    encodeClaimed(0, lock);
    jobDone.wait(lock, [&] { return doneBands == jobBands.size() && !hashing; });
    // Kept bands after the last one encoded now (or all of them) are still to be folded in.
    advanceHash(lock);
    jobFill = nullptr;
  }

  // One SOI and the tables of the first band, the SOF with the whole height, a DRI when there is
  // more than one band, the scan header, then each band's entropy-coded data with the next restart
  // marker after it, and EOI.
  bool join(int64_t height, int64_t bandRows, int64_t width, std::vector<uint8_t>& out) {
    const Band& first = bands.front();
    const Layout& l = first.layout;
    const size_t headerSize = l.entropyBegin;
    size_t total = headerSize + 6 + 2;
    for (const Band& b : bands) {
      if (!b.joinable) return false;
      // Same tables, same sampling, same width: the headers differ only in the band's height.
      if (b.layout.entropyBegin != headerSize ||
          std::memcmp(b.file.data(), first.file.data(), l.sof + 5) != 0 ||
          std::memcmp(b.file.data() + l.sof + 7, first.file.data() + l.sof + 7,
                      headerSize - l.sof - 7) != 0) {
        return false;
      }
      total += b.layout.entropyEnd - b.layout.entropyBegin + 2;
    }
    out.resize(total);
    uint8_t* o = out.data();
    o += writeHeader(first, height, bandRows, width, bands.size(), o);
    bandStart.resize(bands.size());
    for (size_t i = 0; i < bands.size(); ++i) {
      const Band& b = bands[i];
      bandStart[i] = static_cast<size_t>(o - out.data());
      const size_t n = b.layout.entropyEnd - b.layout.entropyBegin;
      std::memcpy(o, b.file.data() + b.layout.entropyBegin, n);
      o += n;
      *o++ = 0xFF;
      *o++ = markerAfter(i, bands.size());
    }
    out.resize(static_cast<size_t>(o - out.data()));
    return true;
  }

  // Joins the file into `out`; false when the encoder fails.
  bool encode(const Frame& frame, double quality,
              const std::optional<std::vector<RowRange>>& changed, std::vector<uint8_t>& out,
              RowFill* fill, JpegHash* hash) {
    // Whatever the caller reports next is a change since this call, which may not be kept.
    const bool wasValid = previousValid;
    const size_t hashesKept = hashKnown;
    previousValid = false;
    hashKnown = 0;
    if (!turboJpegEncodable(frame, quality)) return false;
    const int q = turboJpegQuality(quality);
    const int64_t bandRows = bandRowsFor(frame.width);
    const size_t count = static_cast<size_t>((frame.height + bandRows - 1) / bandRows);
    const bool keep = changed.has_value() && wasValid && previousWidth == frame.width &&
                      previousHeight == frame.height && previousQuality == q;
    bands.resize(count);
    std::vector<size_t> todo;
    if (keep) {
      std::vector<bool> touched(count, false);
      for (const RowRange& r : *changed) {
        const int64_t begin = std::max<int64_t>(r.begin, 0);
        const int64_t end = std::min(r.end, frame.height);
        if (begin >= end) continue;
        for (int64_t b = begin / bandRows; b <= (end - 1) / bandRows; ++b) touched[b] = true;
      }
      for (size_t i = 0; i < count; ++i) {
        if (touched[i]) todo.push_back(i);
      }
    } else {
      for (size_t i = 0; i < count; ++i) todo.push_back(i);
    }
    // The hash starts at the first band encoded now (or where the known states of the previous
    // file end, if that is before it): the bytes up to there are the previous file's. It stops
    // after the last band encoded now when the previous file's state there is known, since the
    // bands after it end the previous file too; otherwise it runs to the end.
    jobHash = hash != nullptr;
    jobHeight = frame.height;
    hashBroken = false;
    bandReady.assign(count, 1);
    for (size_t i : todo) bandReady[i] = 0;
    uint64_t previousState = 0;
    if (jobHash && keep && hashesKept > 0 && hashAt.size() == count + 1) {
      hashNext = std::min(todo.empty() ? count : todo.front(), hashesKept - 1);
      hashState = hashAt[hashNext];
      hashStop = std::max(hashNext, todo.empty() ? hashNext : todo.back() + 1);
      if (hashStop < hashesKept) {
        previousState = hashAt[hashStop];
      } else {
        hashStop = count;
      }
    } else {
      hashNext = 0;
      hashStop = count;
      hashAt.assign(count + 1, 0);
    }
    encodeBands(frame, fill, q, bandRows, std::move(todo));
    if (!join(frame.height, bandRows, frame.width, out)) {
      // TurboJPEG can be told by its environment to make files whose bands cannot be joined
      // (tables of their own, restart markers, progressive or arithmetic coding): such frames
      // are encoded in one stream, as JpegEncoder would, and never kept. Every row it reads is
      // filled: the bands encoded now were, and the others are rows of the previous frame.
      if (!std::all_of(bands.begin(), bands.end(), [](const Band& b) { return b.encoded; })) {
        return false;
      }
      encodeRows(0, whole, 0, frame.height);
      if (!whole.encoded) return false;
      out.assign(whole.file.data(), whole.file.data() + whole.file.size());
      ++fileCount;
      if (hash != nullptr) *hash = JpegHash::of(fnv1a64(out), out.size(), fileCount);
      return true;
    }
    ++fileCount;
    if (hash != nullptr) {
      if (hashBroken || hashNext != hashStop) {
        // Not reached: a joined file has every band up to hashStop folded in.
        *hash = JpegHash::of(fnv1a64(out), out.size(), fileCount);
      } else if (hashStop == count) {
        *hash = JpegHash::of(hashAt[count], out.size(), fileCount);
        hashKnown = count + 1;
      } else {
        hashAt[hashStop] = hashState;
        hashKnown = hashStop + 1;
        *hash = JpegHash{.state = hashState,
                         .pendingFrom = bandStart[hashStop],
                         .file = fileCount,
                         .previousFile = fileCount - 1,
                         .previousState = previousState};
      }
    }
    previousValid = true;
    previousWidth = frame.width;
    previousHeight = frame.height;
    previousQuality = q;
    return true;
  }
};

StripJpegEncoder::StripJpegEncoder(int64_t bandRows, unsigned threads)
    : impl_(std::make_unique<Impl>(bandRows, threads)) {}

StripJpegEncoder::~StripJpegEncoder() = default;

std::optional<std::vector<uint8_t>> StripJpegEncoder::encode(const Frame& frame, double quality) {
  std::vector<uint8_t> jpeg;
  if (!encodeInto(frame, quality, jpeg)) return std::nullopt;
  return jpeg;
}

bool StripJpegEncoder::encodeInto(const Frame& frame, double quality, std::vector<uint8_t>& out) {
  return encodeChangedInto(frame, quality, std::nullopt, out, nullptr, nullptr);
}

bool StripJpegEncoder::encodeChangedInto(const Frame& frame, double quality,
                                         const std::optional<std::vector<RowRange>>& changedRows,
                                         std::vector<uint8_t>& out, RowFill* fill, JpegHash* hash) {
  std::lock_guard lock(impl_->callMutex);
  return impl_->encode(frame, quality, changedRows, out, fill, hash);
}

std::optional<std::span<const uint8_t>> StripJpegEncoder::encodeChanged(
    const Frame& frame, double quality, const std::optional<std::vector<RowRange>>& changedRows) {
  std::lock_guard lock(impl_->callMutex);
  if (!impl_->encode(frame, quality, changedRows, impl_->output, nullptr, nullptr)) {
    return std::nullopt;
  }
  return std::span<const uint8_t>(impl_->output);
}

int64_t StripJpegEncoder::bandRows(int64_t width) const {
  return impl_->bandRowsFor(width);
}

}  // namespace halvorine

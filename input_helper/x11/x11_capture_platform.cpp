#include <sys/mman.h>
#include <turbojpeg.h>
#include <unistd.h>
#include <xcb/shm.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "libyuv/convert_argb.h"
#include "libyuv/scale_argb.h"
#include "x11/x11_capture_platform.h"
#include "x11/x11_monitors.h"
#include "x11/x11_platform.h"

namespace halvorine::x11 {

namespace {

// The worker's own reply time-out is longer than any request's budget: what ends a wait on the
// worker is the deadline of the request it works for, which comes after the capture logic has
// stopped waiting, so that a server that stops answering shows up as the capture time-out.
constexpr auto workerReplyTimeout = std::chrono::seconds(30);

// A listed monitor as the platform remembers it for the filter.
class X11Display final : public PlatformDisplay {
 public:
  explicit X11Display(const Monitor& m) : monitor(m) {}
  Monitor monitor;
};

// Follows the monitor by its identifier, like a display filter follows its display: a monitor
// that moved or changed size is captured where it is now.
class X11DisplayFilter final : public ContentFilter {
 public:
  explicit X11DisplayFilter(const Monitor& m) : monitor(m) {}
  Monitor monitor;
};

class X11Image final : public CapturedImage {
 public:
  X11Image(int64_t w, int64_t h, const uint8_t* p, int64_t stride)
      : width_(w), height_(h), pixels_(p), stride_(stride) {}
  int64_t width() const override { return width_; }
  int64_t height() const override { return height_; }
  const uint8_t* pixels() const override { return pixels_; }
  int64_t bytesPerRow() const override { return stride_; }

 private:
  int64_t width_, height_;
  const uint8_t* pixels_;
  int64_t stride_;
};

// Set on the worker thread of a capture platform.
thread_local bool onCaptureWorker = false;

class X11CapturePlatform final : public CapturePlatform {
 public:
  explicit X11CapturePlatform(XConnection& mainConnection)
      : main_(mainConnection), worker_(workerReplyTimeout), grabber_(worker_) {}

  ~X11CapturePlatform() override {
    {
      std::lock_guard lock(queueMutex_);
      stopping_ = true;
    }
    queueCv_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

  bool systemVersionAtLeast(int, int, int) override { return true; }

  uint32_t mainDisplayId(Deadline deadline) override {
    XConnection::DeadlineScope scope(connection(), deadline);
    const MonitorList list = listMonitors(connection());
    const Monitor* m = mainMonitor(list);
    return m != nullptr ? m->id : 0;
  }

  Rect displayBounds(uint32_t displayId, Deadline deadline) override {
    XConnection::DeadlineScope scope(connection(), deadline);
    const MonitorList list = listMonitors(connection());
    const Monitor* m = findMonitor(list, displayId);
    if (m == nullptr) return Rect::null();
    return monitorBounds(*m);
  }

  // A job that only gets its turn after its deadline fails without asking the server.
  void getShareableContent(bool, bool, Deadline deadline,
                           ShareableContentCompletion completion) override {
    post([this, deadline, completion = std::move(completion)] {
      XConnection::DeadlineScope scope(worker_, deadline);
      const MonitorList list = listMonitors(worker_);
      if (!list.ok()) {
        completion(std::nullopt, PlatformError{list.errorCode});
        return;
      }
      ShareableContent content;
      for (const Monitor& m : list.monitors) {
        content.displays.push_back(
            ListedDisplay{m.id, m.width, m.height, std::make_shared<const X11Display>(m)});
      }
      completion(std::move(content), std::nullopt);
    });
  }

  std::shared_ptr<ContentFilter> makeDisplayFilter(const ListedDisplay& display) override {
    if (auto* d = dynamic_cast<const X11Display*>(display.native.get())) {
      return std::make_shared<X11DisplayFilter>(d->monitor);
    }
    Monitor m;
    m.id = display.displayId;
    m.width = static_cast<uint32_t>(display.width);
    m.height = static_cast<uint32_t>(display.height);
    return std::make_shared<X11DisplayFilter>(m);
  }

  void captureImage(std::shared_ptr<ContentFilter> filter, const StreamConfiguration& configuration,
                    Deadline deadline, ScreenshotCompletion completion) override {
    post([this, filter = std::move(filter), configuration, deadline,
          completion = std::move(completion)] {
      XConnection::DeadlineScope scope(worker_, deadline);
      auto* f = dynamic_cast<X11DisplayFilter*>(filter.get());
      if (f == nullptr) {
        completion(nullptr, std::nullopt);
        return;
      }
      // The monitor as it is now; a monitor that has gone is read where it was.
      Monitor monitor = f->monitor;
      const MonitorList list = listMonitors(worker_);
      if (const Monitor* now = findMonitor(list, monitor.id)) monitor = *now;
      GrabResult grab = grabber_.grab(monitor.x, monitor.y, monitor.width, monitor.height,
                                      configuration.width, configuration.height);
      if (!grab.ok()) {
        completion(nullptr, grab.errorCode != 0 ? std::optional(PlatformError{grab.errorCode})
                                                : std::nullopt);
        return;
      }
      completion(std::make_shared<X11Image>(grab.width, grab.height, grab.pixels, grab.stride),
                 std::nullopt);
    });
  }

  std::optional<std::vector<uint8_t>> encodeJpeg(const CapturedImage& image,
                                                 double quality) override {
    return encoder_.encode(image.pixels(), image.width(), image.height(), image.bytesPerRow(),
                           quality);
  }

  uint64_t uptimeNanoseconds() override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }

  Point currentMouseLocation(Deadline deadline) override {
    XConnection::DeadlineScope scope(connection(), deadline);
    return queryPointer(connection()).value_or(Point{});
  }

 private:
  // Each thread talks to X over its own connection: the worker over the platform's, every other
  // caller (the main thread) over the connection it passed in.
  XConnection& connection() { return onCaptureWorker ? worker_ : main_; }

  void post(std::function<void()> job) {
    {
      std::lock_guard lock(queueMutex_);
      jobs_.push_back(std::move(job));
      // Started with the first capture, so that a process that never captures has no thread.
      if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    }
    queueCv_.notify_one();
  }

  void run() {
    onCaptureWorker = true;
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(queueMutex_);
        queueCv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;  // pending jobs are dropped with their completions
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  XConnection& main_;
  XConnection worker_;
  RootGrabber grabber_;
  JpegEncoder encoder_;
  std::mutex queueMutex_;
  std::condition_variable queueCv_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

RootGrabber::RootGrabber(XConnection& connection) : x_(connection) {}

// The server lets go of the segment when the connection closes.
RootGrabber::~RootGrabber() {
  if (shmAddr_ != nullptr) munmap(shmAddr_, shmSize_);
  if (shmFd_ >= 0) close(shmFd_);
}

bool RootGrabber::ensureShm(xcb_connection_t* c, size_t bytes) {
  const uint64_t generation = x_.generation();
  if (shmUnusableOn_ == generation) return false;
  if (shmAddr_ == nullptr || shmSize_ < bytes) {
    if (shmAttachedOn_ == generation) xcb_shm_detach(c, shmSeg_);
    shmAttachedOn_ = 0;
    if (shmAddr_ != nullptr) munmap(shmAddr_, shmSize_);
    if (shmFd_ >= 0) close(shmFd_);
    shmAddr_ = nullptr;
    shmFd_ = -1;
    shmSize_ = 0;
    const int fd = memfd_create("halvorine-capture", MFD_CLOEXEC);
    if (fd < 0) return false;
    if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
      close(fd);
      return false;
    }
    void* addr = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) {
      close(fd);
      return false;
    }
    shmFd_ = fd;
    shmAddr_ = static_cast<uint8_t*>(addr);
    shmSize_ = bytes;
  }
  if (shmAttachedOn_ != generation) {
    const xcb_query_extension_reply_t* ext = x_.extension(xcb_shm_id);
    if (ext == nullptr) return false;  // the connection failed on the way
    if (ext->present == 0) {
      shmUnusableOn_ = generation;
      return false;
    }
    auto version = x_.reply<xcb_shm_query_version_reply_t>(xcb_shm_query_version(c));
    if (!x_.connected()) return false;
    if (!version || (version->major_version == 1 && version->minor_version < 2)) {
      shmUnusableOn_ = generation;
      return false;
    }
    const int fd = dup(shmFd_);
    if (fd < 0) return false;
    shmSeg_ = xcb_generate_id(c);
    // The request carries the descriptor and closes it once sent.
    xcb_shm_attach_fd(c, shmSeg_, fd, 1);
    shmAttachedOn_ = generation;
  }
  return true;
}

bool RootGrabber::checkFormat(xcb_connection_t* c, uint8_t depth, int& bitsPerPixel,
                              int& scanlinePad) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  const xcb_screen_t* screen = x_.screen();
  const xcb_visualtype_t* visual = nullptr;
  for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem > 0 && visual == nullptr;
       xcb_depth_next(&d)) {
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
      if (v.data->visual_id == screen->root_visual) {
        visual = v.data;
        break;
      }
    }
  }
  if (visual == nullptr || visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR ||
      visual->red_mask != 0xff0000 || visual->green_mask != 0xff00 || visual->blue_mask != 0xff ||
      (depth != 24 && depth != 32)) {
    return false;
  }
  for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem > 0; xcb_format_next(&f)) {
    if (f.data->depth == depth) {
      bitsPerPixel = f.data->bits_per_pixel;
      scanlinePad = f.data->scanline_pad;
      return bitsPerPixel == 32 || bitsPerPixel == 24;
    }
  }
  return false;
}

GrabResult RootGrabber::grab(int32_t x, int32_t y, uint32_t width, uint32_t height,
                             int64_t outWidth, int64_t outHeight) {
  GrabResult result;
  xcb_connection_t* c = x_.get();
  if (c == nullptr) {
    result.errorCode = x_.failureCode();
    return result;
  }
  if (width == 0 || height == 0 || width > 32767 || height > 32767 || outWidth < 1 ||
      outHeight < 1 || outWidth > 32767 || outHeight > 32767 || x < -32768 || x > 32767 ||
      y < -32768 || y > 32767) {
    return result;  // nothing the server could deliver: a failure without an X error
  }
  const uint8_t depth = x_.screen()->root_depth;
  int bpp = 0, pad = 0;
  if (!checkFormat(c, depth, bpp, pad)) return result;
  const size_t padBytes = static_cast<size_t>(pad) / 8;
  size_t stride = static_cast<size_t>(width) * static_cast<size_t>(bpp / 8);
  if (padBytes > 1) stride = (stride + padBytes - 1) / padBytes * padBytes;
  const size_t bytes = stride * height;

  const uint8_t* source = nullptr;
  plainReply_.reset();
  const auto sx = static_cast<int16_t>(x), sy = static_cast<int16_t>(y);
  const auto sw = static_cast<uint16_t>(width), sh = static_cast<uint16_t>(height);
  const bool shm = ensureShm(c, bytes);
  if (!x_.connected()) {
    // Dropped while shared memory was being set up: c is gone.
    result.errorCode = x_.failureCode();
    return result;
  }
  if (shm) {
    XcbPtr<xcb_generic_error_t> error;
    auto reply = x_.reply<xcb_shm_get_image_reply_t>(
        xcb_shm_get_image(c, x_.screen()->root, sx, sy, sw, sh, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                          shmSeg_, 0),
        &error);
    if (reply) {
      source = shmAddr_;
      shmFailures_ = 0;
    } else if (!error) {
      // The connection failed on the way.
      shmAttachedOn_ = 0;
      result.errorCode = x_.failureCode();
      return result;
    } else {
      // A server that cannot map the segment (another host, another user): attach again next
      // time, and after two failures in a row use plain GetImage on this connection.
      shmAttachedOn_ = 0;
      if (++shmFailures_ >= 2) shmUnusableOn_ = x_.generation();
    }
  }
  if (source == nullptr) {
    XcbPtr<xcb_generic_error_t> error;
    plainReply_ = x_.reply<xcb_get_image_reply_t>(
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, x_.screen()->root, sx, sy, sw, sh, ~0u),
        &error);
    if (!plainReply_) {
      if (error) {
        result.errorCode = error->error_code;
      } else {
        result.errorCode = x_.failureCode();
      }
      return result;
    }
    if (static_cast<size_t>(xcb_get_image_data_length(plainReply_.get())) < bytes) return result;
    source = xcb_get_image_data(plainReply_.get());
  }

  // 32-bit pixels: blue, green, red, unused, as the encoder and the scaler take them.
  const uint8_t* argb = source;
  int argbStride = static_cast<int>(stride);
  if (bpp == 24) {
    converted_.resize(static_cast<size_t>(width) * height * 4);
    libyuv::RGB24ToARGB(source, static_cast<int>(stride), converted_.data(),
                        static_cast<int>(width) * 4, static_cast<int>(width),
                        static_cast<int>(height));
    argb = converted_.data();
    argbStride = static_cast<int>(width) * 4;
  }
  if (outWidth == width && outHeight == height) {
    result.pixels = argb;
    result.stride = argbStride;
  } else {
    scaled_.resize(static_cast<size_t>(outWidth) * static_cast<size_t>(outHeight) * 4);
    if (libyuv::ARGBScale(argb, argbStride, static_cast<int>(width), static_cast<int>(height),
                          scaled_.data(), static_cast<int>(outWidth) * 4,
                          static_cast<int>(outWidth), static_cast<int>(outHeight),
                          libyuv::kFilterBox) != 0) {
      return result;
    }
    result.pixels = scaled_.data();
    result.stride = outWidth * 4;
  }
  result.width = outWidth;
  result.height = outHeight;
  return result;
}

JpegEncoder::JpegEncoder() = default;

JpegEncoder::~JpegEncoder() {
  if (buffer_ != nullptr) tjFree(buffer_);
  if (handle_ != nullptr) tjDestroy(handle_);
}

std::optional<std::vector<uint8_t>> JpegEncoder::encode(const uint8_t* pixels, int64_t width,
                                                        int64_t height, int64_t bytesPerRow,
                                                        double quality) {
  if (pixels == nullptr || width < 1 || height < 1 || width > 65535 || height > 65535 ||
      bytesPerRow < width * 4 || !std::isfinite(quality)) {
    return std::nullopt;
  }
  std::lock_guard lock(mutex_);
  if (handle_ == nullptr) handle_ = tjInitCompress();
  if (handle_ == nullptr) return std::nullopt;
  const unsigned long needed =
      tjBufSize(static_cast<int>(width), static_cast<int>(height), TJSAMP_420);
  if (needed == static_cast<unsigned long>(-1)) return std::nullopt;
  if (capacity_ < needed) {
    if (buffer_ != nullptr) tjFree(buffer_);
    buffer_ = tjAlloc(static_cast<int>(needed));
    capacity_ = buffer_ != nullptr ? needed : 0;
    if (buffer_ == nullptr) return std::nullopt;
  }
  const int q = static_cast<int>(std::lround(std::clamp(quality, 0.0, 1.0) * 100.0));
  unsigned char* out = buffer_;
  unsigned long size = capacity_;
  // The buffer is kept between frames; NOREALLOC keeps the encoder from replacing it.
  if (tjCompress2(handle_, pixels, static_cast<int>(width), static_cast<int>(bytesPerRow),
                  static_cast<int>(height), TJPF_BGRX, &out, &size, TJSAMP_420, std::max(q, 1),
                  TJFLAG_NOREALLOC) != 0) {
    return std::nullopt;
  }
  return std::vector<uint8_t>(out, out + size);
}

std::unique_ptr<CapturePlatform> makeX11CapturePlatform(XConnection& mainThreadConnection) {
  return std::make_unique<X11CapturePlatform>(mainThreadConnection);
}

}  // namespace halvorine::x11

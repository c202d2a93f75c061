#include "wayland/wayland_screencopy.h"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "wayland/protocols/wlr-screencopy-unstable-v1-client.h"

namespace halvorine::wayland {

namespace {

// Where blue, green and red sit in a little-endian 32-bit pixel word, and their width.
struct Layout {
  uint32_t format;
  int blueShift, greenShift, redShift;
  int bits;
};

constexpr Layout layouts[] = {
    {WL_SHM_FORMAT_ARGB8888, 0, 8, 16, 8},      {WL_SHM_FORMAT_XRGB8888, 0, 8, 16, 8},
    {WL_SHM_FORMAT_ABGR8888, 16, 8, 0, 8},      {WL_SHM_FORMAT_XBGR8888, 16, 8, 0, 8},
    {WL_SHM_FORMAT_RGBA8888, 8, 16, 24, 8},     {WL_SHM_FORMAT_RGBX8888, 8, 16, 24, 8},
    {WL_SHM_FORMAT_BGRA8888, 24, 16, 8, 8},     {WL_SHM_FORMAT_BGRX8888, 24, 16, 8, 8},
    {WL_SHM_FORMAT_ARGB2101010, 0, 10, 20, 10}, {WL_SHM_FORMAT_XRGB2101010, 0, 10, 20, 10},
    {WL_SHM_FORMAT_ABGR2101010, 20, 10, 0, 10}, {WL_SHM_FORMAT_XBGR2101010, 20, 10, 0, 10},
};

const Layout* layoutOf(uint32_t format) {
  for (const Layout& l : layouts) {
    if (l.format == format) return &l;
  }
  return nullptr;
}

}  // namespace

bool isSupportedShmFormat(uint32_t format) {
  return layoutOf(format) != nullptr;
}

bool convertToBgrx(uint32_t format, bool yInvert, const uint8_t* source, uint32_t width,
                   uint32_t height, uint32_t stride, uint8_t* target, size_t targetStride) {
  const Layout* l = layoutOf(format);
  if (l == nullptr || size_t{stride} < size_t{width} * 4 || targetStride < size_t{width} * 4) {
    return false;
  }
  const bool alreadyBgrx = l->bits == 8 && l->blueShift == 0 && l->greenShift == 8;
  const int drop = l->bits - 8;
  const uint32_t mask = (1u << l->bits) - 1;
  for (uint32_t row = 0; row < height; ++row) {
    const uint8_t* in = source + size_t{yInvert ? height - 1 - row : row} * stride;
    uint8_t* out = target + size_t{row} * targetStride;
    if (alreadyBgrx) {
      std::memcpy(out, in, size_t{width} * 4);
      for (uint32_t x = 0; x < width; ++x) out[x * 4 + 3] = 255;
      continue;
    }
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t word;
      std::memcpy(&word, in + size_t{x} * 4, 4);  // wl_shm formats are little-endian
      out[x * 4 + 0] = static_cast<uint8_t>(((word >> l->blueShift) & mask) >> drop);
      out[x * 4 + 1] = static_cast<uint8_t>(((word >> l->greenShift) & mask) >> drop);
      out[x * 4 + 2] = static_cast<uint8_t>(((word >> l->redShift) & mask) >> drop);
      out[x * 4 + 3] = 255;
    }
  }
  return true;
}

// What the compositor told about one frame.
struct Screencopy::FrameState {
  bool haveBuffer = false;
  uint32_t format = 0, width = 0, height = 0, stride = 0;
  bool bufferDone = false;
  bool yInvert = false;
  bool ready = false;
  bool failed = false;
  // The damage boxes of a copy_with_damage, in the buffer's rows as the compositor sent them.
  std::vector<PixelRect> damage;
  // Where the ready event stood among all ready events of the Screencopy.
  uint64_t readyOrder = 0;
  uint64_t* readyEvents = nullptr;
};

namespace {

using FrameState = Screencopy::FrameState;

const zwlr_screencopy_frame_v1_listener frameListener = {
    .buffer =
        [](void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height,
           uint32_t stride) {
          auto* f = static_cast<FrameState*>(data);
          // The first shared-memory format that we read wins.
          if (!f->haveBuffer && isSupportedShmFormat(format)) {
            f->haveBuffer = true;
            f->format = format;
            f->width = width;
            f->height = height;
            f->stride = stride;
          }
        },
    .flags =
        [](void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
          static_cast<FrameState*>(data)->yInvert =
              (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
        },
    .ready =
        [](void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
          auto* f = static_cast<FrameState*>(data);
          f->ready = true;
          f->readyOrder = ++*f->readyEvents;
        },
    .failed = [](void* data,
                 zwlr_screencopy_frame_v1*) { static_cast<FrameState*>(data)->failed = true; },
    .damage =
        [](void* data, zwlr_screencopy_frame_v1*, uint32_t x, uint32_t y, uint32_t width,
           uint32_t height) {
          static_cast<FrameState*>(data)->damage.push_back(
              {int64_t{x}, int64_t{y}, int64_t{width}, int64_t{height}});
        },
    .linux_dmabuf = [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {},
    .buffer_done =
        [](void* data, zwlr_screencopy_frame_v1*) {
          static_cast<FrameState*>(data)->bufferDone = true;
        },
};

// The boxes clipped to the frame, turned into its top-down rows.
std::vector<PixelRect> inFrame(const std::vector<PixelRect>& boxes, const FrameState& f) {
  std::vector<PixelRect> result;
  const int64_t w = f.width, h = f.height;
  for (PixelRect r : boxes) {
    const int64_t left = std::clamp<int64_t>(r.x, 0, w),
                  right = std::clamp<int64_t>(r.x + r.width, 0, w);
    const int64_t top = std::clamp<int64_t>(r.y, 0, h),
                  bottom = std::clamp<int64_t>(r.y + r.height, 0, h);
    if (right <= left || bottom <= top) continue;
    r = {left, top, right - left, bottom - top};
    if (f.yInvert) r.y = h - r.y - r.height;
    result.push_back(r);
  }
  return result;
}

bool sameLayout(const std::vector<Output>& a, const std::vector<Output>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Output& x, const Output& y) {
    return x.displayId == y.displayId && x.bounds == y.bounds && x.pixelWidth == y.pixelWidth &&
           x.pixelHeight == y.pixelHeight && x.transform == y.transform;
  });
}

}  // namespace

ShmBuffer::~ShmBuffer() {
  unmap();
}

void ShmBuffer::releaseProxies() {
  if (buffer != nullptr) wl_buffer_destroy(buffer);
  if (pool != nullptr) wl_shm_pool_destroy(pool);
  buffer = nullptr;
  pool = nullptr;
}

void ShmBuffer::unmap() {
  if (map != nullptr) munmap(map, mapSize);
  if (fd >= 0) close(fd);
  map = nullptr;
  mapSize = 0;
  fd = -1;
}

bool ShmBuffer::ensure(wl_shm* shm, uint32_t f, uint32_t w, uint32_t h, uint32_t s) {
  if (buffer != nullptr && f == format && w == width && h == height && s == stride) return true;
  releaseProxies();
  const size_t size = size_t{s} * h;
  if (size == 0 || size > INT32_MAX) return false;
  if (size > mapSize) {
    unmap();
    fd = memfd_create("halvorine-screencopy", MFD_CLOEXEC);
    if (fd < 0) return false;
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
      unmap();
      return false;
    }
    void* m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
      unmap();
      return false;
    }
    map = m;
    mapSize = size;
  }
  pool = wl_shm_create_pool(shm, fd, static_cast<int32_t>(mapSize));
  buffer = wl_shm_pool_create_buffer(pool, 0, static_cast<int32_t>(w), static_cast<int32_t>(h),
                                     static_cast<int32_t>(s), f);
  format = f;
  width = w;
  height = h;
  stride = s;
  return true;
}

void Screencopy::PendingFrame::destroy() {
  if (proxy != nullptr) zwlr_screencopy_frame_v1_destroy(proxy);
  proxy = nullptr;
  state.reset();
}

Screencopy::Screencopy(Connection& connection) : connection_(connection) {
  dropHandler_ = connection_.onDrop([this] { releaseProxies(); });
}

Screencopy::~Screencopy() {
  releaseProxies();
  connection_.removeDropHandler(dropHandler_);
}

// Everything made on the connection goes with it, and with it all that was known of the outputs.
void Screencopy::releaseProxies() {
  if (frame_ != nullptr) zwlr_screencopy_frame_v1_destroy(frame_);
  frame_ = nullptr;
  for (PendingFrame& f : inFlight_) f.destroy();
  buffer_.releaseProxies();
  for (auto& [id, t] : tracked_) {
    t.watch.destroy();
    t.watchBuffer->releaseProxies();
  }
  tracked_.clear();
}

Screencopy::Error Screencopy::check(uint32_t displayId, wl_output** output) {
  if (connection_.get() == nullptr) return noCompositor;
  if (connection_.screencopyManager() == nullptr || connection_.shm() == nullptr) {
    return noScreencopy;
  }
  *output = nullptr;
  for (const Output& o : connection_.outputs()) {
    if (o.displayId == displayId) *output = o.output;
  }
  return *output == nullptr ? noSuchOutput : none;
}

Screencopy::PendingFrame Screencopy::start(wl_output* output) {
  PendingFrame f;
  f.state = std::make_unique<FrameState>();
  f.state->readyEvents = &readyEvents_;
  f.proxy = zwlr_screencopy_manager_v1_capture_output(connection_.screencopyManager(), 0, output);
  zwlr_screencopy_frame_v1_add_listener(f.proxy, &frameListener, f.state.get());
  return f;
}

Screencopy::Error Screencopy::convert(const FrameState& state, const uint8_t* pixels) {
  pixels_.resize(size_t{state.width} * state.height * 4);
  if (!convertToBgrx(state.format, state.yInvert, pixels, state.width, state.height, state.stride,
                     pixels_.data(), size_t{state.width} * 4)) {
    return unsupportedFormat;
  }
  width_ = state.width;
  height_ = state.height;
  format_ = state.format;
  yInvert_ = state.yInvert;
  return none;
}

Screencopy::Error Screencopy::capture(uint32_t displayId) {
  wl_output* output = nullptr;
  if (const Error e = check(displayId, &output); e != none) return e;

  PendingFrame f = start(output);
  frame_ = f.proxy;
  FrameState& state = *f.state;
  const bool announcesAll = connection_.screencopyVersion() >= 3;
  const auto finish = [&](Error e) {
    if (frame_ != nullptr) zwlr_screencopy_frame_v1_destroy(frame_);
    frame_ = nullptr;
    return e;
  };
  // Version 3 lists every buffer kind and then says buffer_done; before it, the one shared-memory
  // buffer event is all there is.
  if (!connection_.dispatchUntil(
          [&] { return state.failed || (announcesAll ? state.bufferDone : state.haveBuffer); })) {
    return finish(connectionLost);
  }
  if (state.failed) return finish(copyFailed);
  if (!state.haveBuffer) return finish(unsupportedFormat);
  if (!buffer_.ensure(connection_.shm(), state.format, state.width, state.height, state.stride)) {
    return finish(bufferFailed);
  }
  zwlr_screencopy_frame_v1_copy(frame_, buffer_.buffer);
  if (!connection_.dispatchUntil([&] { return state.ready || state.failed; })) {
    return finish(connectionLost);
  }
  if (state.failed) return finish(copyFailed);
  return finish(convert(state, static_cast<const uint8_t*>(buffer_.map)));
}

void Screencopy::collect(Tracked& t) {
  if (t.watch.proxy == nullptr) {
    t.damageKnown = false;
    return;
  }
  const FrameState& w = *t.watch.state;
  if (w.failed) {
    t.damageKnown = false;
    t.dirty = true;
  } else if (w.ready) {
    t.dirty = true;
    for (const PixelRect& r : inFrame(w.damage, w)) t.damage.push_back(r);
  }
}

Screencopy::Error Screencopy::captureTracked(uint32_t displayId) {
  wl_output* output = nullptr;
  const Error checked = check(displayId, &output);
  if (checked != none) {
    if (const auto it = tracked_.find(displayId); it != tracked_.end()) {
      it->second.watch.destroy();
      it->second.watchBuffer->releaseProxies();
      tracked_.erase(it);
    }
    return checked;
  }
  lastChanged_.reset();
  lastChangedSince_.reset();
  const std::vector<Output> layout = connection_.outputs();
  Tracked& t = tracked_[displayId];
  // What the last capture's watch saw still counts towards what changed since that capture; the
  // watch itself goes, so that only the two new ones below take damage from now on.
  const bool continues =
      t.mark != 0 && t.generation == connection_.generation() && sameLayout(t.layout, layout);
  collect(t);
  const bool damageKnown = continues && t.damageKnown;
  const DamageMark previousMark = t.mark;
  std::vector<PixelRect> changed = std::move(t.damage);
  t.damage.clear();
  t.watch.destroy();
  t.dirty = false;
  t.damageKnown = false;
  t.mark = 0;

  // Members, so that a connection lost on the way takes their proxies with it.
  PendingFrame* const watches = inFlight_;
  PendingFrame& copy = inFlight_[2];
  watches[0] = start(output);
  watches[1] = start(output);
  copy = start(output);
  const bool announcesAll = connection_.screencopyVersion() >= 3;
  const auto announced = [&](const FrameState& s) {
    return s.failed || (announcesAll ? s.bufferDone : s.haveBuffer);
  };
  const auto finish = [&](Error e) {
    for (PendingFrame& f : inFlight_) f.destroy();
    return e;
  };
  if (!connection_.dispatchUntil([&] {
        return announced(*watches[0].state) && announced(*watches[1].state) &&
               announced(*copy.state);
      })) {
    return finish(connectionLost);
  }
  const FrameState& state = *copy.state;
  for (const PendingFrame* f : {&watches[0], &watches[1], &copy}) {
    if (f->state->failed) return finish(copyFailed);
    if (!f->state->haveBuffer) return finish(unsupportedFormat);
  }
  if (!buffer_.ensure(connection_.shm(), state.format, state.width, state.height, state.stride) ||
      !t.watchBuffer->ensure(connection_.shm(), state.format, state.width, state.height,
                             state.stride)) {
    return finish(bufferFailed);
  }
  // One batch: the compositor takes all three before its next commit. The watches share a buffer
  // that is never read.
  zwlr_screencopy_frame_v1_copy_with_damage(watches[0].proxy, t.watchBuffer->buffer);
  zwlr_screencopy_frame_v1_copy_with_damage(watches[1].proxy, t.watchBuffer->buffer);
  zwlr_screencopy_frame_v1_copy(copy.proxy, buffer_.buffer);
  if (!connection_.dispatchUntil([&] { return state.ready || state.failed; })) {
    return finish(connectionLost);
  }
  if (state.failed) return finish(copyFailed);
  if (const Error e = convert(state, static_cast<const uint8_t*>(buffer_.map)); e != none) {
    return finish(e);
  }

  // A watch that became ready before the copy did so at the copy's commit: it took the damage
  // gathered up to the frame. One ready after the copy saw damage drawn after the frame.
  const auto atCopy = [&](const FrameState& w) {
    return w.ready && w.readyOrder < state.readyOrder;
  };
  const bool first = atCopy(*watches[0].state), second = atCopy(*watches[1].state);
  PendingFrame* watch = nullptr;
  if (first != second) {
    PendingFrame& took = first ? watches[0] : watches[1];
    for (const PixelRect& r : inFrame(took.state->damage, *took.state)) changed.push_back(r);
    took.destroy();
    watch = first ? &watches[1] : &watches[0];
  } else if (!first) {
    // Nothing drawn since the last damage was taken: the first watch goes on watching.
    watches[1].destroy();
    watch = &watches[0];
  }
  t.generation = connection_.generation();
  t.layout = layout;
  t.mark = ++lastMark_;
  if (watch != nullptr && !watch->state->failed) {
    t.watch.proxy = std::exchange(watch->proxy, nullptr);
    t.watch.state = std::move(watch->state);
    t.damageKnown = true;
  } else {
    // Both took damage at the same commit, or one failed: nothing is known from here on.
    t.dirty = true;
  }
  for (PendingFrame& f : inFlight_) f.destroy();
  if (damageKnown) {
    lastChanged_ = std::move(changed);
    lastChangedSince_ = previousMark;
  }
  return none;
}

bool Screencopy::unchangedSince(uint32_t displayId, DamageMark mark) {
  const auto it = tracked_.find(displayId);
  if (it == tracked_.end() || it->second.mark != mark || it->second.watch.proxy == nullptr) {
    return false;
  }
  // Whatever the compositor did before it took this round trip shows up in its events: a watch
  // that became ready, an output that changed.
  if (connection_.get() == nullptr || !connection_.roundtrip()) return false;
  const auto again = tracked_.find(displayId);  // a lost connection forgets every output
  if (again == tracked_.end()) return false;
  const Tracked& t = again->second;
  return t.mark == mark && t.generation == connection_.generation() && t.watch.proxy != nullptr &&
         !t.dirty && !t.watch.state->ready && !t.watch.state->failed &&
         sameLayout(t.layout, connection_.outputs());
}

Screencopy::Image Screencopy::image() const {
  if (width_ == 0) return Image{};
  return Image{width_, height_, size_t{width_} * 4, pixels_.data()};
}

}  // namespace halvorine::wayland

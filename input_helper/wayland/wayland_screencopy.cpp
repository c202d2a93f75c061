#include "wayland/wayland_screencopy.h"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstring>

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

namespace {

// What the compositor told about one frame.
struct FrameState {
  bool haveBuffer = false;
  uint32_t format = 0, width = 0, height = 0, stride = 0;
  bool bufferDone = false;
  bool yInvert = false;
  bool ready = false;
  bool failed = false;
};

const zwlr_screencopy_frame_v1_listener frameListener = {
    .buffer =
        [](void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height,
           uint32_t stride) {
          auto* f = static_cast<FrameState*>(data);
          // The first shared-memory format that we read wins.
          if (!f->haveBuffer && isSupportedShmFormat(format)) {
            *f = FrameState{true, format, width, height, stride};
          }
        },
    .flags =
        [](void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
          static_cast<FrameState*>(data)->yInvert =
              (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
        },
    .ready = [](void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t,
                uint32_t) { static_cast<FrameState*>(data)->ready = true; },
    .failed = [](void* data,
                 zwlr_screencopy_frame_v1*) { static_cast<FrameState*>(data)->failed = true; },
    .damage = [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {},
    .linux_dmabuf = [](void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {},
    .buffer_done =
        [](void* data, zwlr_screencopy_frame_v1*) {
          static_cast<FrameState*>(data)->bufferDone = true;
        },
};

}  // namespace

Screencopy::Screencopy(Connection& connection) : connection_(connection) {
  dropHandler_ = connection_.onDrop([this] { releaseProxies(); });
}

Screencopy::~Screencopy() {
  releaseProxies();
  unmap();
  connection_.removeDropHandler(dropHandler_);
}

void Screencopy::releaseProxies() {
  if (frame_ != nullptr) zwlr_screencopy_frame_v1_destroy(frame_);
  if (buffer_ != nullptr) wl_buffer_destroy(buffer_);
  if (pool_ != nullptr) wl_shm_pool_destroy(pool_);
  frame_ = nullptr;
  buffer_ = nullptr;
  pool_ = nullptr;
}

void Screencopy::unmap() {
  if (map_ != nullptr) munmap(map_, mapSize_);
  if (fd_ >= 0) close(fd_);
  map_ = nullptr;
  mapSize_ = 0;
  fd_ = -1;
}

bool Screencopy::ensureBuffer(uint32_t format, uint32_t width, uint32_t height, uint32_t stride) {
  if (buffer_ != nullptr && format == bufferFormat_ && width == bufferWidth_ &&
      height == bufferHeight_ && stride == bufferStride_) {
    return true;
  }
  if (buffer_ != nullptr) wl_buffer_destroy(buffer_);
  if (pool_ != nullptr) wl_shm_pool_destroy(pool_);
  buffer_ = nullptr;
  pool_ = nullptr;
  const size_t size = size_t{stride} * height;
  if (size == 0 || size > INT32_MAX) return false;
  if (size > mapSize_) {
    unmap();
    fd_ = memfd_create("halvorine-screencopy", MFD_CLOEXEC);
    if (fd_ < 0) return false;
    if (ftruncate(fd_, static_cast<off_t>(size)) != 0) {
      unmap();
      return false;
    }
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED) {
      unmap();
      return false;
    }
    map_ = map;
    mapSize_ = size;
  }
  pool_ = wl_shm_create_pool(connection_.shm(), fd_, static_cast<int32_t>(mapSize_));
  buffer_ =
      wl_shm_pool_create_buffer(pool_, 0, static_cast<int32_t>(width), static_cast<int32_t>(height),
                                static_cast<int32_t>(stride), format);
  bufferFormat_ = format;
  bufferWidth_ = width;
  bufferHeight_ = height;
  bufferStride_ = stride;
  return true;
}

Screencopy::Error Screencopy::capture(uint32_t displayId) {
  if (connection_.get() == nullptr) return noCompositor;
  zwlr_screencopy_manager_v1* manager = connection_.screencopyManager();
  if (manager == nullptr || connection_.shm() == nullptr) return noScreencopy;
  wl_output* output = nullptr;
  for (const Output& o : connection_.outputs()) {
    if (o.displayId == displayId) output = o.output;
  }
  if (output == nullptr) return noSuchOutput;

  FrameState state;
  frame_ = zwlr_screencopy_manager_v1_capture_output(manager, 0, output);
  zwlr_screencopy_frame_v1_add_listener(frame_, &frameListener, &state);
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
  if (!ensureBuffer(state.format, state.width, state.height, state.stride)) {
    return finish(bufferFailed);
  }
  zwlr_screencopy_frame_v1_copy(frame_, buffer_);
  if (!connection_.dispatchUntil([&] { return state.ready || state.failed; })) {
    return finish(connectionLost);
  }
  if (state.failed) return finish(copyFailed);
  pixels_.resize(size_t{state.width} * state.height * 4);
  if (!convertToBgrx(state.format, state.yInvert, static_cast<const uint8_t*>(map_), state.width,
                     state.height, state.stride, pixels_.data(), size_t{state.width} * 4)) {
    return finish(unsupportedFormat);
  }
  width_ = state.width;
  height_ = state.height;
  format_ = state.format;
  yInvert_ = state.yInvert;
  return finish(none);
}

Screencopy::Image Screencopy::image() const {
  if (width_ == 0) return Image{};
  return Image{width_, height_, size_t{width_} * 4, pixels_.data()};
}

}  // namespace halvorine::wayland

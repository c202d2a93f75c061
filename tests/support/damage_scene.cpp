#include "damage_scene.h"

#include <sys/mman.h>
#include <unistd.h>
#include <xcb/shm.h>

#include <cstdlib>
#include <stdexcept>

namespace halvorine::testing {

Scene::Scene(const std::string& display) {
  c_ = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c_)) throw std::runtime_error("cannot connect");
  s_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  background_ = window(s_->root, 0, 0, s_->width_in_pixels, s_->height_in_pixels, 0x000000);
  gc_ = xcb_generate_id(c_);
  xcb_create_gc(c_, gc_, background_, 0, nullptr);
  shmBytes_ = 4096;
  const int fd = memfd_create("scene", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(shmBytes_)) != 0) {
    throw std::runtime_error("no memfd");
  }
  shm_ =
      static_cast<uint32_t*>(mmap(nullptr, shmBytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  segment_ = xcb_generate_id(c_);
  xcb_shm_attach_fd(c_, segment_, fd, 0);
  sync();
}
Scene::~Scene() {
  munmap(shm_, shmBytes_);
  xcb_disconnect(c_);
}

void Scene::point(int x, int y, uint32_t rgb) {
  xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &rgb);
  const xcb_point_t p{static_cast<int16_t>(x), static_cast<int16_t>(y)};
  xcb_poly_point(c_, XCB_COORD_MODE_ORIGIN, background_, gc_, 1, &p);
  sync();
}

void Scene::putImage(int x, int y, uint32_t rgb) {
  xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, background_, gc_, 1, 1, static_cast<int16_t>(x),
                static_cast<int16_t>(y), 0, s_->root_depth, 4,
                reinterpret_cast<const uint8_t*>(&rgb));
  sync();
}

void Scene::shmPut(int x, int y, uint32_t rgb) {
  shm_[0] = rgb;
  xcb_shm_put_image(c_, background_, gc_, 1, 1, 0, 0, 1, 1, static_cast<int16_t>(x),
                    static_cast<int16_t>(y), s_->root_depth, XCB_IMAGE_FORMAT_Z_PIXMAP, 0, segment_,
                    0);
  sync();
}

void Scene::fill(int x, int y, int w, int h, uint32_t rgb) {
  xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &rgb);
  const xcb_rectangle_t r{static_cast<int16_t>(x), static_cast<int16_t>(y),
                          static_cast<uint16_t>(w), static_cast<uint16_t>(h)};
  xcb_poly_fill_rectangle(c_, background_, gc_, 1, &r);
  sync();
}

void Scene::noise(int x, int y, int w, int h, uint32_t seed) {
  std::vector<uint32_t> pixels(static_cast<size_t>(w) * static_cast<size_t>(h));
  for (uint32_t& p : pixels) p = (seed = seed * 1664525 + 1013904223) >> 8;
  xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, background_, gc_, static_cast<uint16_t>(w),
                static_cast<uint16_t>(h), static_cast<int16_t>(x), static_cast<int16_t>(y), 0,
                s_->root_depth, static_cast<uint32_t>(pixels.size() * 4),
                reinterpret_cast<const uint8_t*>(pixels.data()));
  sync();
}

void Scene::placeSmallWindow(int x, int y) {
  if (small_ == 0) {
    // A child of the background rather than a window of its own: under Xwayland each top-level
    // window is a surface of its own, which the compositor stacks in the order it maps them, so
    // a second top-level could end up beneath the background.
    small_ = window(background_, x, y, 2, 2, 0xffffff);
  } else {
    const uint32_t at[] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
    xcb_configure_window(c_, small_, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, at);
  }
  sync();
}

void Scene::unmapSmallWindow() {
  xcb_unmap_window(c_, small_);
  sync();
}

void Scene::warpPointer(int x, int y) {
  xcb_warp_pointer(c_, XCB_NONE, s_->root, 0, 0, 0, 0, static_cast<int16_t>(x),
                   static_cast<int16_t>(y));
  sync();
}

uint32_t Scene::atom(const std::string& name) {
  auto* r = xcb_intern_atom_reply(
      c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
  const uint32_t a = r != nullptr ? r->atom : 0;
  free(r);
  return a;
}

void Scene::sync() {
  free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
}

xcb_window_t Scene::window(xcb_window_t parent, int x, int y, int w, int h, uint32_t rgb) {
  const xcb_window_t id = xcb_generate_id(c_);
  const uint32_t values[] = {rgb, 1};
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, id, parent, static_cast<int16_t>(x),
                    static_cast<int16_t>(y), static_cast<uint16_t>(w), static_cast<uint16_t>(h), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, s_->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c_, id);
  return id;
}

int brightnessAt(const Picture& p, int x, int y) {
  if (x < 0 || y < 0 || x >= p.width || y >= p.height) return -1;
  const uint8_t* px = &p.bgrx[(static_cast<size_t>(y) * p.width + x) * 4];
  return (px[0] + px[1] + px[2]) / 3;
}

const std::vector<ChangeCase>& changeCases() {
  static const std::vector<ChangeCase> cases = {
      {"core drawing: one point",
       [](Scene&) {},
       [](Scene& s) { s.point(37, 21, 0xffffff); },
       {{37, 21}},
       {{36, 21}},
       {}},
      {"PutImage of one pixel",
       [](Scene&) {},
       [](Scene& s) { s.putImage(101, 77, 0xffffff); },
       {{101, 77}},
       {{100, 77}},
       {}},
      {"shared-memory put of one pixel",
       [](Scene&) {},
       [](Scene& s) { s.shmPut(203, 149, 0xffffff); },
       {{203, 149}},
       {{204, 149}},
       {}},
      {"one white pixel drawn black again",
       [](Scene& s) { s.point(5, 5, 0xffffff); },
       [](Scene& s) { s.point(5, 5, 0x000000); },
       {},
       {{5, 5}},
       {{5, 5}}},
      {"window moved",
       [](Scene& s) { s.placeSmallWindow(40, 40); },
       [](Scene& s) { s.placeSmallWindow(44, 40); },
       {{44, 40}, {45, 41}},
       {{40, 40}, {41, 41}},
       {{40, 40}, {41, 41}}},
      {"window unmapped",
       [](Scene& s) { s.placeSmallWindow(60, 30); },
       [](Scene& s) { s.unmapSmallWindow(); },
       {},
       {{60, 30}, {61, 31}},
       {{60, 30}, {61, 31}}},
  };
  return cases;
}

AlternationStep alternate(Scene& scene, int i) {
  // Each change lights a new pixel and puts out the one of the change before, in turn by
  // drawing, PutImage and a shared-memory put.
  const AlternationStep step{8 + (i * 37) % 300, 8 + (i * 53) % 220, 8 + ((i + 999) * 37) % 300,
                             8 + ((i + 999) * 53) % 220};
  switch (i % 3) {
    case 0:
      scene.point(step.x, step.y, 0xffffff);
      break;
    case 1:
      scene.putImage(step.x, step.y, 0xffffff);
      break;
    default:
      scene.shmPut(step.x, step.y, 0xffffff);
      break;
  }
  if (i > 0) scene.point(step.lastX, step.lastY, 0x000000);
  return step;
}

}  // namespace halvorine::testing

#pragma once

// What the change-tracking tests of every backend share: another X client's drawing on a black
// screen, the kinds of change it makes after a frame the host already has, and the alternation of
// change and no change.
#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "capture_pictures.h"

namespace halvorine::testing {

// Single pixels drawn in each of the ways a client can change the screen, a small white window
// that can be moved and unmapped, and RandR monitors, over a black override-redirect window that
// covers the screen. Every change has been carried out by the X server when the call returns
// (under Xwayland the compositor shows it a little later).
class Scene {
 public:
  explicit Scene(const std::string& display);
  ~Scene();
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  void point(int x, int y, uint32_t rgb);
  void putImage(int x, int y, uint32_t rgb);
  void shmPut(int x, int y, uint32_t rgb);
  void fill(int x, int y, int w, int h, uint32_t rgb);
  // A patch of grain, which JPEG finds hard.
  void noise(int x, int y, int w, int h, uint32_t seed);
  // A 2x2 white window inside the background, mapped at (x, y) the first time, moved there after.
  void placeSmallWindow(int x, int y);
  void unmapSmallWindow();
  void warpPointer(int x, int y);
  uint32_t atom(const std::string& name);
  void sync();

 private:
  xcb_window_t window(xcb_window_t parent, int x, int y, int w, int h, uint32_t rgb);

  xcb_connection_t* c_ = nullptr;
  xcb_screen_t* s_ = nullptr;
  xcb_window_t background_ = 0;
  xcb_window_t small_ = 0;
  xcb_gcontext_t gc_ = 0;
  uint32_t segment_ = 0;
  uint32_t* shm_ = nullptr;
  size_t shmBytes_ = 0;
};

// The brightness (the mean of the three channels) of a frame's pixel; -1 outside the frame.
int brightnessAt(const Picture& p, int x, int y);

// One kind of change by another client, on a screen of at least 320x240.
struct ChangeCase {
  const char* name;
  std::function<void(Scene&)> before;  // sets the scene up before the first frame
  std::function<void(Scene&)> change;
  std::vector<std::pair<int, int>> white, black;  // pixels after the change
  std::vector<std::pair<int, int>> whiteBefore;   // white pixels before it (all else is black)
};
const std::vector<ChangeCase>& changeCases();

// The i-th change of an alternation: lights the pixel (x, y) and, after the first, puts out the
// one the change before lit at (lastX, lastY).
struct AlternationStep {
  int x = 0, y = 0, lastX = 0, lastY = 0;
};
AlternationStep alternate(Scene& scene, int i);

}  // namespace halvorine::testing

#pragma once

namespace halvorine {

// Positions and rectangles in the one global desktop coordinate space.
struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  // The rectangle given for a display that does not exist.
  bool isNull = false;

  static Rect null() { return Rect{0, 0, 0, 0, true}; }
  bool isEmpty() const { return isNull || width == 0 || height == 0; }
  bool operator==(const Rect&) const = default;
};

}  // namespace halvorine

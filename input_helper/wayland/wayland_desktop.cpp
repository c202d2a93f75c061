#include "wayland/wayland_desktop.h"

#include <array>
#include <chrono>
#include <thread>
#include <utility>

#include "wayland/wayland_keyboard.h"
#include "wayland/wayland_keymap.h"
#include "wayland/wayland_pointer.h"

namespace halvorine::wayland {

namespace {

// The helper's key table codes and the physical keys they name (linux/input-event-codes.h).
constexpr std::pair<uint16_t, uint32_t> virtualKeys[] = {
    {0, 30},     // a
    {1, 31},     // s
    {2, 32},     // d
    {3, 33},     // f
    {4, 35},     // h
    {5, 34},     // g
    {6, 44},     // z
    {7, 45},     // x
    {8, 46},     // c
    {9, 47},     // v
    {11, 48},    // b
    {12, 16},    // q
    {13, 17},    // w
    {14, 18},    // e
    {15, 19},    // r
    {16, 21},    // y
    {17, 20},    // t
    {18, 2},     // 1
    {19, 3},     // 2
    {20, 4},     // 3
    {21, 5},     // 4
    {22, 7},     // 6
    {23, 6},     // 5
    {24, 13},    // =
    {25, 10},    // 9
    {26, 8},     // 7
    {27, 12},    // -
    {28, 9},     // 8
    {29, 11},    // 0
    {30, 27},    // ]
    {31, 24},    // o
    {32, 22},    // u
    {33, 26},    // [
    {34, 23},    // i
    {35, 25},    // p
    {36, 28},    // Return
    {37, 38},    // l
    {38, 36},    // j
    {39, 40},    // '
    {40, 37},    // k
    {41, 39},    // ;
    {42, 43},    // backslash
    {43, 51},    // ,
    {44, 53},    // /
    {45, 49},    // n
    {46, 50},    // m
    {47, 52},    // .
    {48, 15},    // Tab
    {49, 57},    // space
    {50, 41},    // `
    {51, 14},    // BackSpace
    {53, 1},     // Escape
    {115, 102},  // Home
    {116, 104},  // Page Up
    {117, 111},  // Delete
    {119, 107},  // End
    {121, 109},  // Page Down
    {123, 105},  // Left
    {124, 106},  // Right
    {125, 108},  // Down
    {126, 103},  // Up
};

uint32_t modifierBits(uint64_t flags) {
  uint32_t bits = 0;
  if ((flags & maskShift) != 0) bits |= modifier::shift;
  if ((flags & maskControl) != 0) bits |= modifier::control;
  if ((flags & maskAlternate) != 0) bits |= modifier::alt;
  if ((flags & maskCommand) != 0) bits |= modifier::super;
  return bits;
}

uint32_t buttonCode(MouseButton b) {
  return b == MouseButton::right ? button::right : button::left;
}

class WaylandDesktop final : public Desktop {
 public:
  WaylandDesktop(Connection& connection, std::shared_ptr<PointerPosition> position)
      : connection_(connection), pointer_(connection, std::move(position)), keyboard_(connection) {}

  // No Wayland client can read the global pointer. What this process last set stands for it,
  // and an action at the position read here sends no motion: it happens where the pointer is.
  std::optional<Point> pointerLocation() override {
    readBack_ = pointer_.position();
    return readBack_;
  }

  uint32_t mainDisplayId() override {
    const Output* main = mainOutput(outputs());
    return main != nullptr ? main->displayId : 0;
  }

  Rect displayBounds(uint32_t displayId) override {
    for (const Output& output : outputs()) {
      if (output.displayId == displayId) return output.bounds;
    }
    return Rect::null();
  }

  bool movePointer(Point to) override { return moveTo(to); }

  bool pressButton(MouseButton b, Point at, bool down) override {
    return moveTo(at) && pointer_.button(buttonCode(b), down);
  }

  bool click(MouseButton b, Point at) override {
    return moveTo(at) && pointer_.button(buttonCode(b), true) &&
           pointer_.button(buttonCode(b), false);
  }

  bool turnWheel(int32_t delta) override { return pointer_.wheel(delta); }

  bool pressKey(uint16_t keyCode, uint64_t modifiers, bool down) override {
    const std::optional<uint32_t> key = evdevKeyForVirtualKey(keyCode);
    if (!key) return false;
    return down ? keyboard_.pressKey(*key, modifierBits(modifiers)) : keyboard_.releaseKey(*key);
  }

  // The whole character goes on the down half.
  bool typeCharacter(std::string_view character, bool down) override {
    if (!down) return canType();
    return keyboard_.typeText(codePointsOf(character));
  }

  // Every action has been flushed to the compositor already.
  void pause(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }

  void finishRequest() override {
    // Releases what the request left down and waits for the compositor, pointer events included.
    keyboard_.finish();
    readBack_.reset();
    here_.reset();
    outputs_.reset();
  }

 private:
  const std::vector<Output>& outputs() {
    // Read once per request, fresh: outputs come and go between requests.
    if (!outputs_) outputs_ = connection_.refreshOutputs();
    return *outputs_;
  }

  bool canPoint() {
    return connection_.get() != nullptr && connection_.virtualPointerManager() != nullptr;
  }
  bool canType() {
    return connection_.get() != nullptr && connection_.virtualKeyboardManager() != nullptr &&
           connection_.seat() != nullptr;
  }

  bool moveTo(Point to) {
    // Where the pointer already is (read back, or moved to by this request), nothing is sent.
    if ((readBack_ && *readBack_ == to) || (here_ && *here_ == to)) return canPoint();
    // A target computed from the read-back position is a relative move: the pointer goes by the
    // difference from wherever the user has put it since.
    const bool moved =
        readBack_ ? pointer_.moveBy(to.x - readBack_->x, to.y - readBack_->y) : pointer_.moveTo(to);
    if (moved) here_ = to;
    return moved;
  }

  Connection& connection_;
  Pointer pointer_;
  Keyboard keyboard_;
  // For this request only: the position pointerLocation() gave, the one this request moved to,
  // and the outputs.
  std::optional<Point> readBack_;
  std::optional<Point> here_;
  std::optional<std::vector<Output>> outputs_;
};

// Trust on Wayland: the compositor is reachable and offers both virtual input protocols. There is
// no dialog to show for a prompt.
class WaylandAccessibility final : public Accessibility {
 public:
  explicit WaylandAccessibility(Connection& connection) : connection_(connection) {}
  bool isTrusted(bool) override { return connection_.trusted(); }

 private:
  Connection& connection_;
};

}  // namespace

std::optional<uint32_t> evdevKeyForVirtualKey(uint16_t code) {
  for (const auto& [virtualCode, key] : virtualKeys) {
    if (virtualCode == code) return key;
  }
  return std::nullopt;
}

std::unique_ptr<Accessibility> makeWaylandAccessibility(Connection& connection) {
  return std::make_unique<WaylandAccessibility>(connection);
}

std::unique_ptr<Desktop> makeWaylandDesktop(Connection& connection,
                                            std::shared_ptr<PointerPosition> position) {
  return std::make_unique<WaylandDesktop>(connection, std::move(position));
}

}  // namespace halvorine::wayland

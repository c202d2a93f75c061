#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/geometry.h"

namespace halvorine {

enum class MouseButton : int { left = 0, right = 1 };

// Modifier flags of a key press.
inline constexpr uint64_t maskShift = 0x20000;
inline constexpr uint64_t maskControl = 0x40000;
inline constexpr uint64_t maskAlternate = 0x80000;
inline constexpr uint64_t maskCommand = 0x100000;

// Everything the input logic needs of the desktop, in its own terms. Each action returns whether
// the platform could carry it out; one that could not has sent nothing to the desktop. Actions may
// be queued: finishRequest() is what makes sure they have all arrived.
class Desktop {
 public:
  virtual ~Desktop() = default;

  // The pointer's position, or nullopt when it cannot be read.
  virtual std::optional<Point> pointerLocation() = 0;
  virtual uint32_t mainDisplayId() = 0;
  // Rect::null() for an identifier that names no display.
  virtual Rect displayBounds(uint32_t displayId) = 0;

  virtual bool movePointer(Point to) = 0;
  // Presses (down) or releases the button with the pointer at `at`.
  virtual bool pressButton(MouseButton button, Point at, bool down) = 0;
  // Both halves of a click at `at`, or nothing at all.
  virtual bool click(MouseButton button, Point at) = 0;
  // Turns the wheel by `delta` pixels (not 0); positive scrolls up.
  virtual bool turnWheel(int32_t delta) = 0;
  // Presses (down) or releases the key with this code of the helper's key table (key_names.h).
  // The modifiers of the mask are held from the key's press to its release.
  virtual bool pressKey(uint16_t keyCode, uint64_t modifiers, bool down) = 0;
  // One half of typing one user-perceived character (an extended grapheme cluster, UTF-8), with
  // no modifier. The character appears whole: a platform that types it on the down half has
  // nothing left to send on the up half, which then only reports whether it could have.
  virtual bool typeCharacter(std::string_view character, bool down) = 0;

  // Blocks the calling thread; a seam so that tests record pauses instead of waiting.
  virtual void pause(std::chrono::milliseconds duration) = 0;

  // Called once when an input request has been carried out, whatever its result: waits until the
  // desktop has processed every action and undoes whatever the request only needed for itself
  // (keys and modifiers left held, temporary key bindings). Mouse buttons stay as pressed.
  virtual void finishRequest() = 0;
};

}  // namespace halvorine

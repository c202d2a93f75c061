#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/geometry.h"

namespace halvorine {

enum class MouseEventType : int {
  leftMouseDown = 1,
  leftMouseUp = 2,
  rightMouseDown = 3,
  rightMouseUp = 4,
  mouseMoved = 5,
};

enum class MouseButton : int { left = 0, right = 1 };

// Modifier flags carried by keyboard events.
inline constexpr uint64_t maskShift = 0x20000;
inline constexpr uint64_t maskControl = 0x40000;
inline constexpr uint64_t maskAlternate = 0x80000;
inline constexpr uint64_t maskCommand = 0x100000;

// A platform event, made for one request and released when its owner goes out of scope.
class DesktopEvent {
 public:
  virtual ~DesktopEvent() = default;
};

// A keyboard event source (HID system state), also released with its owner.
class EventSource {
 public:
  virtual ~EventSource() = default;
};

// Everything the input logic needs of the desktop. Creation returns nullptr when the platform
// cannot make the object.
class DesktopServices {
 public:
  virtual ~DesktopServices() = default;

  // The pointer's position, or nullopt when it cannot be read.
  virtual std::optional<Point> pointerLocation() = 0;
  virtual uint32_t mainDisplayId() = 0;
  // Rect::null() for an identifier that names no display.
  virtual Rect displayBounds(uint32_t displayId) = 0;

  virtual std::unique_ptr<EventSource> createKeyboardEventSource() = 0;
  virtual std::unique_ptr<DesktopEvent> createMouseEvent(MouseEventType type, Point position,
                                                         MouseButton button) = 0;
  // One wheel, pixel units; delta is signed.
  virtual std::unique_ptr<DesktopEvent> createScrollWheelEvent(int32_t delta) = 0;
  // source may be null: the event is then made without one.
  virtual std::unique_ptr<DesktopEvent> createKeyboardEvent(EventSource* source, uint16_t keyCode,
                                                            bool keyDown) = 0;
  virtual void setUnicodeString(DesktopEvent& event, std::u16string_view units) = 0;
  virtual void setFlags(DesktopEvent& event, uint64_t flags) = 0;
  virtual void post(DesktopEvent& event) = 0;

  // Blocks the calling thread; a seam so that tests record pauses instead of waiting.
  virtual void pause(std::chrono::milliseconds duration) = 0;

  // Called once when an input request has been carried out, whatever its result: waits until the
  // desktop has processed every posted event and undoes whatever the request only needed for
  // itself (keys and modifiers left held, temporary key bindings). Mouse buttons stay as posted.
  virtual void finishRequest() = 0;
};

}  // namespace halvorine

#include <thread>

#include "x11/x11_platform.h"

namespace halvorine::x11 {

namespace {

// Placeholder: reads the pointer; the rest of the desktop arrives with input synthesis.
class X11DesktopServices final : public DesktopServices {
 public:
  explicit X11DesktopServices(XConnection& connection) : x_(connection) {}

  std::optional<Point> pointerLocation() override {
    xcb_connection_t* c = x_.get();
    if (c == nullptr) return std::nullopt;
    auto reply = x_.reply<xcb_query_pointer_reply_t>(xcb_query_pointer(c, x_.screen()->root));
    if (!reply) return std::nullopt;
    return Point{static_cast<double>(reply->root_x), static_cast<double>(reply->root_y)};
  }
  uint32_t mainDisplayId() override { return 0; }
  Rect displayBounds(uint32_t) override { return Rect::null(); }
  std::unique_ptr<EventSource> createKeyboardEventSource() override { return nullptr; }
  std::unique_ptr<DesktopEvent> createMouseEvent(MouseEventType, Point, MouseButton) override {
    return nullptr;
  }
  std::unique_ptr<DesktopEvent> createScrollWheelEvent(int32_t) override { return nullptr; }
  std::unique_ptr<DesktopEvent> createKeyboardEvent(EventSource*, uint16_t, bool) override {
    return nullptr;
  }
  void setUnicodeString(DesktopEvent&, std::u16string_view) override {}
  void setFlags(DesktopEvent&, uint64_t) override {}
  void post(DesktopEvent&) override {}
  void pause(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
  void finishRequest() override {}

 private:
  XConnection& x_;
};

}  // namespace

std::unique_ptr<DesktopServices> makeX11DesktopServices(XConnection& connection) {
  return std::make_unique<X11DesktopServices>(connection);
}

}  // namespace halvorine::x11

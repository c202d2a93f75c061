#include "wayland/wayland_backend.h"

#include "wayland/wayland_capture_platform.h"
#include "wayland/wayland_connection.h"
#include "wayland/wayland_desktop.h"

// The module's entry point (see wayland_backend.h). The seams are made once and never freed: the
// helper ends with exit(), which must not wait for any teardown of the compositor connection.
extern "C" __attribute__((visibility("default"))) halvorine::wayland::BackendSeams
halvorine_wayland_backend() {
  using namespace halvorine::wayland;
  static Connection* connection = new Connection();
  static halvorine::Accessibility* accessibility = makeWaylandAccessibility(*connection).release();
  // The capture records carry the pointer position that the desktop last set.
  static auto* position = new std::shared_ptr<PointerPosition>(std::make_shared<PointerPosition>());
  static halvorine::Desktop* desktop = makeWaylandDesktop(*connection, *position).release();
  static halvorine::CapturePlatform* capture = new WaylandCapturePlatform(*connection, *position);
  return BackendSeams{accessibility, desktop, capture};
}

#include "wayland/wayland_backend.h"

#include "wayland/wayland_connection.h"
#include "wayland/wayland_desktop.h"

// The module's entry point (see wayland_backend.h). The seams are made once and never freed: the
// helper ends with exit(), which must not wait for any teardown of the compositor connection.
extern "C" __attribute__((visibility("default"))) halvorine::wayland::BackendSeams
halvorine_wayland_backend() {
  using namespace halvorine::wayland;
  static Connection* connection = new Connection();
  static halvorine::Accessibility* accessibility = makeWaylandAccessibility(*connection).release();
  static halvorine::Desktop* desktop = makeWaylandDesktop(*connection).release();
  return BackendSeams{accessibility, desktop};
}

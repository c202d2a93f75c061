#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <xcb/randr.h>

#include "platform/geometry.h"
#include "x11/x_connection.h"

namespace halvorine::x11 {

// One active RandR monitor in root window coordinates. Its identifier is the monitor's name atom,
// which stays the same while the monitor exists and is what the host sends as a display id.
struct Monitor {
  uint32_t id = 0;
  int32_t x = 0;
  int32_t y = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool primary = false;
};

struct MonitorList {
  std::vector<Monitor> monitors;
  // 0 when the list was read; otherwise an X error code of the RandR request, or, when the
  // display could not be reached at all, the XCB connection error number (XCB_CONN_*). A server
  // without RandR 1.5 answers with the error code 1 (BadRequest).
  int errorCode = 0;
  bool ok() const { return errorCode == 0; }
};

// Lists the active monitors of the default screen (one request, one reply).
MonitorList listMonitors(XConnection& connection);
// The same in two halves, for a listing sent together with other requests: the request (on a
// connection where RandR is known to be present) and the wait for its reply, on the same
// connection.
xcb_randr_get_monitors_cookie_t requestMonitors(XConnection& connection, xcb_connection_t* c);
MonitorList receiveMonitors(XConnection& connection, xcb_randr_get_monitors_cookie_t cookie);

// The main display: the primary monitor, else the first one listed; nullptr for an empty list.
const Monitor* mainMonitor(const MonitorList& list);

// The monitor with that identifier, nullptr when none has it.
const Monitor* findMonitor(const MonitorList& list, uint32_t id);

// The monitor's rectangle in desktop (root window) coordinates.
Rect monitorBounds(const Monitor& monitor);

// The pointer's position on the root window of the default screen; nullopt when the display
// cannot be reached or does not answer. Desktop services and capture share it.
std::optional<Point> queryPointer(XConnection& connection);

}  // namespace halvorine::x11

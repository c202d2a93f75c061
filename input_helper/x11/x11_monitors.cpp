#include "x11/x11_monitors.h"

#include <xcb/randr.h>

namespace halvorine::x11 {

MonitorList listMonitors(XConnection& connection) {
  MonitorList result;
  xcb_connection_t* c = connection.get();
  if (c == nullptr) {
    result.errorCode = connection.failureCode();
    return result;
  }
  const xcb_query_extension_reply_t* ext = connection.extension(xcb_randr_id);
  if (ext == nullptr) {
    result.errorCode = connection.failureCode();
    return result;
  }
  if (ext->present == 0) {
    result.errorCode = 1;  // BadRequest, as a server without the extension would answer
    return result;
  }
  return receiveMonitors(connection, requestMonitors(connection, c));
}

xcb_randr_get_monitors_cookie_t requestMonitors(XConnection& connection, xcb_connection_t* c) {
  return xcb_randr_get_monitors(c, connection.screen()->root, 1);
}

MonitorList receiveMonitors(XConnection& connection, xcb_randr_get_monitors_cookie_t cookie) {
  MonitorList result;
  XcbPtr<xcb_generic_error_t> error;
  auto reply = connection.reply<xcb_randr_get_monitors_reply_t>(cookie, &error);
  if (!reply) {
    if (error) {
      result.errorCode = error->error_code;
    } else {
      result.errorCode = connection.failureCode();
    }
    return result;
  }
  for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t* m = it.data;
    result.monitors.push_back(Monitor{m->name, m->x, m->y, m->width, m->height, m->primary != 0});
  }
  return result;
}

const Monitor* mainMonitor(const MonitorList& list) {
  for (const Monitor& m : list.monitors) {
    if (m.primary) return &m;
  }
  return list.monitors.empty() ? nullptr : &list.monitors.front();
}

const Monitor* findMonitor(const MonitorList& list, uint32_t id) {
  for (const Monitor& m : list.monitors) {
    if (m.id == id) return &m;
  }
  return nullptr;
}

Rect monitorBounds(const Monitor& monitor) {
  return Rect{static_cast<double>(monitor.x), static_cast<double>(monitor.y),
              static_cast<double>(monitor.width), static_cast<double>(monitor.height)};
}

std::optional<Point> queryPointer(XConnection& connection) {
  xcb_connection_t* c = connection.get();
  if (c == nullptr) return std::nullopt;
  auto reply =
      connection.reply<xcb_query_pointer_reply_t>(xcb_query_pointer(c, connection.screen()->root));
  if (!reply) return std::nullopt;
  return Point{static_cast<double>(reply->root_x), static_cast<double>(reply->root_y)};
}

}  // namespace halvorine::x11

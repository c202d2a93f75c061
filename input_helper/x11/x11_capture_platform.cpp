#include "x11/x11_capture_platform.h"

#include <algorithm>
#include <chrono>

#include "platform/capture_stages.h"
#include "x11/x11_monitors.h"
#include "x11/x11_platform.h"

namespace halvorine::x11 {

namespace {

// The worker's own reply time-out is longer than any request's budget: what ends a wait on the
// worker is the deadline of the request it works for, which comes after the capture logic has
// stopped waiting, so that a server that stops answering shows up as the capture time-out.
constexpr auto workerReplyTimeout = std::chrono::seconds(30);

// Enough for the frame the host holds while a few later grabs (of other displays, or finished
// after their requests timed out) come in between.
constexpr size_t markedGrabsKept = 16;

ListedDisplay listed(const Monitor& m) {
  return {.displayId = m.id, .width = m.width, .height = m.height, .bounds = monitorBounds(m)};
}

// The monitor as it was listed, for one that has gone since.
Monitor asListed(const ListedDisplay& d) {
  return {.id = d.displayId,
          .x = static_cast<int32_t>(d.bounds.x),
          .y = static_cast<int32_t>(d.bounds.y),
          .width = static_cast<uint32_t>(d.bounds.width),
          .height = static_cast<uint32_t>(d.bounds.height),
          .primary = false};
}

}  // namespace

X11CapturePlatform::X11CapturePlatform(XConnection& mainConnection)
    : main_(mainConnection), worker_(workerReplyTimeout), grabber_(worker_), damage_(worker_) {
  worker_.setEventHandler([this](const xcb_generic_event_t& event) { damage_.handleEvent(event); });
}

X11CapturePlatform::~X11CapturePlatform() {
  jobs_.stop();
}

uint32_t X11CapturePlatform::mainDisplayId(Deadline deadline) {
  XConnection::DeadlineScope scope(connection(), deadline);
  const MonitorList list = listMonitors(connection());
  const Monitor* m = mainMonitor(list);
  return m != nullptr ? m->id : 0;
}

Rect X11CapturePlatform::displayBounds(uint32_t displayId, Deadline deadline) {
  XConnection::DeadlineScope scope(connection(), deadline);
  const MonitorList list = listMonitors(connection());
  const Monitor* m = findMonitor(list, displayId);
  return m != nullptr ? monitorBounds(*m) : Rect::null();
}

// A job that only gets its turn after its deadline fails without asking the server.
void X11CapturePlatform::listDisplays(Deadline deadline, DisplayListCompletion completion) {
  jobs_.post([this, deadline, completion = std::move(completion)] {
    XConnection::DeadlineScope scope(worker_, deadline);
    const MonitorList list = listMonitors(worker_);
    if (!list.ok()) {
      completion(std::nullopt, PlatformError{list.errorCode});
      return;
    }
    std::vector<ListedDisplay> displays;
    displays.reserve(list.monitors.size());
    for (const Monitor& m : list.monitors) displays.push_back(listed(m));
    completion(std::move(displays), std::nullopt);
  });
}

// The monitor is followed by its identifier, so one that moved or changed size is read where it
// is now; one that has gone is read where it was listed. The server cannot scale, so the frame
// comes at the monitor's size whatever size is wanted.
void X11CapturePlatform::grabDisplay(const ListedDisplay& display, PixelSize, Deadline deadline,
                                     FrameCompletion completion) {
  jobs_.post([this, display, deadline, completion = std::move(completion)] {
    XConnection::DeadlineScope scope(worker_, deadline);
    grab(display, std::nullopt, completion);
  });
}

void X11CapturePlatform::grabDisplaySince(const ListedDisplay& display, PixelSize, DamageMark since,
                                          Deadline deadline, FrameCompletion completion) {
  jobs_.post([this, display, since, deadline, completion = std::move(completion)] {
    XConnection::DeadlineScope scope(worker_, deadline);
    grab(display, since, completion);
  });
}

void X11CapturePlatform::grab(const ListedDisplay& display, std::optional<DamageMark> since,
                              const FrameCompletion& completion) {
  captureStageReached(CaptureStage::workerStarted);
  // Taken before the pixels are read: whatever is drawn from now on counts as changed after it.
  // The monitors are listed in the same round trip: a monitor set anew (RRSetMonitor) comes with
  // no event to say so.
  std::optional<xcb_randr_get_monitors_cookie_t> monitors;
  uint64_t monitorsOn = 0;
  const std::optional<DamageMark> mark = damage_.mark([&](xcb_connection_t* c) {
    monitors = requestMonitors(worker_, c);
    monitorsOn = worker_.generation();
  });
  const MonitorList list = monitors && monitorsOn == worker_.generation() && worker_.connected()
                               ? receiveMonitors(worker_, *monitors)
                               : listMonitors(worker_);
  const Monitor* now = findMonitor(list, display.displayId);
  const Monitor monitor = now != nullptr ? *now : asListed(display);
  const RootRect area{monitor.x, monitor.y, static_cast<int32_t>(monitor.width),
                      static_cast<int32_t>(monitor.height)};
  captureStageReached(CaptureStage::monitorsKnown);
  const auto last = lastGrabs_.find(display.displayId);
  const bool sameArea = last != lastGrabs_.end() && last->second.area == area;
  const auto held = std::find_if(markedGrabs_.begin(), markedGrabs_.end(),
                                 [&](const MarkedGrab& g) { return since && g.mark == *since; });
  const bool heldHere =
      held != markedGrabs_.end() && held->displayId == display.displayId && held->area == area;
  if (since && mark && heldHere) {
    const std::optional<std::vector<PixelRect>> changed = damage_.changedSince(*since, area);
    if (changed && changed->empty()) {
      Frame unchanged;
      unchanged.unchangedSinceMark = true;
      completion(&unchanged, std::nullopt);
      return;
    }
  }
  // What changed since the previous grab of this display where it is now: the frame says so, and
  // the grabber reads only those rows if its buffer still holds the rest of that area.
  std::optional<std::vector<PixelRect>> changed;
  std::optional<DamageMark> changedSince;
  if (mark && sameArea) {
    changed = damage_.changedSince(last->second.mark, area);
    if (changed) changedSince = last->second.mark;
  }
  GrabResult grab =
      grabber_.grab(monitor.x, monitor.y, monitor.width, monitor.height,
                    changed ? std::optional<std::span<const PixelRect>>(*changed) : std::nullopt);
  if (!grab.ok()) {
    lastGrabs_.erase(display.displayId);
    completion(nullptr,
               grab.errorCode != 0 ? std::optional(PlatformError{grab.errorCode}) : std::nullopt);
    return;
  }
  if (mark) {
    grab.frame.mark = mark;
    if (changed) {
      changed_ = std::move(*changed);
      grab.frame.changed = std::span<const PixelRect>(changed_);
      grab.frame.changedSince = changedSince;
    }
    lastGrabs_[display.displayId] = LastGrab{.mark = *mark, .area = area};
    markedGrabs_.push_back({.mark = *mark, .displayId = display.displayId, .area = area});
    if (markedGrabs_.size() > markedGrabsKept) markedGrabs_.pop_front();
  } else {
    lastGrabs_.erase(display.displayId);
  }
  completion(&grab.frame, std::nullopt);
}

Point X11CapturePlatform::currentMouseLocation(Deadline deadline) {
  XConnection::DeadlineScope scope(connection(), deadline);
  return queryPointer(connection()).value_or(Point{});
}

// Each thread talks to X over its own connection: the worker over the platform's, every other
// caller (the main thread) over the connection it passed in.
XConnection& X11CapturePlatform::connection() {
  return jobs_.onWorker() ? worker_ : main_;
}

std::unique_ptr<CapturePlatform> makeX11CapturePlatform(XConnection& mainThreadConnection) {
  return std::make_unique<X11CapturePlatform>(mainThreadConnection);
}

}  // namespace halvorine::x11

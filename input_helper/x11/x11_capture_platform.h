#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "platform/capture_platform.h"
#include "platform/capture_worker.h"
#include "x11/x11_damage.h"
#include "x11/x11_monitors.h"
#include "x11/x11_root_grabber.h"
#include "x11/x_connection.h"

namespace halvorine::x11 {

// Capture over X11: the displays are the active RandR monitors (a monitor's id is its name atom),
// a grab reads the monitor's rectangle of the root window at the monitor's own size and leaves
// scaling to the capture logic. Listing and grabbing run on one worker thread with a connection of
// its own, started with the first capture, so that a process that never captures has no thread.
// That connection tracks what changes on the root window (DAMAGE): a grab for a frame the host
// already has reads no pixels when nothing on that monitor was damaged since that frame's mark and
// the monitor is where it was.
class X11CapturePlatform final : public CapturePlatform {
 public:
  // Calls made on any other thread than the worker (the main thread) go over `mainConnection`.
  explicit X11CapturePlatform(XConnection& mainConnection);
  // Pending jobs are dropped with their completions.
  ~X11CapturePlatform() override;

  uint32_t mainDisplayId(Deadline deadline) override;
  Rect displayBounds(uint32_t displayId, Deadline deadline) override;
  void listDisplays(Deadline deadline, DisplayListCompletion completion) override;
  void grabDisplay(const ListedDisplay& display, PixelSize size, Deadline deadline,
                   FrameCompletion completion) override;
  void grabDisplaySince(const ListedDisplay& display, PixelSize size, DamageMark since,
                        Deadline deadline, FrameCompletion completion) override;
  Point currentMouseLocation(Deadline deadline) override;

 private:
  XConnection& connection();
  // On the worker.
  void grab(const ListedDisplay& display, std::optional<DamageMark> since,
            const FrameCompletion& completion);

  // Where a display was at its last grab, and the mark of that grab.
  struct LastGrab {
    DamageMark mark = 0;
    RootRect area;
  };

  XConnection& main_;
  XConnection worker_;
  RootGrabber grabber_;
  DamageTracker damage_;
  std::map<uint32_t, LastGrab> lastGrabs_;
  // Where each of the last few grabs read, by mark: a frame is only answered for again while its
  // monitor is still where that frame was read.
  struct MarkedGrab {
    DamageMark mark = 0;
    uint32_t displayId = 0;
    RootRect area;
  };
  std::deque<MarkedGrab> markedGrabs_;
  std::vector<PixelRect> changed_;
  // Last: stopped before the members its jobs use go.
  CaptureWorker jobs_;
};

}  // namespace halvorine::x11

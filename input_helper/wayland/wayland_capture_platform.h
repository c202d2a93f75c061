#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "platform/capture_platform.h"
#include "platform/capture_worker.h"
#include "wayland/wayland_connection.h"
#include "wayland/wayland_pointer.h"
#include "wayland/wayland_screencopy.h"

namespace halvorine::wayland {

// Capture over screencopy: the displays are the compositor's outputs (a display's id is the
// FNV-1a hash of the output's name, its bounds the output's logical place and size, its size the
// output's pixels); a grab copies the output without the cursor at its own pixel size and leaves
// scaling to the capture logic. Listing and grabbing run on one worker thread with a connection
// of its own, started with the first capture, so that a process that never captures has neither.
// Every grab leaves a watch on its output (see Screencopy::captureTracked): a grab for a frame the
// host already has copies nothing while the compositor has drawn nothing new on that output since
// that frame, and the layout of outputs and the connection are the same.
//
// Failure codes: a listing that cannot reach the compositor carries the errno of the connection
// (ENOENT, ECONNREFUSED, ETIMEDOUT, EPIPE...); a grab that fails carries the Screencopy::Error.
class WaylandCapturePlatform final : public CapturePlatform {
 public:
  // Calls made on any other thread than the worker (the main thread) go over `mainConnection`.
  // The pointer position reported is the one this process last set (Wayland lets no client read
  // the pointer). The worker connects as `workerOptions` say, apart from the time-out: its waits
  // end at the deadline of the request they serve.
  WaylandCapturePlatform(Connection& mainConnection, std::shared_ptr<const PointerPosition> pointer,
                         Connection::Options workerOptions = {});
  // Pending jobs are dropped with their completions.
  ~WaylandCapturePlatform() override;

  uint32_t mainDisplayId(Deadline deadline) override;
  Rect displayBounds(uint32_t displayId, Deadline deadline) override;
  void listDisplays(Deadline deadline, DisplayListCompletion completion) override;
  void grabDisplay(const ListedDisplay& display, PixelSize size, Deadline deadline,
                   FrameCompletion completion) override;
  void grabDisplaySince(const ListedDisplay& display, PixelSize size, DamageMark since,
                        Deadline deadline, FrameCompletion completion) override;
  Point currentMouseLocation(Deadline deadline) override;

 private:
  Connection& connection();
  // On the worker.
  void grab(uint32_t displayId, std::optional<DamageMark> since, const FrameCompletion& completion);

  Connection& main_;
  std::shared_ptr<const PointerPosition> pointer_;
  Connection worker_;
  Screencopy screencopy_;
  // Last: stopped before the members its jobs use go.
  CaptureWorker jobs_;
};

// A listed display for an output.
ListedDisplay listedDisplay(const Output& output);

}  // namespace halvorine::wayland

#include "wayland/wayland_capture_platform.h"

#include "platform/capture_stages.h"

#include <chrono>
#include <optional>
#include <span>
#include <utility>

namespace halvorine::wayland {

namespace {

// The worker's own time-out is longer than any request's budget: what ends a wait on the worker
// is the deadline of the request it works for, which comes after the capture logic has stopped
// waiting, so that a compositor that stops answering shows up as the capture time-out.
constexpr auto workerTimeout = std::chrono::seconds(30);

Connection::Options withWorkerTimeout(Connection::Options options) {
  options.timeout = workerTimeout;
  return options;
}

}  // namespace

ListedDisplay listedDisplay(const Output& output) {
  // Without a mode the logical size is the best guess of the pixels (right at scale 1).
  const bool haveMode = output.pixelWidth > 0 && output.pixelHeight > 0;
  return {.displayId = output.displayId,
          .width = haveMode ? output.pixelWidth : static_cast<int64_t>(output.bounds.width),
          .height = haveMode ? output.pixelHeight : static_cast<int64_t>(output.bounds.height),
          .bounds = output.bounds};
}

WaylandCapturePlatform::WaylandCapturePlatform(Connection& mainConnection,
                                               std::shared_ptr<const PointerPosition> pointer,
                                               Connection::Options workerOptions)
    : main_(mainConnection),
      pointer_(std::move(pointer)),
      worker_(withWorkerTimeout(std::move(workerOptions))),
      screencopy_(worker_) {}

WaylandCapturePlatform::~WaylandCapturePlatform() {
  jobs_.stop();
}

uint32_t WaylandCapturePlatform::mainDisplayId(Deadline deadline) {
  Connection::DeadlineScope scope(connection(), deadline);
  const std::vector<Output> outputs = connection().refreshOutputs();
  const Output* main = mainOutput(outputs);
  return main != nullptr ? main->displayId : 0;
}

Rect WaylandCapturePlatform::displayBounds(uint32_t displayId, Deadline deadline) {
  Connection::DeadlineScope scope(connection(), deadline);
  for (const Output& output : connection().refreshOutputs()) {
    if (output.displayId == displayId) return output.bounds;
  }
  return Rect::null();
}

// A compositor that cannot be reached fails the listing with the connection's errno; one that is
// reached but shows no output gives an empty list.
void WaylandCapturePlatform::listDisplays(Deadline deadline, DisplayListCompletion completion) {
  jobs_.post([this, deadline, completion = std::move(completion)] {
    Connection::DeadlineScope scope(worker_, deadline);
    const std::vector<Output> outputs = worker_.refreshOutputs();
    if (!worker_.connected()) {
      completion(std::nullopt, PlatformError{worker_.lastErrorCode()});
      return;
    }
    std::vector<ListedDisplay> displays;
    displays.reserve(outputs.size());
    for (const Output& output : outputs) displays.push_back(listedDisplay(output));
    completion(std::move(displays), std::nullopt);
  });
}

// The output is found by its identifier on the worker's connection as it is now, so one that
// moved or changed size is copied as it is; one that has gone fails the grab. Screencopy cannot
// scale, so the frame comes at the output's pixel size whatever size is wanted.
void WaylandCapturePlatform::grabDisplay(const ListedDisplay& display, PixelSize, Deadline deadline,
                                         FrameCompletion completion) {
  jobs_.post([this, id = display.displayId, deadline, completion = std::move(completion)] {
    Connection::DeadlineScope scope(worker_, deadline);
    grab(id, std::nullopt, completion);
  });
}

void WaylandCapturePlatform::grabDisplaySince(const ListedDisplay& display, PixelSize,
                                              DamageMark since, Deadline deadline,
                                              FrameCompletion completion) {
  jobs_.post([this, id = display.displayId, since, deadline, completion = std::move(completion)] {
    Connection::DeadlineScope scope(worker_, deadline);
    grab(id, since, completion);
  });
}

void WaylandCapturePlatform::grab(uint32_t displayId, std::optional<DamageMark> since,
                                  const FrameCompletion& completion) {
  captureStageReached(CaptureStage::workerStarted);
  if (since && screencopy_.unchangedSince(displayId, *since)) {
    Frame unchanged;
    unchanged.unchangedSinceMark = true;
    completion(&unchanged, std::nullopt);
    return;
  }
  const Screencopy::Error error = screencopy_.captureTracked(displayId);
  if (error != Screencopy::none) {
    completion(nullptr, PlatformError{error});
    return;
  }
  const Screencopy::Image image = screencopy_.image();
  Frame frame{.pixels = image.pixels,
              .width = image.width,
              .height = image.height,
              .bytesPerRow = static_cast<int64_t>(image.bytesPerRow),
              .mark = screencopy_.lastMark()};
  if (const auto& changed = screencopy_.lastChanged()) {
    frame.changed = std::span<const PixelRect>(*changed);
    frame.changedSince = screencopy_.lastChangedSince();
  }
  completion(&frame, std::nullopt);
}

// Never waits: the position is this process's own record.
Point WaylandCapturePlatform::currentMouseLocation(Deadline) {
  return pointer_ ? pointer_->get() : Point{};
}

// Each thread talks to the compositor over its own connection: the worker over the platform's,
// every other caller (the main thread) over the connection it passed in.
Connection& WaylandCapturePlatform::connection() {
  return jobs_.onWorker() ? worker_ : main_;
}

}  // namespace halvorine::wayland

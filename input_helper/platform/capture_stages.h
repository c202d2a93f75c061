#pragma once

#include <atomic>

namespace halvorine {

// The steps one capture passes through, in order, for the benchmark's breakdown of where the
// time of a frame goes. Steps that a capture skips are simply not reached.
enum class CaptureStage : int {
  requestArrived,  // the command thread took the request
  targetKnown,     // display chosen (main display, cached target), work handed to the platform
  workerStarted,   // the platform's thread began the grab
  monitorsKnown,   // the display's current rectangle is known
  grabbed,         // the server has written the pixels
  converted,       // pixels in the layout the scaler and encoder take
  scaled,          // the scaling is set up (bands are scaled as they are encoded)
  encoded,         // the JPEG and its hash
  recorded,        // the success record without the frame's text, the pointer read
  base64Encoded,   // the frame's text: the record is complete
  handedOver,      // the command thread has the record
  count
};

// Told of every step of every capture. Only the benchmark installs one; the programs leave it
// unset, which costs one relaxed load per step.
class CaptureStageObserver {
 public:
  virtual void reached(CaptureStage stage) = 0;

 protected:
  ~CaptureStageObserver() = default;
};

inline std::atomic<CaptureStageObserver*> captureStageObserver{nullptr};

inline void captureStageReached(CaptureStage stage) {
  if (CaptureStageObserver* o = captureStageObserver.load(std::memory_order_relaxed)) {
    o->reached(stage);
  }
}

}  // namespace halvorine

#pragma once

#include "platform/accessibility.h"
#include "platform/capture_platform.h"
#include "platform/desktop.h"

// The Wayland backend is a module that the input helper loads only when it is chosen, so that the
// X11 path never pays for loading libwayland and libxkbcommon. The module's one entry point
// makes the backend's seams over one connection to the compositor WAYLAND_DISPLAY names (the
// capture platform's worker opens one more); they live as long as the process.
namespace halvorine::wayland {

struct BackendSeams {
  Accessibility* accessibility = nullptr;
  Desktop* desktop = nullptr;
  CapturePlatform* capture = nullptr;
};

inline constexpr const char* backendModuleName = "libhalvorine-wayland.so";
inline constexpr const char* backendEntryPoint = "halvorine_wayland_backend";
using BackendEntry = BackendSeams (*)();

}  // namespace halvorine::wayland

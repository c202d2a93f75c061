#pragma once

#include <memory>

#include "platform/accessibility.h"
#include "platform/capture_platform.h"
#include "platform/desktop.h"
#include "x11/x_connection.h"

namespace halvorine::x11 {

// The X11 implementations of the platform seams. The main thread's connection is shared by the
// first two; the capture platform keeps its own for its worker thread.
std::unique_ptr<Accessibility> makeX11Accessibility(XConnection& connection);
std::unique_ptr<Desktop> makeX11Desktop(XConnection& connection);
std::unique_ptr<CapturePlatform> makeX11CapturePlatform(XConnection& mainThreadConnection);

}  // namespace halvorine::x11

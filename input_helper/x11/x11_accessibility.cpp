#include "x11/x11_platform.h"

namespace halvorine::x11 {
// Placeholder until the trust check lands.
std::unique_ptr<AccessibilityServices> makeX11AccessibilityServices(XConnection&) {
  return nullptr;
}
}  // namespace halvorine::x11

#include <xcb/xtest.h>

#include "x11/x11_platform.h"

namespace halvorine::x11 {

namespace {

// On X11 a client may inject input when it can reach the display and the server offers the XTEST
// extension; there is nothing to grant and no dialog to show, so the prompting query asks the same
// question. The extension's presence is asked once per connection: a healthy connection costs one
// non-blocking look at its socket, and a server that has gone (or been replaced) is noticed by
// XConnection::get() and asked again over the new connection.
class X11AccessibilityServices final : public AccessibilityServices {
 public:
  explicit X11AccessibilityServices(XConnection& connection) : x_(connection) {}

  bool isProcessTrusted() override { return hasXTest(); }
  bool isProcessTrustedWithPrompt() override { return hasXTest(); }

 private:
  bool hasXTest() { return x_.get() != nullptr && x_.hasExtension(xcb_test_id); }

  XConnection& x_;
};

}  // namespace

std::unique_ptr<AccessibilityServices> makeX11AccessibilityServices(XConnection& connection) {
  return std::make_unique<X11AccessibilityServices>(connection);
}

}  // namespace halvorine::x11

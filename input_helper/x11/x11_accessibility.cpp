#include <xcb/xtest.h>

#include "x11/x11_platform.h"

namespace halvorine::x11 {

namespace {

// On X11 a client may inject input when it can reach the display and the server offers the XTEST
// extension; there is nothing to grant and no dialog to show, so a prompt changes nothing. The
// extension's presence is asked once per connection: a healthy connection costs one non-blocking
// look at its socket, and a server that has gone (or been replaced) is noticed by
// XConnection::get() and asked again over the new connection.
class X11Accessibility final : public Accessibility {
 public:
  explicit X11Accessibility(XConnection& connection) : x_(connection) {}

  bool isTrusted(bool) override { return x_.get() != nullptr && x_.hasExtension(xcb_test_id); }

 private:
  XConnection& x_;
};

}  // namespace

std::unique_ptr<Accessibility> makeX11Accessibility(XConnection& connection) {
  return std::make_unique<X11Accessibility>(connection);
}

}  // namespace halvorine::x11

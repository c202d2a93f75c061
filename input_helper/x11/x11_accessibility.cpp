#include <xcb/xtest.h>

#include <cstring>

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
  bool hasXTest() {
    xcb_connection_t* c = x_.get();
    if (c == nullptr) return false;
    if (answeredFor_ != x_.generation()) {
      // QueryExtension through the connection's reply deadline, so a server that stops answering
      // cannot hang the helper.
      static constexpr char name[] = "XTEST";
      auto reply = x_.reply<xcb_query_extension_reply_t>(
          xcb_query_extension(c, static_cast<uint16_t>(std::strlen(name)), name));
      if (!reply) return false;  // not answered: ask again next time
      present_ = reply->present != 0;
      answeredFor_ = x_.generation();
    }
    return present_;
  }

  XConnection& x_;
  uint64_t answeredFor_ = 0;  // generation the cached answer belongs to; 0: none
  bool present_ = false;
};

}  // namespace

std::unique_ptr<AccessibilityServices> makeX11AccessibilityServices(XConnection& connection) {
  return std::make_unique<X11AccessibilityServices>(connection);
}

}  // namespace halvorine::x11

#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace halvorine::x11 {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
// XCB replies and errors are malloc'ed by the library and freed by their owner.
template <class T>
using XcbPtr = std::unique_ptr<T, FreeDeleter>;

// One client connection to the X display named by the environment, opened lazily and opened anew
// once the old one has failed, so that a restarted server is used again. Not shared between
// threads: each thread that talks to X keeps its own XConnection.
//
// Every wait for a reply has a deadline: a server that stops answering makes the connection count
// as failed instead of hanging the helper.
class XConnection {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // Brings the deadline of every wait on the connection (connect included) forward to `deadline`
  // for as long as it lives, for work that has to be done by a given moment. Once that moment has
  // passed, get() gives nullptr without sending anything, and the connection is kept.
  class DeadlineScope {
   public:
    DeadlineScope(XConnection& connection, TimePoint deadline);
    ~DeadlineScope();
    DeadlineScope(const DeadlineScope&) = delete;
    DeadlineScope& operator=(const DeadlineScope&) = delete;

   private:
    XConnection& connection_;
    std::optional<TimePoint> outer_;
  };

  explicit XConnection(std::chrono::milliseconds replyTimeout = std::chrono::seconds(2));
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  // A usable connection, or nullptr when the display cannot be reached. Cheap when the current
  // connection is healthy: one non-blocking look at the socket notices a server that has gone.
  xcb_connection_t* get();
  // The default screen of the current connection; only valid after get() returned non-null.
  const xcb_screen_t* screen() const { return screen_; }
  // Counts the connections opened so far; tells a reopened connection from the old one even when
  // the new one happens to get the old one's address.
  uint64_t generation() const { return generation_; }
  // The code a failure of this connection is reported with: the connection error number
  // (XCB_CONN_*) of the last failure, or the generic XCB_CONN_ERROR when it left none.
  int failureCode() const { return lastError_ != 0 ? lastError_ : XCB_CONN_ERROR; }
  // Gives up the current connection, e.g. after a reply did not arrive in time.
  void drop();
  // Whether a connection is open (it may have been dropped since get() returned it).
  bool connected() const { return connection_ != nullptr; }

  // The server's data on an extension, as xcb_get_extension_data gives it, but asked within the
  // reply deadline: XCB's own lookup waits for the server without one. nullptr when the
  // connection failed on the way (it has then been dropped). Only valid after get() returned
  // non-null.
  const xcb_query_extension_reply_t* extension(xcb_extension_t& ext);
  // Whether the server offers the extension; false also when it could not be asked in time (it is
  // then asked again next time). The answer is kept for the connection's lifetime.
  bool hasExtension(xcb_extension_t& ext) {
    const xcb_query_extension_reply_t* data = extension(ext);
    return data != nullptr && data->present != 0;
  }

  // Waits for the reply to a request. Returns nullptr on an X error (stored in *error when error is
  // not null), on a failed connection, or when the deadline passes (the connection is dropped).
  template <class Reply, class Cookie>
  XcbPtr<Reply> reply(Cookie cookie, XcbPtr<xcb_generic_error_t>* error = nullptr) {
    return XcbPtr<Reply>(static_cast<Reply*>(awaitReply(cookie.sequence, error)));
  }
  // Waits until the server has processed every request sent so far (one round trip).
  bool sync();

  // Receives every event (and error of an unchecked request) that arrives unasked; without one,
  // they are discarded. Called from get() and handleEvents(), on the connection's thread.
  void setEventHandler(std::function<void(const xcb_generic_event_t&)> handler) {
    eventHandler_ = std::move(handler);
  }
  // Hands on what has arrived so far without waiting. After a reply, that includes every event the
  // server sent before it.
  void handleEvents();

 private:
  void* awaitReply(unsigned int sequence, XcbPtr<xcb_generic_error_t>* error);
  bool open();
  // The connection's own time-out from now, brought forward to the scope's deadline.
  TimePoint waitDeadline() const;

  std::chrono::milliseconds replyTimeout_;
  std::optional<TimePoint> scopeDeadline_;
  std::function<void(const xcb_generic_event_t&)> eventHandler_;
  // Extensions whose data XCB holds for the current connection.
  std::vector<const xcb_extension_t*> knownExtensions_;
  xcb_connection_t* connection_ = nullptr;
  const xcb_screen_t* screen_ = nullptr;
  int lastError_ = 0;
  uint64_t generation_ = 0;
};

}  // namespace halvorine::x11

#include "x11/x_connection.h"

#include <poll.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace halvorine::x11 {

XConnection::XConnection(std::chrono::milliseconds replyTimeout) : replyTimeout_(replyTimeout) {}

XConnection::DeadlineScope::DeadlineScope(XConnection& connection, TimePoint deadline)
    : connection_(connection), outer_(connection.scopeDeadline_) {
  connection.scopeDeadline_ = outer_ ? std::min(*outer_, deadline) : deadline;
}

XConnection::DeadlineScope::~DeadlineScope() {
  connection_.scopeDeadline_ = outer_;
}

XConnection::TimePoint XConnection::waitDeadline() const {
  const TimePoint own = std::chrono::steady_clock::now() + replyTimeout_;
  return scopeDeadline_ ? std::min(own, *scopeDeadline_) : own;
}

XConnection::~XConnection() {
  drop();
}

void XConnection::drop() {
  if (connection_ != nullptr) {
    xcb_disconnect(connection_);
    connection_ = nullptr;
    screen_ = nullptr;
    knownExtensions_.clear();
  }
}

namespace {

// xcb_connect has no deadline: a server that accepts the socket but never answers (a stopped one)
// would block the caller for good. The connect runs on a thread of its own; a caller that gives
// up leaves it behind to finish and close its connection by itself.
struct PendingConnect {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
  xcb_connection_t* connection = nullptr;
  int screenNumber = 0;
};

xcb_connection_t* connectWithin(std::chrono::steady_clock::time_point deadline, int* screenNumber) {
  auto pending = std::make_shared<PendingConnect>();
  try {
    std::thread([pending] {
      int screen = 0;
      xcb_connection_t* c = nullptr;
      {
        // libXau, which xcb_connect uses to find the credentials, keeps its file name in a static
        // buffer: two connects at once (a lingering one and a new one) must not overlap.
        static std::mutex connectMutex;
        std::lock_guard serial(connectMutex);
        c = xcb_connect(nullptr, &screen);
      }
      std::unique_lock lock(pending->mutex);
      if (pending->abandoned) {
        lock.unlock();
        xcb_disconnect(c);
        return;
      }
      pending->connection = c;
      pending->screenNumber = screen;
      pending->done = true;
      pending->finished.notify_one();
    }).detach();
  } catch (const std::system_error&) {
    return xcb_connect(nullptr, screenNumber);
  }
  std::unique_lock lock(pending->mutex);
  if (!pending->finished.wait_until(lock, deadline, [&] { return pending->done; })) {
    pending->abandoned = true;
    return nullptr;
  }
  *screenNumber = pending->screenNumber;
  return pending->connection;
}

}  // namespace

bool XConnection::open() {
  int screenNumber = 0;
  xcb_connection_t* c = connectWithin(waitDeadline(), &screenNumber);
  if (c == nullptr) {
    lastError_ = XCB_CONN_ERROR;
    return false;
  }
  if (int err = xcb_connection_has_error(c); err != 0) {
    lastError_ = err;
    xcb_disconnect(c);
    return false;
  }
  const xcb_setup_t* setup = xcb_get_setup(c);
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0) {
    lastError_ = XCB_CONN_CLOSED_INVALID_SCREEN;
    xcb_disconnect(c);
    return false;
  }
  connection_ = c;
  screen_ = it.data;
  ++generation_;
  lastError_ = 0;
  return true;
}

xcb_connection_t* XConnection::get() {
  if (scopeDeadline_ && std::chrono::steady_clock::now() >= *scopeDeadline_) {
    lastError_ = XCB_CONN_ERROR;
    return nullptr;
  }
  if (connection_ != nullptr) {
    // A dead server makes the socket readable (end of file); reading it lets XCB notice. Anything
    // else that arrived unasked (errors of unchecked requests) is discarded here.
    pollfd p{xcb_get_file_descriptor(connection_), POLLIN, 0};
    if (::poll(&p, 1, 0) > 0) handleEvents();
    if (int err = xcb_connection_has_error(connection_); err != 0) {
      lastError_ = err;
      drop();
    }
  }
  if (connection_ == nullptr && !open()) return nullptr;
  return connection_;
}

void* XConnection::awaitReply(unsigned int sequence, XcbPtr<xcb_generic_error_t>* error) {
  if (error != nullptr) error->reset();
  if (connection_ == nullptr) return nullptr;
  if (xcb_flush(connection_) <= 0) {
    lastError_ = xcb_connection_has_error(connection_);
    drop();
    return nullptr;
  }
  const TimePoint deadline = waitDeadline();
  for (;;) {
    void* reply = nullptr;
    xcb_generic_error_t* err = nullptr;
    if (xcb_poll_for_reply(connection_, sequence, &reply, &err) != 0) {
      if (err != nullptr) {
        if (error != nullptr) {
          error->reset(err);
        } else {
          std::free(err);
        }
      }
      return reply;
    }
    if (int e = xcb_connection_has_error(connection_); e != 0) {
      lastError_ = e;
      drop();
      return nullptr;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      lastError_ = XCB_CONN_ERROR;
      drop();
      return nullptr;
    }
    pollfd p{xcb_get_file_descriptor(connection_), POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
      lastError_ = XCB_CONN_ERROR;
      drop();
      return nullptr;
    }
  }
}

const xcb_query_extension_reply_t* XConnection::extension(xcb_extension_t& ext) {
  if (connection_ == nullptr) return nullptr;
  if (std::find(knownExtensions_.begin(), knownExtensions_.end(), &ext) == knownExtensions_.end()) {
    // Replies come in order: once the round trip is back, so is the extension's reply, and the
    // lookup below finds it without waiting.
    xcb_prefetch_extension_data(connection_, &ext);
    if (!sync()) return nullptr;
    knownExtensions_.push_back(&ext);
  }
  return xcb_get_extension_data(connection_, &ext);
}

void XConnection::handleEvents() {
  if (connection_ == nullptr) return;
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    if (eventHandler_) eventHandler_(*event);
    std::free(event);
  }
}

bool XConnection::sync() {
  if (connection_ == nullptr) return false;
  auto reply = this->reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus(connection_));
  return reply != nullptr;
}

}  // namespace halvorine::x11

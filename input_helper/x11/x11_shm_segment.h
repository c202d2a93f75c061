#pragma once

#include <cstddef>
#include <cstdint>

#include "x11/x_connection.h"

namespace halvorine::x11 {

// A shared-memory segment (a memfd, mapped here) that the X server writes screen reads into,
// attached with MIT-SHM 1.2 ShmAttachFd. Kept between reads, since fresh memory is slow to touch,
// and only ever grown; attached again on each new connection. The server lets go of it when the
// connection closes. Used on one thread only, over that thread's connection.
class ShmSegment {
 public:
  explicit ShmSegment(XConnection& connection);
  ~ShmSegment();
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;

  // Whether a read of `bytes` can go through the segment on `c`, the current connection as get()
  // returned it. False when this connection offers no usable MIT-SHM, when memory
  // could not be had, or when the connection failed on the way (it is then no longer connected).
  bool prepare(xcb_connection_t* c, size_t bytes);

  uint32_t id() const { return id_; }
  const uint8_t* data() const { return data_; }

  // The outcome of a read through the segment. The server refusing it (another host, another
  // user: it cannot map the segment) makes the next read attach again, and after two refusals in
  // a row this connection reads without shared memory. A failed connection attaches anew.
  void readSucceeded() { refusals_ = 0; }
  void readRefused();
  void connectionLost() { attachedOn_ = 0; }

 private:
  bool grow(size_t bytes);
  bool attach(xcb_connection_t* c);
  void release();

  XConnection& x_;
  int fd_ = -1;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  uint32_t id_ = 0;
  // The connection (by generation) the segment is attached on, and one on which shared memory
  // does not work.
  uint64_t attachedOn_ = 0;
  uint64_t unusableOn_ = 0;
  int refusals_ = 0;
};

}  // namespace halvorine::x11

#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>

namespace halvorine {

// Writes every byte of `data` to `fd`, retrying after interruptions and partial writes. Returns
// false when the reader has gone (EPIPE with SIGPIPE ignored, a closed or unwritable descriptor)
// or, on a non-blocking descriptor, when the reader has taken no byte for `stallLimit`: a reader
// that stops reading must not keep the writer waiting forever. A socket is written with
// non-blocking sends that raise no SIGPIPE.
inline bool writeAll(int fd, std::string_view data,
                     std::chrono::milliseconds stallLimit = std::chrono::seconds(30),
                     bool socket = false) {
  auto lastProgress = std::chrono::steady_clock::now();
  while (!data.empty()) {
    const ssize_t n = socket ? ::send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                             : ::write(fd, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      lastProgress = std::chrono::steady_clock::now();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          lastProgress + stallLimit - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;  // the reader has stopped taking anything
      pollfd p{fd, POLLOUT, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno != EINTR) return false;
      if (ready > 0 && (p.revents & POLLNVAL) != 0) return false;
      continue;  // POLLERR and POLLHUP show up as EPIPE on the next write
    }
    return false;  // EPIPE, EBADF, ...: nobody will read this
  }
  return true;
}

}  // namespace halvorine

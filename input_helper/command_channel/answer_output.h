#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "wire/helper_output.h"

namespace halvorine {

// Where answer lines go. Writes every byte, retrying after interruptions and partial writes, and
// gives up (returns false) when the reader has gone (EPIPE with SIGPIPE ignored, a closed or
// unwritable descriptor) or, on a non-blocking pipe or a socket, when the reader has taken no byte
// for `stallLimit`: a host that stops reading must not keep the helper waiting forever.
class AnswerOutput {
 public:
  static constexpr std::chrono::milliseconds defaultStallLimit{30000};

  explicit AnswerOutput(int fd, std::chrono::milliseconds stallLimit = defaultStallLimit);

  // Prepares standard output for writing with a stall limit: a pipe gets an open file description
  // of its own in non-blocking mode (so the host's side keeps its flags), a socket is written with
  // non-blocking sends. Anything else (a file, a terminal) is written as it is.
  static AnswerOutput forStandardOutput(std::chrono::milliseconds stallLimit = defaultStallLimit);

  bool write(std::string_view data);
  // One answer line (or the json_encode_failed line), normally in a single write call. Nothing is
  // buffered, so the line is out when this returns.
  bool write(const HelperOutput& result);

  int fd() const { return fd_; }

 private:
  int fd_;
  bool socket_ = false;
  std::chrono::milliseconds stallLimit_;
  std::string line_;  // kept across answers: capture lines carry megabytes
};

}  // namespace halvorine

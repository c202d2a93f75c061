#include "command_channel/answer_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/write_all.h"

namespace halvorine {

namespace {
// The default limit for unprivileged processes (/proc/sys/fs/pipe-max-size).
constexpr int pipeCapacity = 1 << 20;
}  // namespace

AnswerOutput::AnswerOutput(int fd, std::chrono::milliseconds stallLimit)
    : fd_(fd), stallLimit_(stallLimit) {
  struct stat st {};
  socket_ = ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

AnswerOutput AnswerOutput::forStandardOutput(std::chrono::milliseconds stallLimit) {
  struct stat st {};
  if (::fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode)) {
    // A capture line of a megabyte then goes into the pipe in one write instead of sixteen turns
    // of the reader; a system that allows less keeps the pipe as it is.
    ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, pipeCapacity);
    // Opening the pipe anew gives a file description of our own; O_NONBLOCK on it leaves the
    // host's description untouched. Without /proc, or once the reader is gone, the pipe stays
    // blocking: a gone reader still ends the writes with EPIPE.
    const int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      struct stat again {};
      if (::fstat(fd, &again) == 0 && again.st_ino == st.st_ino && again.st_dev == st.st_dev) {
        ::dup3(fd, STDOUT_FILENO, 0);
      }
      ::close(fd);
    }
  }
  return AnswerOutput(STDOUT_FILENO, stallLimit);
}

bool AnswerOutput::write(std::string_view data) {
  return writeAll(fd_, data, stallLimit_, socket_);
}

bool AnswerOutput::write(const HelperOutput& result) {
  line_.clear();
  if (!appendHelperOutputLine(line_, result)) return write(jsonEncodeFailedLine);
  return write(std::string_view(line_));
}

}  // namespace halvorine

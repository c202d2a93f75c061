// HalvorineFileTransferHelper: reads one request on standard input, performs one file operation
// and answers with one JSON line; exit status 0 when done, 1 when refused or failed.
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "common/write_all.h"
#include "linux_file_system.h"
#include "operations.h"

namespace {

using halvorine::file_transfer::maximumRequestBytes;

// Reads to end of input, stopping as soon as the request is known to be too long.
std::optional<std::string> readStandardInput() {
  std::string input;
  char buffer[16384];
  while (input.size() <= maximumRequestBytes) {
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0) {
      input.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;  // end of input; an unreadable input ends the same way
    }
  }
  if (input.size() > maximumRequestBytes) return std::nullopt;
  return input;
}

}  // namespace

int main() {
  // A host that has gone away makes the write fail instead of killing the process.
  std::signal(SIGPIPE, SIG_IGN);
  halvorine::file_transfer::LinuxFileSystem fs;
  const auto result = halvorine::file_transfer::answer(fs, readStandardInput);
  // Nothing to do when nobody takes the answer: there is no one to tell.
  halvorine::writeAll(STDOUT_FILENO, result.line);
  return result.exitStatus;
}
